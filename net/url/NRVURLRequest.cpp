#include "net/url/NRVURLRequest.h"

#include <algorithm>
#include <cctype>

namespace {

bool sameField(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

}  // namespace

void NRVURLRequest::setValueForHTTPHeaderField(const std::string& value, const std::string& field) {
    for (auto& [name, existing] : allHTTPHeaderFields) {
        if (sameField(name, field)) {
            existing = value;
            return;
        }
    }
    allHTTPHeaderFields.emplace_back(field, value);
}

const std::string* NRVURLRequest::valueForHTTPHeaderField(const std::string& field) const {
    for (const auto& [name, value] : allHTTPHeaderFields)
        if (sameField(name, field)) return &value;
    return nullptr;
}
