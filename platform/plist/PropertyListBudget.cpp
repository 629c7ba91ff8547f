#include "platform/plist/PropertyListBudget.h"

#include <cstring>
#include <vector>

namespace platform::plist {

namespace {

// Memory a converted node costs beside its payload: the parser's node and
// data records and the value it becomes.
constexpr std::uint64_t kBytesPerNode = 160;
// Converted values may take this many times the file's size, plus a floor
// for small files.
constexpr std::uint64_t kBytesPerFileByte = 256;
constexpr std::uint64_t kMinimumBytes = 1ull << 20;
constexpr std::uint64_t kMaxNodes = 1'000'000;

struct Cost {
    std::uint64_t nodes = 0;
    std::uint64_t bytes = 0;
};

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::uint64_t bigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = v << 8 | p[i];
    return v;
}

// The binary format: a trailer names the offset table; each object starts
// with a marker whose high nibble is its kind and low nibble its length
// (0xF: the length follows as an integer object).
class BinaryWalk {
public:
    BinaryWalk(const std::string& bytes, const Budget& budget)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), budget_(budget) {}

    bool run(std::string* reason) {
        if (size_ < 8 + 32) return true;  // the parser refuses it
        const unsigned char* trailer = data_ + size_ - 32;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const std::uint64_t count = bigEndian(trailer + 8, 8);
        const std::uint64_t top = bigEndian(trailer + 16, 8);
        tableOffset_ = bigEndian(trailer + 24, 8);
        if (offsetSize_ == 0 || offsetSize_ > 8 || refSize_ == 0 || refSize_ > 8 || count == 0 || top >= count ||
            tableOffset_ >= size_ || count > (size_ - tableOffset_) / offsetSize_)
            return true;  // malformed: the parser refuses it
        count_ = count;
        memo_.assign(count, Cost{});
        state_.assign(count, 0);
        Cost cost;
        if (!visit(top, 0, &cost)) {
            if (reason) *reason = reason_;
            return false;
        }
        return true;
    }

private:
    bool over(const Cost& c) const { return c.nodes > budget_.maxNodes || c.bytes > budget_.maxBytes; }

    bool refuse(const char* why) {
        reason_ = why;
        return false;
    }

    std::uint64_t offsetOf(std::uint64_t object) const {
        return bigEndian(data_ + tableOffset_ + object * offsetSize_, offsetSize_);
    }

    // The object's length and where its content begins; false when it runs off the end.
    bool lengthOf(std::uint64_t offset, std::uint64_t* length, std::uint64_t* content) const {
        const unsigned char marker = data_[offset];
        *length = marker & 0x0F;
        *content = offset + 1;
        if (*length != 0x0F) return true;
        if (*content >= size_) return false;
        const unsigned char intMarker = data_[*content];
        if ((intMarker & 0xF0) != 0x10) return false;
        const std::size_t intSize = std::size_t{1} << (intMarker & 0x0F);
        if (intSize > 8 || *content + 1 + intSize > size_) return false;
        *length = bigEndian(data_ + *content + 1, intSize);
        *content += 1 + intSize;
        return true;
    }

    bool visit(std::uint64_t object, int depth, Cost* total) {
        if (object >= count_) return true;  // the parser refuses a bad reference
        if (depth > budget_.maxDepth) return refuse("property list nested too deeply");
        if (state_[object] == 2) {
            // Shared: its cost counts again every time it is reached.
            total->nodes = saturatingAdd(total->nodes, memo_[object].nodes);
            total->bytes = saturatingAdd(total->bytes, memo_[object].bytes);
            return over(*total) ? refuse("property list over its node or memory budget") : true;
        }
        if (state_[object] == 1) return refuse("property list refers to itself");
        state_[object] = 1;
        Cost cost{1, kBytesPerNode};
        const std::uint64_t offset = offsetOf(object);
        std::uint64_t length = 0, content = 0;
        if (offset < size_ && lengthOf(offset, &length, &content)) {
            const unsigned kind = data_[offset] >> 4;
            std::uint64_t children = 0;
            if (kind == 0xA || kind == 0xC) children = length;
            else if (kind == 0xD) children = length > UINT64_MAX / 2 ? UINT64_MAX : length * 2;
            else if (kind == 0x4 || kind == 0x5) cost.bytes = saturatingAdd(cost.bytes, length);
            else if (kind == 0x6) cost.bytes = saturatingAdd(cost.bytes, length > UINT64_MAX / 4 ? UINT64_MAX : length * 4);
            if (children > 0) {
                if (children > (size_ - std::min<std::uint64_t>(content, size_)) / refSize_)
                    return finish(object, cost, total);  // runs off the end: the parser refuses it
                for (std::uint64_t i = 0; i < children; ++i) {
                    const std::uint64_t child = bigEndian(data_ + content + i * refSize_, refSize_);
                    if (!visit(child, depth + 1, &cost)) return false;
                }
            }
        }
        return finish(object, cost, total);
    }

    bool finish(std::uint64_t object, const Cost& cost, Cost* total) {
        memo_[object] = cost;
        state_[object] = 2;
        total->nodes = saturatingAdd(total->nodes, cost.nodes);
        total->bytes = saturatingAdd(total->bytes, cost.bytes);
        return over(*total) ? refuse("property list over its node or memory budget") : true;
    }

    const unsigned char* data_;
    std::size_t size_;
    Budget budget_;
    std::size_t offsetSize_ = 0, refSize_ = 0;
    std::uint64_t tableOffset_ = 0, count_ = 0;
    std::vector<Cost> memo_;
    std::vector<unsigned char> state_;  // 0 unseen, 1 being visited, 2 done
    std::string reason_;
};

// The XML format shares nothing, so the element count bounds the nodes and
// the open containers bound the depth. Comments and character data are
// skipped: their text is no markup.
bool xmlFits(const std::string& text, const Budget& budget, std::string* reason) {
    std::uint64_t elements = 0;
    int depth = 0;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        auto skipTo = [&](const char* end) {
            const std::size_t close = text.find(end, at);
            at = close == std::string::npos ? text.size() : close;
        };
        if (text.compare(at, 4, "<!--") == 0) { skipTo("-->"); if (at >= text.size()) break; continue; }
        if (text.compare(at, 9, "<![CDATA[") == 0) { skipTo("]]>"); if (at >= text.size()) break; continue; }
        if (at + 1 >= text.size()) break;
        const char next = text[at + 1];
        if (next == '?' || next == '!') continue;
        const std::size_t close = text.find('>', at);
        const bool selfClosing = close != std::string::npos && close > at && text[close - 1] == '/';
        const bool container = text.compare(at + 1, 5, "array") == 0 || text.compare(at + 1, 4, "dict") == 0;
        if (next == '/') {
            if (text.compare(at + 2, 5, "array") == 0 || text.compare(at + 2, 4, "dict") == 0) --depth;
            continue;
        }
        ++elements;
        if (container && !selfClosing && ++depth > budget.maxDepth) {
            if (reason) *reason = "property list nested too deeply";
            return false;
        }
    }
    const std::uint64_t bytes = saturatingAdd(elements * kBytesPerNode, text.size());
    if (elements > budget.maxNodes || bytes > budget.maxBytes) {
        if (reason) *reason = "property list over its node or memory budget";
        return false;
    }
    return true;
}

}  // namespace

Budget budgetForSize(std::uint64_t size) {
    return {kMaxNodes, saturatingAdd(size > UINT64_MAX / kBytesPerFileByte ? UINT64_MAX : size * kBytesPerFileByte, kMinimumBytes), 64};
}

bool fitsBudget(const std::string& bytes, const Budget& budget, std::string* error) {
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0)
        return BinaryWalk(bytes, budget).run(error);
    return xmlFits(bytes, budget, error);
}

}  // namespace platform::plist
