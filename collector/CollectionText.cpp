#include "collector/CollectionText.h"

#include <cstdio>

namespace CollectionText {

std::string displayName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string byteCount(unsigned long long bytes) {
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1ull << 10) && bytes % (1ull << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace CollectionText
