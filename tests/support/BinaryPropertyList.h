// Hand-made binary property lists, for lists no writer would produce
// (too deep, cyclic, malformed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline std::string bigEndian(std::uint64_t v, int width) {
    std::string out;
    for (int i = width; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return out;
}

// A binary property list from already encoded objects (references of
// `refWidth` bytes), object 0 at the top.
inline std::string binaryPlist(const std::vector<std::string>& objects, int refWidth) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(out.size());
        out += o;
    }
    const std::uint64_t table = out.size();
    for (auto o : offsets) out += bigEndian(o, 4);
    out += std::string(6, '\0');
    out.push_back(4);
    out.push_back(static_cast<char>(refWidth));
    out += bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
    return out;
}

// {"<key>": [[...["x"]...]]} with `arrays` arrays around the text.
inline std::string nestedArraysUnder(const std::string& key, int arrays) {
    std::vector<std::string> objects{std::string(1, '\xD1').append(bigEndian(1, 2)).append(bigEndian(2, 2)),
                                     std::string(1, static_cast<char>(0x50 + key.size())) + key};
    for (int i = 0; i < arrays; ++i) objects.push_back(std::string(1, '\xA1').append(bigEndian(static_cast<std::uint64_t>(i) + 3, 2)));
    objects.push_back("\x51x");
    return binaryPlist(objects, 2);
}

}  // namespace testsupport
