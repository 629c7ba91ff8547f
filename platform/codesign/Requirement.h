// Code requirements: the small language that says which signed code a check
// accepts. The subset we use:
//   anchor apple | anchor apple generic
//   identifier "<text>"            (an "=" before the text is allowed)
//   cdhash H"<64 hex digits>"
//   certificate leaf|root|<N>[subject.O|subject.OU|subject.CN] = "<text>"
//   certificate leaf|root|<N>[field.<dotted OID>] exists
// joined by "and". Anything else is refused when the text is parsed, so a
// requirement never silently means less than it says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error/Error.h"
#include "platform/value/NRVValue.h"

namespace platform::codesign {

// What one certificate of a signature's chain shows to requirements.
struct CertificateFacts {
    std::optional<std::string> subjectO, subjectOU, subjectCN;
    std::vector<std::string> extensionOIDs;  // dotted text
};

// What requirements are evaluated against.
struct CodeFacts {
    std::string identifier;
    NRVData cdhash;
    std::vector<CertificateFacts> certificates;  // leaf first
    // The signature is intact and its chain ends at one of the trusted anchors.
    bool anchorTrusted = false;
    // The file is platform code: owned by root, not writable by group or
    // others, under /usr, /bin, /sbin or /lib.
    bool platformCode = false;
};

class Requirement {
public:
    struct Clause {
        enum class Kind { AnchorApple, AnchorAppleGeneric, Identifier, CDHash, CertificateField, CertificateExtension };
        Kind kind = Kind::AnchorApple;
        std::string text;   // identifier, field value or OID
        NRVData hash;       // CDHash
        int certificate = 0;  // 0 leaf, N from the leaf, -1 root
        std::string field;  // "O", "OU" or "CN"
    };

    // nullopt and a description for text outside the subset.
    static std::optional<Requirement> parse(std::string_view text, platform::Error* error = nullptr);

    bool isSatisfiedBy(const CodeFacts& facts) const;
    const std::string& text() const { return text_; }
    const std::vector<Clause>& clauses() const { return clauses_; }

private:
    std::string text_;
    std::vector<Clause> clauses_;
};

}  // namespace platform::codesign
