#include "platform/plist/BinaryPropertyListBounds.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform::plist {

namespace {

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

bool isBoundedBinaryPropertyList(const std::uint8_t* p, std::size_t size, int maxDepth, std::size_t maxValues) {
    constexpr std::size_t kTrailerSize = 32;
    if (size < 8 + kTrailerSize || std::memcmp(p, "bplist00", 8) != 0) return false;
    const std::uint8_t* trailer = p + size - kTrailerSize;
    const std::size_t offsetWidth = trailer[6];
    const std::size_t refWidth = trailer[7];
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t topObject = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    auto validWidth = [](std::size_t w) { return w == 1 || w == 2 || w == 4 || w == 8; };
    if (!validWidth(offsetWidth) || !validWidth(refWidth)) return false;
    const std::uint64_t bodyEnd = size - kTrailerSize;
    if (objectCount == 0 || objectCount > bodyEnd || topObject >= objectCount) return false;
    if (tableOffset < 8 || tableOffset > bodyEnd || (bodyEnd - tableOffset) / offsetWidth < objectCount) return false;

    auto offsetOf = [&](std::uint64_t index) { return readBigEndian(p + tableOffset + index * offsetWidth, offsetWidth); };
    // The count of an object whose marker is at `offset`, and where its
    // content starts; false when it runs past the objects.
    auto countOf = [&](std::uint64_t offset, std::uint64_t* count, std::uint64_t* contentStart) {
        *count = p[offset] & 0x0F;
        std::uint64_t at = offset + 1;
        if (*count == 0x0F) {
            if (at >= tableOffset || (p[at] >> 4) != 0x1 || (p[at] & 0x0F) > 3) return false;
            const std::size_t width = std::size_t{1} << (p[at] & 0x0F);
            if (tableOffset - at - 1 < width) return false;
            *count = readBigEndian(p + at + 1, width);
            at += 1 + width;
        }
        *contentStart = at;
        return *count <= bodyEnd;
    };
    // The parser asserts (ending the process) on a dictionary key holding a
    // NUL character, so keys must be strings without one.
    auto isPlainKey = [&](std::uint64_t index) {
        const std::uint64_t offset = offsetOf(index);
        const std::uint8_t kind = p[offset] >> 4;
        std::uint64_t count = 0, at = 0;
        if ((kind != 0x5 && kind != 0x6) || !countOf(offset, &count, &at)) return false;
        const std::uint64_t length = kind == 0x6 ? count * 2 : count;
        if (tableOffset - at < length) return false;
        for (std::uint64_t i = 0; i < length; i += (kind == 0x6 ? 2 : 1)) {
            if (p[at + i] == 0 && (kind == 0x5 || p[at + i + 1] == 0)) return false;
        }
        return true;
    };
    for (std::uint64_t i = 0; i < objectCount; ++i) {
        const std::uint64_t offset = offsetOf(i);
        if (offset < 8 || offset >= tableOffset) return false;
    }

    // Children of every object, as index ranges into one list of references.
    std::vector<std::size_t> firstChild(objectCount + 1, 0);
    std::vector<std::uint64_t> children;
    for (std::uint64_t i = 0; i < objectCount; ++i) {
        firstChild[i] = children.size();
        const std::uint64_t offset = offsetOf(i);
        const std::uint8_t kind = p[offset] >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) continue;  // not a container
        std::uint64_t count = 0, at = 0;
        if (!countOf(offset, &count, &at)) return false;
        const std::uint64_t refs = kind == 0xD ? count * 2 : count;
        if ((tableOffset - at) / refWidth < refs) return false;
        for (std::uint64_t r = 0; r < refs; ++r) {
            const std::uint64_t ref = readBigEndian(p + at + r * refWidth, refWidth);
            if (ref >= objectCount) return false;
            if (kind == 0xD && r < count && !isPlainKey(ref)) return false;
            children.push_back(ref);
        }
    }
    firstChild[objectCount] = children.size();

    enum : std::uint8_t { Unvisited, Open, Done };
    std::vector<std::uint8_t> state(objectCount, Unvisited);
    std::vector<int> height(objectCount, 0);
    std::vector<std::size_t> expanded(objectCount, 0);
    struct Frame {
        std::uint64_t object;
        std::size_t next;  // index into children
    };
    std::vector<Frame> stack{{topObject, firstChild[topObject]}};
    state[topObject] = Open;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < firstChild[frame.object + 1]) {
            const std::uint64_t child = children[frame.next++];
            if (state[child] == Open) return false;  // a cycle
            if (state[child] == Unvisited) {
                if (stack.size() >= static_cast<std::size_t>(maxDepth)) return false;
                state[child] = Open;
                stack.push_back({child, firstChild[child]});
            }
            continue;
        }
        const std::uint64_t object = frame.object;
        int h = 0;
        std::size_t total = 1;
        for (std::size_t c = firstChild[object]; c < firstChild[object + 1]; ++c) {
            h = std::max(h, height[children[c]]);
            total += expanded[children[c]];
            if (total > maxValues) return false;
        }
        height[object] = h + 1;
        if (height[object] > maxDepth) return false;
        expanded[object] = total;
        state[object] = Done;
        stack.pop_back();
    }
    return true;
}

}  // namespace platform::plist
