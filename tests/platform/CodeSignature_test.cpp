#include "platform/codesign/CodeSignature.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/fs/FileManager.h"
#include "platform/plist/PropertyList.h"
#include "platform/process/ProcessInfo.h"
#include "platform/process/Task.h"
#include "platform/value/HexString.h"
#include "support/Signing.h"
#include "support/TestSupport.h"

namespace cs = platform::codesign;
namespace sig = testsupport::signing;
using testsupport::TempDir;

namespace {

const char* kMakerRequirement =
    "certificate leaf[subject.O] = \"Nerova\" and anchor apple generic and "
    "certificate 1[field.1.2.840.113635.100.6.2.6] exists";

bool satisfies(const cs::StaticCode& code, const char* text) {
    auto requirement = cs::Requirement::parse(text);
    return requirement && code.checkValidity(&*requirement);
}

// Rewrites one field of a signature file without signing again.
void editSignature(const std::string& file, const std::function<void(NRVDictionary&)>& edit) {
    auto value = platform::plist::readFile(cs::signatureFilePath(file));
    ASSERT_TRUE(value && value->asDictionary());
    NRVDictionary d = *value->asDictionary();
    edit(d);
    ASSERT_TRUE(platform::plist::writeFile(cs::signatureFilePath(file), NRVValue(d), platform::plist::Format::XML));
}

// Every case but the intact file, a changed file and another file's
// signature is refused from the signature file alone, before the executable
// is read (`hashed` false).
TEST(CodeSignature, SignedFileIsValidAndEveryKindOfTamperingIsCaught) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> tamper;
        int status;
        bool hashed = false;
    } cases[] = {
        {"intact", [](const std::string&) {}, cs::kCodeSignOK, true},
        {"file changed", [](const std::string& f) { testsupport::writeText(f, "#!/bin/sh\n"); },
         cs::kCodeSignSignatureFailed, true},
        {"another file's signature",
         [](const std::string& f) {
             const std::string other = f + "-other";
             sig::placeTestee(other);
             std::filesystem::resize_file(other, std::filesystem::file_size(other) + 1);
             ASSERT_TRUE(cs::signFile(other, sig::makerOptions("com.nerova.program")));
             std::filesystem::rename(cs::signatureFilePath(other), cs::signatureFilePath(f));
         },
         cs::kCodeSignSignatureFailed, true},
        {"no signature file", [](const std::string& f) { std::filesystem::remove(cs::signatureFilePath(f)); },
         cs::kCodeSignUnsigned},
        {"signature file is a link to the genuine one",
         [](const std::string& f) {
             std::filesystem::rename(cs::signatureFilePath(f), f + ".genuine");
             std::filesystem::create_symlink(f + ".genuine", cs::signatureFilePath(f));
         },
         cs::kCodeSignMalformed},
        {"100 GB sparse signature file",
         [](const std::string& f) { std::filesystem::resize_file(cs::signatureFilePath(f), 100ull << 30); },
         cs::kCodeSignMalformed},
        {"flags raised", [](const std::string& f) { editSignature(f, [](auto& d) { d.set("Flags", NRVValue(0x10001)); }); },
         cs::kCodeSignSignatureFailed},
        {"entitlement added",
         [](const std::string& f) {
             editSignature(f, [](auto& d) {
                 NRVDictionary ent;
                 ent.set("com.apple.security.get-task-allow", NRVValue(true));
                 d.set("Entitlements", NRVValue(ent));
             });
         },
         cs::kCodeSignSignatureFailed},
        {"identifier changed",
         [](const std::string& f) { editSignature(f, [](auto& d) { d.set("Identifier", NRVValue("com.nerova.other")); }); },
         cs::kCodeSignSignatureFailed},
        {"signature dropped", [](const std::string& f) { editSignature(f, [](auto& d) { d.erase("Signature"); }); },
         cs::kCodeSignSignatureFailed},
        {"not a property list", [](const std::string& f) { testsupport::writeText(cs::signatureFilePath(f), "garbage"); },
         cs::kCodeSignMalformed},
        {"unknown version",
         [](const std::string& f) { editSignature(f, [](auto& d) { d.set("FormatVersion", NRVValue(2)); }); },
         cs::kCodeSignMalformed},
        {"signature file is a folder",
         [](const std::string& f) {
             std::filesystem::remove(cs::signatureFilePath(f));
             std::filesystem::create_directory(cs::signatureFilePath(f));
         },
         cs::kCodeSignMalformed},
        {"signature file is a FIFO",
         [](const std::string& f) {
             std::filesystem::remove(cs::signatureFilePath(f));
             ::mkfifo(cs::signatureFilePath(f).c_str(), 0644);
         },
         cs::kCodeSignMalformed},
        {"oversized signature file",
         [](const std::string& f) { testsupport::writeText(cs::signatureFilePath(f), std::string(2 << 20, ' ')); },
         cs::kCodeSignMalformed},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string file = dir / "program";
        sig::placeTestee(file);
        platform::Error error;
        ASSERT_TRUE(cs::signFile(file, sig::makerOptions("com.nerova.program"), &error)) << error.description;
        c.tamper(file);
        const auto hashesBefore = cs::executableHashCount();
        auto code = cs::StaticCode::createWithPath(file, &error);
        ASSERT_TRUE(code) << c.name;
        EXPECT_EQ(cs::executableHashCount() - hashesBefore, c.hashed ? 1u : 0u) << c.name;
        auto requirement = cs::Requirement::parse(kMakerRequirement);
        bool valid = code->checkValidity(&*requirement, &error);
        EXPECT_EQ(valid, c.status == cs::kCodeSignOK) << c.name;
        EXPECT_EQ(valid ? 0 : error.status, c.status) << c.name << ": " << error.description;
    }
}

TEST(CodeSignature, SigningInformationAndDesignatedRequirement) {
    TempDir dir;
    const std::string file = dir / "program";
    sig::placeTestee(file);
    auto options = sig::makerOptions("com.nerova.program");
    options.entitlements.set("com.nerova.some", NRVValue(true));
    ASSERT_TRUE(cs::signFile(file, options));
    auto code = cs::StaticCode::createWithPath(file);
    ASSERT_TRUE(code);
    const auto& info = code->signingInformation();
    const std::string team = sig::buildTeamIdentifier();
    EXPECT_TRUE(info.isSigned);
    EXPECT_EQ(info.identifier, "com.nerova.program");
    EXPECT_EQ(info.teamIdentifier, team);
    EXPECT_EQ(info.flags, cs::kCodeSignFlagRuntime);
    EXPECT_EQ(info.designatedRequirement, "identifier \"com.nerova.program\" and anchor apple generic and "
                                          "certificate leaf[subject.OU] = \"" + team + "\"");
    ASSERT_EQ(info.certificates.size(), 2u);
    EXPECT_EQ(info.certificates[0].subjectO, "Nerova");
    EXPECT_EQ(info.certificates[0].subjectOU, team);
    EXPECT_EQ(info.cdhash, *cs::sha256OfFile(file));
    ASSERT_TRUE(info.entitlements.find("com.nerova.some"));
    auto dr = cs::Requirement::parse(info.designatedRequirement);
    ASSERT_TRUE(dr);
    EXPECT_TRUE(code->checkValidity(&*dr));

    // A key that does not belong to the leaf makes no signature.
    auto mismatched = sig::makerOptions("com.nerova.program");
    mismatched.privateKeyPath = sig::authorityFile("other-leaf.key");
    platform::Error error;
    EXPECT_FALSE(cs::signFile(file, mismatched, &error));
    EXPECT_EQ(error.status, cs::kCodeSignSigningFailed);
}

TEST(CodeSignature, AdhocAndUnsignedFiles) {
    TempDir dir;
    const std::string adhoc = dir / "adhoc";
    sig::placeTestee(adhoc);
    cs::SignOptions o;
    o.identifier = "adhoc-program";
    o.adhoc = true;
    ASSERT_TRUE(cs::signFile(adhoc, o));
    auto code = cs::StaticCode::createWithPath(adhoc);
    ASSERT_TRUE(code);
    EXPECT_TRUE(code->checkValidity(nullptr));
    EXPECT_EQ(code->signingInformation().flags, cs::kCodeSignFlagAdhoc);
    EXPECT_TRUE(code->signingInformation().certificates.empty());
    EXPECT_FALSE(satisfies(*code, "anchor apple generic"));

    const std::string unsigned_ = dir / "unsigned";
    sig::placeTestee(unsigned_);
    auto plain = cs::StaticCode::createWithPath(unsigned_);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->signingInformation().isSigned);
    platform::Error error;
    EXPECT_FALSE(plain->checkValidity(nullptr, &error));
    EXPECT_EQ(error.status, cs::kCodeSignUnsigned);

    EXPECT_FALSE(cs::StaticCode::createWithPath(dir / "missing", &error));
    EXPECT_EQ(error.status, cs::kCodeSignNoSuchCode);
    EXPECT_FALSE(cs::StaticCode::createWithPath(dir.path(), &error));
}

TEST(CodeSignature, ChainMustEndAtAnAnchor) {
    TempDir dir;
    const std::string file = dir / "program";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, sig::makerOptions("com.nerova.program")));
    std::filesystem::create_directory(dir / "no-anchors");
    testsupport::ScopedEnv env("NRV_CODESIGN_POLICY", sig::writePolicy(dir / "policy.plist", {}, dir / "no-anchors"));
    auto code = cs::StaticCode::createWithPath(file);
    ASSERT_TRUE(code);
    EXPECT_TRUE(code->checkValidity(nullptr));
    EXPECT_FALSE(satisfies(*code, "anchor apple generic"));
}

TEST(CodeSignature, RepeatedChecksUseTheCacheUntilTheFileChanges) {
    TempDir dir;
    const std::string file = dir / "program";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, sig::makerOptions("com.nerova.program")));
    ASSERT_TRUE(cs::StaticCode::createWithPath(file));
    const auto before = cs::evaluationCount();
    ASSERT_TRUE(cs::StaticCode::createWithPath(file));
    EXPECT_EQ(cs::evaluationCount(), before);

    std::filesystem::resize_file(file, std::filesystem::file_size(file) + 1);
    auto changed = cs::StaticCode::createWithPath(file);
    ASSERT_TRUE(changed);
    EXPECT_EQ(cs::evaluationCount(), before + 1);
    EXPECT_FALSE(changed->checkValidity(nullptr));
}

// A hostile user cannot make checks expensive with big files: an unsigned
// file, or one larger than any signed program with a genuine signature file
// copied beside it, is refused without being read, under every name it has;
// a file within the size limit is hashed once whatever its names.
TEST(CodeSignature, BigFilesAndTheirHardLinksAreRefusedWithoutHashing) {
    TempDir dir;
    const std::string genuine = dir / "genuine";
    sig::placeTestee(genuine);
    ASSERT_TRUE(cs::signFile(genuine, sig::makerOptions("com.nerova.program")));
    auto requirement = cs::Requirement::parse(kMakerRequirement);
    ASSERT_TRUE(requirement);

    // Names `count` hard links of `file`, each with a copy of the genuine
    // signature file when asked, and checks every name; returns the seconds
    // all checks took.
    auto checkAllNames = [&](const std::string& file, int count, bool withSignature, int expectedStatus) {
        std::vector<std::string> names{file};
        for (int i = 0; i < count; ++i) {
            names.push_back(file + "-link" + std::to_string(i));
            std::filesystem::create_hard_link(file, names.back());
        }
        if (withSignature) {
            for (const auto& name : names) std::filesystem::copy_file(cs::signatureFilePath(genuine), cs::signatureFilePath(name));
        }
        const auto start = std::chrono::steady_clock::now();
        for (const auto& name : names) {
            platform::Error error;
            auto code = cs::StaticCode::createWithPath(name, &error);
            if (!code) {
                ADD_FAILURE() << name << ": " << error.description;
                continue;
            }
            EXPECT_FALSE(code->checkValidity(&*requirement, &error)) << name;
            EXPECT_EQ(error.status, expectedStatus) << name << ": " << error.description;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    const std::string huge = dir / "huge";
    {
        std::ofstream create(huge);
    }
    std::filesystem::resize_file(huge, 4ull << 30);
    std::filesystem::permissions(huge, std::filesystem::perms(0755));
    const auto hashesBefore = cs::executableHashCount();
    // Hashing 4 GiB takes seconds; a refusal from the signature file alone
    // takes microseconds, so a second for 18 checks holds on a loaded machine.
    EXPECT_LT(checkAllNames(huge, 8, false, cs::kCodeSignUnsigned), 1.0);
    const std::string hugeSigned = dir / "huge-signed";
    std::filesystem::create_hard_link(huge, hugeSigned);
    EXPECT_LT(checkAllNames(hugeSigned, 8, true, cs::kCodeSignSignatureFailed), 1.0);
    EXPECT_EQ(cs::executableHashCount(), hashesBefore);

    // Within the limit the hash is taken once, by the file's identity.
    const std::string big = dir / "big";
    {
        std::ofstream create(big);
    }
    std::filesystem::resize_file(big, 16u << 20);
    checkAllNames(big, 8, true, cs::kCodeSignSignatureFailed);
    EXPECT_EQ(cs::executableHashCount(), hashesBefore + 1);
}

TEST(CodeSignature, RunningProcessIsCheckedByItsMappedFileAndStartTime) {
    TempDir dir;
    const std::string signedFile = dir / "signed";
    sig::placeTestee(signedFile);
    ASSERT_TRUE(cs::signFile(signedFile, sig::makerOptions("com.nerova.program")));

    platform::Task good;
    good.launchPath = signedFile;
    ASSERT_TRUE(good.launch());
    ASSERT_TRUE(sig::waitForExec(good.processIdentifier(), signedFile));
    auto goodStart = platform::process::processStartTime(good.processIdentifier());
    ASSERT_TRUE(goodStart);
    platform::Error error;
    auto code = cs::StaticCode::createWithProcess(good.processIdentifier(), *goodStart, &error);
    ASSERT_TRUE(code) << error.description;
    EXPECT_TRUE(code->checkValidity(nullptr, &error)) << error.description;
    EXPECT_EQ(code->signingInformation().identifier, "com.nerova.program");
    EXPECT_FALSE(cs::StaticCode::createWithProcess(good.processIdentifier(), *goodStart + 1, &error));
    EXPECT_EQ(error.status, cs::kCodeSignProcessChanged);
    good.terminate();
    good.waitUntilExit();
    EXPECT_FALSE(cs::StaticCode::createWithProcess(good.processIdentifier(), *goodStart, &error));

    // An unsigned program whose path is then taken over by a signed file
    // and its signature stays unsigned: the check reads the mapped file.
    const std::string evil = dir / "evil";
    sig::placeTestee(evil);
    std::filesystem::resize_file(evil, std::filesystem::file_size(evil) + 1);
    platform::Task task;
    task.launchPath = evil;
    ASSERT_TRUE(task.launch());
    ASSERT_TRUE(sig::waitForExec(task.processIdentifier(), evil));
    auto start = platform::process::processStartTime(task.processIdentifier());
    ASSERT_TRUE(start);
    const std::string copy = dir / "copy";
    std::filesystem::copy_file(signedFile, copy);
    std::filesystem::copy_file(cs::signatureFilePath(signedFile), cs::signatureFilePath(copy));
    std::filesystem::rename(copy, evil);
    std::filesystem::rename(cs::signatureFilePath(copy), cs::signatureFilePath(evil));
    ASSERT_TRUE(cs::StaticCode::createWithPath(evil)->checkValidity(nullptr));
    auto running = cs::StaticCode::createWithProcess(task.processIdentifier(), *start, &error);
    ASSERT_TRUE(running) << error.description;
    EXPECT_FALSE(running->checkValidity(nullptr));
    task.terminate();
    task.waitUntilExit();
}

TEST(CodeSignature, RootOwnedSystemProgramsArePlatformCode) {
    struct stat st {};
    if (::stat("/usr/bin/env", &st) != 0 || st.st_uid != 0) GTEST_SKIP() << "/usr/bin/env is not root-owned here";
    auto code = cs::StaticCode::createWithPath("/usr/bin/env");
    ASSERT_TRUE(code);
    EXPECT_TRUE(code->signingInformation().isPlatformCode);
    EXPECT_EQ(code->signingInformation().identifier, "env");
    EXPECT_TRUE(satisfies(*code, "anchor apple"));
    EXPECT_FALSE(satisfies(*code, "anchor apple generic"));
}

TEST(CodeSignature, CanonicalEncodingIgnoresKeyOrder) {
    cs::SignatureFields a, b;
    a.identifier = b.identifier = "x";
    a.entitlements.set("one", NRVValue(true));
    a.entitlements.set("two", NRVValue(false));
    b.entitlements.set("two", NRVValue(false));
    b.entitlements.set("one", NRVValue(true));
    EXPECT_EQ(cs::canonicalEncoding(a), cs::canonicalEncoding(b));
    b.entitlements.set("one", NRVValue(1));
    EXPECT_NE(cs::canonicalEncoding(a), cs::canonicalEncoding(b));
}

// Fixed fields: every kind of value the encoding meets.
cs::SignatureFields pinnedFields() {
    cs::SignatureFields f;
    f.identifier = "com.nerova.pinned";
    f.teamIdentifier = "TEAM123456";
    f.flags = 0x10000;
    f.entitlements.set("com.nerova.flag", NRVValue(true));
    f.entitlements.set("com.nerova.list", NRVValue(NRVArray{NRVValue("a"), NRVValue(7)}));
    f.designatedRequirement = "identifier \"com.nerova.pinned\" and anchor apple generic";
    for (int i = 0; i < 32; ++i) f.cdhash.push_back(static_cast<std::uint8_t>(i * 7));
    f.certificates = {NRVData{0x30, 0x82, 0x01}, NRVData{0x30, 0x03}};
    f.signature = NRVData{0xde, 0xad};
    return f;
}

std::string sha256Hex(const NRVData& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return platform::lowercaseHex(std::span<const std::uint8_t>(digest, length));
}

// The signed bytes of every signature already made must not change: a
// different encoding would make them all fail to verify.
TEST(CodeSignature, SignedBytesAreStable) {
    cs::SignatureFields full = pinnedFields();
    cs::SignatureFields bare;
    bare.identifier = "x";
    EXPECT_EQ(sha256Hex(cs::canonicalEncoding(full)), "c668285b0bd2b437416755541bdcda9037f91a8d7d81af094178d17f1b79fcd7");
    EXPECT_EQ(sha256Hex(cs::canonicalEncoding(bare)), "29573a1b2307e965ceb0989db86b1ed4171249a6f911bf2249427e421082d911");
    // The signature itself is not part of what it signs.
    full.signature.clear();
    EXPECT_EQ(sha256Hex(cs::canonicalEncoding(full)), "c668285b0bd2b437416755541bdcda9037f91a8d7d81af094178d17f1b79fcd7");
}

// The file leaves out an empty team identifier and a missing signature; the
// signed bytes carry every field but the signature.
TEST(CodeSignature, SignatureFileKeys) {
    TempDir dir;
    auto keysOfFile = [&](const cs::SignatureFields& f) {
        const std::string path = dir.path() + "/f.nrvsig";
        EXPECT_TRUE(cs::writeSignatureFile(path, f));
        auto value = platform::plist::readFile(path);
        std::string keys;
        if (value && value->asDictionary())
            for (const auto& k : value->asDictionary()->keys()) keys += (keys.empty() ? "" : ",") + k;
        auto back = cs::readSignatureFile(path);
        EXPECT_TRUE(back && back->teamIdentifier == f.teamIdentifier && back->signature == f.signature &&
                    back->certificates == f.certificates && back->entitlements == f.entitlements);
        return keys;
    };
    cs::SignatureFields full = pinnedFields();
    EXPECT_EQ(keysOfFile(full),
              "FormatVersion,Identifier,TeamIdentifier,Flags,Entitlements,DesignatedRequirement,CDHash,Certificates,"
              "Signature");
    full.teamIdentifier.clear();
    full.signature.clear();
    EXPECT_EQ(keysOfFile(full),
              "FormatVersion,Identifier,Flags,Entitlements,DesignatedRequirement,CDHash,Certificates");
}

// A text field holding a NUL or malformed UTF-8 shows as another name in
// logs and displays: the file is malformed, not read as another identifier.
TEST(CodeSignature, TextFieldsWithNulOrMalformedUTF8AreMalformed) {
    TempDir dir;
    const std::string path = dir.path() + "/f.nrvsig";
    cs::SignatureFields fields = pinnedFields();
    for (const char* key : {"Identifier", "TeamIdentifier", "DesignatedRequirement"}) {
        ASSERT_TRUE(cs::writeSignatureFile(path, fields));
        auto text = platform::fs::readFile(path);
        ASSERT_TRUE(text);
        const std::string opening = std::string("<key>") + key + "</key>\n\t<string>";
        const auto at = text->find(opening);
        ASSERT_NE(at, std::string::npos) << key;
        for (const std::string& bad : {std::string("\0", 1), std::string("\xfe")}) {
            std::string edited = *text;
            edited.insert(at + opening.size() + 3, bad);
            ASSERT_TRUE(platform::fs::writeFile(path, edited));
            platform::Error error;
            EXPECT_FALSE(cs::readSignatureFile(path, &error)) << key;
            EXPECT_EQ(error.status, cs::kCodeSignMalformed) << key;
        }
    }
}

// The signature file the fuzz target found the NUL with.
TEST(CodeSignature, FuzzFindingWithNulInTheIdentifierIsMalformed) {
    platform::Error error;
    EXPECT_FALSE(cs::readSignatureFile(std::string(NRV_SOURCE_DIR) + "/fuzz/corpus/signature_file/identifier-with-nul",
                                       &error));
    EXPECT_EQ(error.status, cs::kCodeSignMalformed);
}

// The committed fuzz seed was signed by a developer key for a fixed program
// text: its signature still verifies only while the canonical encoding of the
// signed fields is the one it was made over.
TEST(CodeSignature, CommittedDeveloperSignatureStillVerifies) {
    TempDir dir;
    const std::string program = dir / "program";
    ASSERT_TRUE(platform::fs::writeFile(program, "nerova fuzz program: the signature beside it is what is tested\n"));
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    std::filesystem::copy_file(std::string(NRV_SOURCE_DIR) + "/fuzz/corpus/signature_file/developer-signed",
                               cs::signatureFilePath(program));
    auto fields = cs::readSignatureFile(cs::signatureFilePath(program));
    ASSERT_TRUE(fields);
    ASSERT_FALSE(fields->signature.empty());
    auto code = cs::StaticCode::createWithPath(program);
    ASSERT_TRUE(code);
    platform::Error error;
    EXPECT_TRUE(code->checkValidity(nullptr, &error)) << error.description;
}

}  // namespace
