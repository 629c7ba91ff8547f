#include "platform/codesign/Requirement.h"

#include <gtest/gtest.h>

using platform::codesign::CertificateFacts;
using platform::codesign::CodeFacts;
using platform::codesign::Requirement;
using Kind = Requirement::Clause::Kind;

namespace {

const std::string kHash(64, 'a');

TEST(Requirement, ParsesTheSubsetIntoClauses) {
    struct Case {
        const char* text;
        std::vector<Kind> kinds;
    } cases[] = {
        {"anchor apple", {Kind::AnchorApple}},
        {"anchor apple generic", {Kind::AnchorAppleGeneric}},
        {"identifier \"com.nerova.x\"", {Kind::Identifier}},
        {"identifier = \"com.nerova.x\"", {Kind::Identifier}},
        {"cdhash H\"" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" "\"", {Kind::CDHash}},
        {"certificate leaf[subject.OU] = \"TEAM\"", {Kind::CertificateField}},
        {"certificate 1[field.1.2.840.113635.100.6.2.6] exists", {Kind::CertificateExtension}},
        {"certificate leaf[subject.O] = \"Nerova\" and anchor apple generic and "
         "certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate leaf[subject.OU] = \"T\"",
         {Kind::CertificateField, Kind::AnchorAppleGeneric, Kind::CertificateExtension, Kind::CertificateField}},
    };
    for (const auto& c : cases) {
        platform::Error error;
        auto r = Requirement::parse(c.text, &error);
        ASSERT_TRUE(r) << c.text << ": " << error.description;
        std::vector<Kind> kinds;
        for (const auto& clause : r->clauses()) kinds.push_back(clause.kind);
        EXPECT_EQ(kinds, c.kinds) << c.text;
        EXPECT_EQ(r->text(), c.text);
    }
}

TEST(Requirement, RefusesTextOutsideTheSubset) {
    const char* cases[] = {
        "",
        "anchor",
        "anchor apple or anchor apple generic",
        "anchor apple and",
        "anchor apple generic and (identifier \"x\")",
        "identifier com.nerova.x",
        "identifier \"unterminated",
        "cdhash H\"abcd\"",
        "cdhash H\"" "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz" "\"",
        "certificate leaf[subject.C] = \"US\"",
        "certificate leaf[subject.OU] \"T\"",
        "certificate 1[field.1.2.840] = \"x\"",
        "certificate 1[field.1..2] exists",
        "certificate 99[subject.O] = \"x\"",
        "certificate leaf subject.O] = \"x\"",
        "info[key] = \"x\"",
    };
    for (const char* text : cases) {
        platform::Error error;
        EXPECT_FALSE(Requirement::parse(text, &error)) << text;
        EXPECT_FALSE(error.description.empty()) << text;
    }
    EXPECT_FALSE(Requirement::parse(std::string(5000, ' ') + "anchor apple"));
}

TEST(Requirement, EveryClauseMustHold) {
    CertificateFacts leaf{"Nerova", "TEAM", "Leaf", {}};
    CertificateFacts intermediate{"Authority", std::nullopt, "Intermediate", {"1.2.840.113635.100.6.2.6"}};
    CodeFacts facts;
    facts.identifier = "com.nerova.x";
    facts.cdhash = NRVData(32, 0xaa);
    facts.certificates = {leaf, intermediate};
    facts.anchorTrusted = true;

    struct Case {
        const char* text;
        bool holds;
    } cases[] = {
        {"anchor apple generic", true},
        {"anchor apple", false},
        {"identifier \"com.nerova.x\"", true},
        {"identifier \"com.nerova\"", false},
        {"cdhash H\"" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" "\"", true},
        {"cdhash H\"" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab" "\"", false},
        {"certificate leaf[subject.O] = \"Nerova\" and certificate leaf[subject.OU] = \"TEAM\"", true},
        {"certificate leaf[subject.O] = \"Nerov\"", false},
        {"certificate 1[subject.OU] = \"\"", false},  // absent is not empty
        {"certificate root[subject.CN] = \"Intermediate\"", true},
        {"certificate 1[field.1.2.840.113635.100.6.2.6] exists", true},
        {"certificate 1[field.1.2.840.113635.100.6.2.1] exists", false},
        {"certificate 0[field.1.2.840.113635.100.6.2.6] exists", false},
        {"certificate 2[subject.O] = \"Nerova\"", false},
        {"anchor apple generic and identifier \"other\"", false},
    };
    for (const auto& c : cases) {
        auto r = Requirement::parse(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(r->isSatisfiedBy(facts), c.holds) << c.text;
    }

    CodeFacts untrusted = facts;
    untrusted.anchorTrusted = false;
    EXPECT_FALSE(Requirement::parse("anchor apple generic")->isSatisfiedBy(untrusted));
    CodeFacts platformCode;
    platformCode.platformCode = true;
    EXPECT_TRUE(Requirement::parse("anchor apple")->isSatisfiedBy(platformCode));
}

}  // namespace
