// Feeds arbitrary bytes as the signature file beside a program, as any user
// can put one beside a program of their own and have a root service judge
// it: the reader, the certificate chain it carries, the requirement text and
// the verdict. A file that reads must write again and read back with the
// same fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Requirement.h"

namespace cs = platform::codesign;

namespace {

// The program the seed signatures were made for: a fixed text, so a seed's
// hash matches and the fuzzer starts past the hash check.
constexpr std::string_view kProgram = "nerova fuzz program: the signature beside it is what is tested\n";

const std::string& programPath() {
    static const std::string path = [] {
        std::string p = fuzz::scratchFolder() + "/program";
        fuzz::replaceFile(p, kProgram, 0755);
        return p;
    }();
    return path;
}

bool sameFields(const cs::SignatureFields& a, const cs::SignatureFields& b) {
    return cs::canonicalEncoding(a) == cs::canonicalEncoding(b) && a.signature == b.signature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& program = programPath();
    const std::string signature = cs::signatureFilePath(program);
    fuzz::replaceFile(signature, std::string_view(reinterpret_cast<const char*>(data), size));

    auto fields = cs::readSignatureFile(signature);
    if (fields) {
        const std::string copy = fuzz::scratchFolder() + "/copy.nrvsig";
        // Entitlements are any property list: a NUL is not written, and
        // malformed UTF-8 is written as U+FFFD.
        const NRVValue entitlements(fields->entitlements);
        const bool writable = !fuzz::containsNul(entitlements);
        const bool same = fuzz::sameValue(fuzz::asWritten(entitlements), entitlements);
        if (cs::writeSignatureFile(copy, *fields)) {
            auto again = cs::readSignatureFile(copy);
            if (!again || (same && !sameFields(*fields, *again))) __builtin_trap();
        } else if (writable) {
            __builtin_trap();
        }
    }

    auto code = cs::StaticCode::createWithPath(program);
    if (!code) return 0;
    (void)code->checkValidity(nullptr);
    if (fields) {
        if (auto requirement = cs::Requirement::parse(fields->designatedRequirement))
            (void)code->checkValidity(&*requirement);
    }
    return 0;
}
