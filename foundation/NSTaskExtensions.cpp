#include "foundation/NSTaskExtensions.h"

#include <utility>

#include "foundation/NSStringExtensions.h"
#include "foundation/NRVUTF8.h"

namespace NSTaskExtensions {

namespace {

// Cuts whole characters off the front until at most n UTF-16 units remain
// (a character outside the basic plane counts two).
void keepLastUnits(std::string& text, std::size_t n) {
    std::size_t units = 0;
    std::size_t cut = text.size();
    while (cut > 0) {
        std::size_t start = cut - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const std::size_t width = static_cast<unsigned char>(text[start]) >= 0xF0 ? 2 : 1;
        if (units + width > n) break;
        units += width;
        cut = start;
    }
    if (cut > 0) text.erase(0, cut);
}

// Collects one stream: the chunks as they come, with a split character
// carried to the next chunk, and the rest of it flushed at the end.
struct Collector {
    std::string text;
    std::string carry;
    std::size_t limit;
    void add(std::string_view chunk) { appendData(chunk, &text, limit, &carry); }
    std::string finish() {
        // A character still cut off at the end of the output is no character.
        if (!carry.empty()) appendData(std::exchange(carry, {}), &text, limit);
        return text;
    }
};

}  // namespace

bool appendData(std::optional<std::string_view> data, std::string* string, std::size_t n, std::string* carry) {
    if (!data || !string || n == 0) return true;
    std::string joined;
    std::string_view bytes = *data;
    if (carry && !carry->empty()) {
        joined = *carry + std::string(*data);
        bytes = joined;
    }
    NRVUTF8::Decoded decoded = NRVUTF8::decode(bytes, carry != nullptr);
    if (carry) *carry = std::string(bytes.substr(bytes.size() - decoded.pendingTail));
    string->append(decoded.text);
    keepLastUnits(*string, n);
    return !decoded.hadInvalidBytes;
}

bool launchTask(platform::Task& task, std::optional<std::string_view> toolPath,
                const std::optional<std::vector<std::string>>& arguments, std::string* standardOutput,
                std::string* standardError, int* statusCode) {
    if (NSStringExtensions::isNilOrWhiteSpace(toolPath) || !task.launchPath.empty()) return false;
    task.launchPath = std::string(*toolPath);
    if (arguments) task.arguments = *arguments;

    // The two collectors live on this stack: the task's drain threads have
    // delivered their last chunk when waitUntilExit returns.
    Collector out{{}, {}, kStandardOutputLimit}, err{{}, {}, kStandardErrorLimit};
    if (standardOutput) {
        task.standardOutput = platform::Task::Stream::pipe();
        task.standardOutputHandler = [&out](std::string_view chunk) { out.add(chunk); };
    } else {
        task.standardOutput = platform::Task::Stream::nullDevice();
    }
    if (standardError) {
        task.standardError = platform::Task::Stream::pipe();
        task.standardErrorHandler = [&err](std::string_view chunk) { err.add(chunk); };
    } else {
        task.standardError = platform::Task::Stream::nullDevice();
    }

    platform::Error reason;
    if (!task.launch(&reason)) {
        if (statusCode) *statusCode = -1;
        if (standardError) *standardError = "NSInvalidArgumentException: " + reason.description;
        return false;
    }
    task.waitUntilExit();
    task.standardOutputHandler = nullptr;
    task.standardErrorHandler = nullptr;
    if (statusCode) *statusCode = task.terminationStatus();
    if (standardOutput) *standardOutput = out.finish();
    if (standardError) *standardError = err.finish();
    return task.terminationReason() == platform::Task::TerminationReason::Exit && task.terminationStatus() == 0;
}

}  // namespace NSTaskExtensions
