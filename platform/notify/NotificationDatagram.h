// The wire form of one distributed notification: what a post sends to every
// observing process as one datagram. Any local user can write to an
// observer's socket, so decoding treats every datagram as hostile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error/Error.h"
#include "platform/plist/PropertyList.h"
#include "platform/value/NRVValue.h"

namespace platform::notify {

struct Notification {
    std::string name;
    std::optional<std::string> object;        // the object text, when one was posted
    std::optional<NRVDictionary> userInfo;    // property-list values only

    bool operator==(const Notification&) const = default;
};

namespace datagram {

// A datagram never exceeds this, user info included.
constexpr std::size_t kMaxDatagramSize = 64 * 1024;
// A notification name is a short reverse-DNS text.
constexpr std::size_t kMaxNameLength = 1024;
// User info nesting (containers inside containers): that of every property
// list. What a list may expand to (one object can be shared from many
// places) is bounded by the property-list check as well.
constexpr int kMaxUserInfoDepth = plist::kMaxDepth;

// Layout, integers big-endian:
//   "NRVN"  version (1 byte, 1)  flags (1 byte: 0x1 object, 0x2 user info)
//   name length (2 bytes)  name (UTF-8)
//   [object length (4 bytes)  object (UTF-8)]
//   [user info length (4 bytes)  user info (binary property list, a dictionary)]
// and nothing after.
constexpr std::uint8_t kVersion = 1;

// nullopt (with a reason) for an empty or over-long name, text that is not
// UTF-8, user info that is not representable, or a result over the size limit.
std::optional<std::string> encode(const Notification& notification, platform::Error* error = nullptr);

// nullopt (with a reason) for anything that is not exactly one well-formed
// datagram of the layout above.
std::optional<Notification> decode(const std::uint8_t* bytes, std::size_t size, platform::Error* error = nullptr);

}  // namespace datagram

}  // namespace platform::notify
