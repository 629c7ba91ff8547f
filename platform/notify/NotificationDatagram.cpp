#include "platform/notify/NotificationDatagram.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/plist/PropertyListBounds.h"
#include "platform/plist/PropertyList.h"

namespace platform::notify::datagram {

namespace {

constexpr char kMagic[4] = {'N', 'R', 'V', 'N'};
constexpr std::uint8_t kHasObject = 0x1;
constexpr std::uint8_t kHasUserInfo = 0x2;
constexpr std::size_t kHeaderSize = 4 + 1 + 1 + 2;

void fail(platform::Error* error, const char* reason) {
    if (error) *error = platform::Error{.operation = {}, .code = 0, .description = reason, .status = 0};
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

void appendBigEndian(std::string& out, std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUTF8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0, n = text.size();
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
        else return false;
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool isAcceptableName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameLength && name.find('\0') == std::string_view::npos &&
           isUTF8(name);
}

// Every text of the user info, keys included, is UTF-8 without NUL
// characters, which the property-list writer cannot carry (depth is bounded
// before this runs).
bool isPlainText(std::string_view text) { return text.find('\0') == std::string_view::npos && isUTF8(text); }

bool hasOnlyUTF8(const NRVValue& value) {
    if (const auto* text = value.asString()) return isPlainText(*text);
    if (const auto* array = value.asArray()) {
        for (const auto& item : *array)
            if (!hasOnlyUTF8(item)) return false;
    }
    if (const auto* dict = value.asDictionary()) {
        for (std::size_t i = 0; i < dict->size(); ++i)
            if (!isPlainText(dict->keyAt(i)) || !hasOnlyUTF8(dict->valueAt(i))) return false;
    }
    return true;
}

std::optional<NRVDictionary> decodeUserInfo(const std::uint8_t* bytes, std::size_t size, platform::Error* error) {
    if (!plist::isBoundedBinaryPropertyList(bytes, size)) {
        fail(error, "user info is not a bounded binary property list");
        return std::nullopt;
    }
    auto value = plist::readData(std::string(reinterpret_cast<const char*>(bytes), size));
    if (!value || !value->isDictionary()) {
        fail(error, "user info is not a property-list dictionary");
        return std::nullopt;
    }
    if (!hasOnlyUTF8(*value)) {
        fail(error, "user info holds text that is not UTF-8 or holds NUL");
        return std::nullopt;
    }
    return std::move(*value->asDictionary());
}

// Reads the fields in order and refuses any length that runs past the end.
class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool take(std::size_t count, const std::uint8_t** out) {
        if (n_ - at_ < count) return false;
        *out = p_ + at_;
        at_ += count;
        return true;
    }
    bool number(std::size_t width, std::uint64_t* out) {
        const std::uint8_t* bytes = nullptr;
        if (!take(width, &bytes)) return false;
        *out = readBigEndian(bytes, width);
        return true;
    }
    bool atEnd() const { return at_ == n_; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<std::string> encode(const Notification& notification, platform::Error* error) {
    if (!isAcceptableName(notification.name)) {
        fail(error, "notification name is empty, too long or not UTF-8");
        return std::nullopt;
    }
    if (notification.object && !isUTF8(*notification.object)) {
        fail(error, "notification object is not UTF-8");
        return std::nullopt;
    }
    std::optional<std::string> userInfo;
    if (notification.userInfo) {
        if (!hasOnlyUTF8(NRVValue(*notification.userInfo))) {
            fail(error, "user info holds text that is not UTF-8 or holds NUL");
            return std::nullopt;
        }
        userInfo = plist::serialize(NRVValue(*notification.userInfo), plist::Format::Binary);
        if (!userInfo) {
            fail(error, "user info holds a value a property list cannot carry");
            return std::nullopt;
        }
        // Refuse here what every receiver would drop.
        if (!plist::isBoundedBinaryPropertyList(reinterpret_cast<const std::uint8_t*>(userInfo->data()),
                                                 userInfo->size())) {
            fail(error, "user info is nested too deeply or too large");
            return std::nullopt;
        }
    }
    std::string out(kMagic, sizeof kMagic);
    out.push_back(static_cast<char>(kVersion));
    out.push_back(static_cast<char>((notification.object ? kHasObject : 0) | (userInfo ? kHasUserInfo : 0)));
    appendBigEndian(out, notification.name.size(), 2);
    out += notification.name;
    const std::optional<std::string>* fields[] = {&notification.object, &userInfo};
    for (const auto* field : fields) {
        if (!*field) continue;
        if ((*field)->size() > kMaxDatagramSize) {
            fail(error, "notification exceeds the datagram size limit");
            return std::nullopt;
        }
        appendBigEndian(out, (*field)->size(), 4);
        out += **field;
    }
    if (out.size() > kMaxDatagramSize) {
        fail(error, "notification exceeds the datagram size limit");
        return std::nullopt;
    }
    return out;
}

std::optional<Notification> decode(const std::uint8_t* bytes, std::size_t size, platform::Error* error) {
    if (!bytes || size < kHeaderSize || size > kMaxDatagramSize) {
        fail(error, "datagram size out of range");
        return std::nullopt;
    }
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || bytes[4] != kVersion) {
        fail(error, "not a notification datagram of a known version");
        return std::nullopt;
    }
    const std::uint8_t flags = bytes[5];
    if (flags & ~(kHasObject | kHasUserInfo)) {
        fail(error, "unknown flags");
        return std::nullopt;
    }
    Reader reader(bytes + 6, size - 6);
    std::uint64_t length = 0;
    const std::uint8_t* field = nullptr;
    Notification notification;
    if (!reader.number(2, &length) || !reader.take(length, &field)) {
        fail(error, "truncated name");
        return std::nullopt;
    }
    notification.name.assign(reinterpret_cast<const char*>(field), length);
    if (!isAcceptableName(notification.name)) {
        fail(error, "notification name is empty, too long or not UTF-8");
        return std::nullopt;
    }
    if (flags & kHasObject) {
        if (!reader.number(4, &length) || !reader.take(length, &field)) {
            fail(error, "truncated object");
            return std::nullopt;
        }
        notification.object.emplace(reinterpret_cast<const char*>(field), length);
        if (!isUTF8(*notification.object)) {
            fail(error, "notification object is not UTF-8");
            return std::nullopt;
        }
    }
    if (flags & kHasUserInfo) {
        if (!reader.number(4, &length) || !reader.take(length, &field)) {
            fail(error, "truncated user info");
            return std::nullopt;
        }
        notification.userInfo = decodeUserInfo(field, length, error);
        if (!notification.userInfo) return std::nullopt;
    }
    if (!reader.atEnd()) {
        fail(error, "trailing bytes after the last field");
        return std::nullopt;
    }
    return notification;
}

}  // namespace platform::notify::datagram
