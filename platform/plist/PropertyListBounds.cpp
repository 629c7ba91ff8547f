#include "platform/plist/PropertyListBounds.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/plist/PropertyList.h"

namespace platform::plist {

namespace {

// Memory a converted node costs beside its payload: the parser's node and
// data records and the value it becomes.
constexpr std::uint64_t kBytesPerNode = 160;
// Converted values may take this many times the list's size, plus a floor
// for small lists.
constexpr std::uint64_t kBytesPerListByte = 256;
constexpr std::uint64_t kMinimumBytes = 1ull << 20;
constexpr std::uint64_t kMaxNodes = 1'000'000;

constexpr const char* kTooDeep = "property list nested too deeply";
constexpr const char* kOverBudget = "property list over its node or memory budget";

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::uint64_t saturatingMultiply(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

bool refuse(platform::Error* error, const char* why) {
    if (error) *error = platform::Error{.operation = {}, .code = 0, .description = why, .status = 0};
    return false;
}

struct Cost {
    std::uint64_t nodes = 0;
    std::uint64_t bytes = 0;
    void add(const Cost& other) {
        nodes = saturatingAdd(nodes, other.nodes);
        bytes = saturatingAdd(bytes, other.bytes);
    }
    bool over(const Bounds& bounds) const { return nodes > bounds.maxNodes || bytes > bounds.maxBytes; }
};

// The binary format: a trailer names the offset table; each object starts
// with a marker whose high nibble is its kind and low nibble its count
// (0xF: the count follows as an integer object).
bool binaryWithinBounds(const std::uint8_t* p, std::size_t size, const Bounds& bounds, platform::Error* error) {
    constexpr std::size_t kTrailerSize = 32;
    constexpr const char* kMalformed = "malformed binary property list";
    if (size < 8 + kTrailerSize || std::memcmp(p, "bplist00", 8) != 0) return refuse(error, kMalformed);
    const std::uint8_t* trailer = p + size - kTrailerSize;
    const std::size_t offsetWidth = trailer[6];
    const std::size_t refWidth = trailer[7];
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t topObject = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    // Writers use the narrowest width that fits (3 bytes is common past 64 KiB).
    auto validWidth = [](std::size_t w) { return w >= 1 && w <= 8; };
    if (!validWidth(offsetWidth) || !validWidth(refWidth)) return refuse(error, kMalformed);
    const std::uint64_t bodyEnd = size - kTrailerSize;
    if (objectCount == 0 || objectCount > bodyEnd || topObject >= objectCount) return refuse(error, kMalformed);
    if (tableOffset < 8 || tableOffset > bodyEnd || (bodyEnd - tableOffset) / offsetWidth < objectCount)
        return refuse(error, kMalformed);

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
        if (offset < 8 || offset >= tableOffset) return refuse(error, kMalformed);
    }

    // Children of every object, as index ranges into one list of references,
    // and what the object itself costs once converted.
    std::vector<std::size_t> firstChild(objectCount + 1, 0);
    std::vector<std::uint64_t> children;
    std::vector<Cost> own(objectCount, Cost{1, kBytesPerNode});
    for (std::uint64_t i = 0; i < objectCount; ++i) {
        firstChild[i] = children.size();
        const std::uint64_t offset = offsetOf(i);
        const std::uint8_t kind = p[offset] >> 4;
        if (kind == 0x4 || kind == 0x5 || kind == 0x6) {  // data, ASCII and UTF-16 strings
            std::uint64_t count = 0, at = 0;
            if (!countOf(offset, &count, &at)) return refuse(error, kMalformed);
            own[i].bytes = saturatingAdd(own[i].bytes, kind == 0x6 ? saturatingMultiply(count, 4) : count);
            continue;
        }
        if (kind != 0xA && kind != 0xC && kind != 0xD) continue;  // not a container
        std::uint64_t count = 0, at = 0;
        if (!countOf(offset, &count, &at)) return refuse(error, kMalformed);
        const std::uint64_t refs = kind == 0xD ? count * 2 : count;
        if ((tableOffset - at) / refWidth < refs) return refuse(error, kMalformed);
        for (std::uint64_t r = 0; r < refs; ++r) {
            const std::uint64_t ref = readBigEndian(p + at + r * refWidth, refWidth);
            if (ref >= objectCount) return refuse(error, kMalformed);
            if (kind == 0xD && r < count && !isPlainKey(ref))
                return refuse(error, "binary property list with a dictionary key that is no plain string");
            children.push_back(ref);
        }
    }
    firstChild[objectCount] = children.size();

    // Depth first from the top object. A shared object is walked once; its
    // cost counts again every time it is reached, as the parser copies it.
    enum : std::uint8_t { Unvisited, Open, Done };
    std::vector<std::uint8_t> state(objectCount, Unvisited);
    std::vector<int> height(objectCount, 0);  // levels below and including the object
    std::vector<Cost> expanded(objectCount);
    struct Frame {
        std::uint64_t object;
        std::size_t next;  // index into children
    };
    const int maxLevels = bounds.maxDepth + 1;  // the top object is a level of its own
    std::vector<Frame> stack{{topObject, firstChild[topObject]}};
    state[topObject] = Open;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < firstChild[frame.object + 1]) {
            const std::uint64_t child = children[frame.next++];
            if (state[child] == Open) return refuse(error, "property list refers to itself");
            if (state[child] == Unvisited) {
                if (stack.size() >= static_cast<std::size_t>(maxLevels)) return refuse(error, kTooDeep);
                state[child] = Open;
                stack.push_back({child, firstChild[child]});
            }
            continue;
        }
        const std::uint64_t object = frame.object;
        int h = 0;
        Cost total = own[object];
        for (std::size_t c = firstChild[object]; c < firstChild[object + 1]; ++c) {
            h = std::max(h, height[children[c]]);
            total.add(expanded[children[c]]);
            if (total.over(bounds)) return refuse(error, kOverBudget);
        }
        height[object] = h + 1;
        if (height[object] > maxLevels) return refuse(error, kTooDeep);
        expanded[object] = total;
        state[object] = Done;
        stack.pop_back();
    }
    return true;
}

// The XML format shares nothing, so the element count bounds the nodes and
// the open containers bound the depth. Comments and character data are
// skipped: their text is no markup. Malformed XML is left to the parser.
bool xmlWithinBounds(const std::string_view text, const Bounds& bounds, platform::Error* error) {
    std::uint64_t elements = 0;
    int depth = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        auto skipTo = [&](const char* end) {
            const std::size_t close = text.find(end, at);
            at = close == std::string_view::npos ? text.size() : close;
        };
        if (text.compare(at, 4, "<!--") == 0) { skipTo("-->"); if (at >= text.size()) break; continue; }
        if (text.compare(at, 9, "<![CDATA[") == 0) { skipTo("]]>"); if (at >= text.size()) break; continue; }
        if (at + 1 >= text.size()) break;
        const char next = text[at + 1];
        if (next == '?' || next == '!') continue;
        const std::size_t close = text.find('>', at);
        const bool selfClosing = close != std::string_view::npos && close > at && text[close - 1] == '/';
        const bool container = text.compare(at + 1, 5, "array") == 0 || text.compare(at + 1, 4, "dict") == 0;
        if (next == '/') {
            if (text.compare(at + 2, 5, "array") == 0 || text.compare(at + 2, 4, "dict") == 0) --depth;
            continue;
        }
        ++elements;
        if (container && !selfClosing && ++depth > bounds.maxDepth) return refuse(error, kTooDeep);
    }
    const std::uint64_t bytes = saturatingAdd(saturatingMultiply(elements, kBytesPerNode), text.size());
    if (elements > bounds.maxNodes || bytes > bounds.maxBytes) return refuse(error, kOverBudget);
    return true;
}

bool isBinary(const std::uint8_t* bytes, std::size_t size) {
    return size >= 8 && std::memcmp(bytes, "bplist00", 8) == 0;
}

}  // namespace

Bounds boundsForSize(std::uint64_t size) {
    return {kMaxNodes, saturatingAdd(saturatingMultiply(size, kBytesPerListByte), kMinimumBytes), kMaxDepth};
}

bool isBoundedPropertyList(const std::uint8_t* bytes, std::size_t size, platform::Error* error) {
    if (!bytes || size == 0) return refuse(error, "empty property list");
    const Bounds bounds = boundsForSize(size);
    if (isBinary(bytes, size)) return binaryWithinBounds(bytes, size, bounds, error);
    return xmlWithinBounds(std::string_view(reinterpret_cast<const char*>(bytes), size), bounds, error);
}

bool isBoundedBinaryPropertyList(const std::uint8_t* bytes, std::size_t size, platform::Error* error) {
    if (!bytes || !isBinary(bytes, size)) return refuse(error, "not a binary property list");
    return binaryWithinBounds(bytes, size, boundsForSize(size), error);
}

}  // namespace platform::plist
