#include "collector/NRVOSLogExtractor.h"

#include <atomic>
#include <mutex>

#include "collector/NRVRootPrivilegeServiceCall.h"
#include "collector/StatusLogger.h"
#include "foundation/NRVGzipOutputStream.h"
#include "foundation/NSDateExtensions.h"
#include "foundation/NerovaLogger.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/fs/FileManager.h"
#include "platform/process/Task.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

namespace {

const NRVLogHandle& zepLog() { return NerovaLogger::zep(); }

// A collection that is being stopped: no further day is read and no status
// line reports the cut-short step.
bool stopping() { return platform::dispatch::WaitInterruption::requestedOnCurrentThread(); }

constexpr std::string_view kWrapperFrameStart = " <";
constexpr std::string_view kWrapperFrameName = "`NerovaDiagnosticsWithArguments";
constexpr std::string_view kDiagnosticsTag = " [com.nerova.rivovovuvev:diagnostics]";
constexpr std::string_view kLocalhost = " localhost ";

// A line longer than this is passed on unedited in pieces rather than held
// whole: no record of the store comes near it, and memory stays bounded.
constexpr std::size_t kMaxEditedLine = 16u << 20;

std::string dayText(NRVDate date) { return NSDateExtensions::zepLogFormattedDateString(date); }

// Day texts are made by the caller: the process days run in parallel, and
// the local-time functions behind the texts are best kept to one thread.
std::vector<std::string> logShowArguments(bool info, bool source, const std::string& start, const std::string& end,
                                          const std::string& predicate) {
    std::vector<std::string> arguments = {"show"};
    if (info) arguments.push_back("--info");
    arguments.push_back("--signpost");
    arguments.push_back("--no-pager");
    if (source) arguments.push_back("--source");
    for (const char* a : {"--style", "compact", "--start"}) arguments.emplace_back(a);
    arguments.push_back(start);
    arguments.push_back("--end");
    arguments.push_back(end);
    arguments.push_back("--predicate");
    arguments.push_back(predicate);
    return arguments;
}

std::string nextDayText(NRVDate date) { return dayText(NSDateExtensions::dateByAddingDays(date, 1)); }

// The first place of `text`, which begins with a blank: found by the rarer
// rest of it, since a search that starts at every blank of a line costs a
// comparison per word.
std::size_t findAfterBlank(std::string_view line, std::string_view text) {
    const std::string_view rest = text.substr(1);
    for (std::size_t from = 0, at; (at = line.find(rest, from)) != std::string_view::npos; from = at + 1)
        if (at > 0 && line[at - 1] == ' ') return at - 1;
    return std::string_view::npos;
}

void eraseFirst(std::string& line, std::string_view text) {
    const auto at = findAfterBlank(line, text);
    if (at != std::string::npos) line.erase(at, text.size());
}

// Whether any of the edits can change the line: each needs its text in it.
bool needsEdits(std::string_view line) {
    return line.find(kWrapperFrameName) != std::string_view::npos ||
           line.find(kDiagnosticsTag.substr(1)) != std::string_view::npos ||
           line.find(kLocalhost.substr(1)) != std::string_view::npos;
}

// What the output is compressed in: pieces of this size, rather than one
// call of the compressor for every line.
constexpr std::size_t kCompressPiece = 64 * 1024;

// Splits the output into lines, edits each whole line and hands the result
// on; a line feed stays with its line, a last line without one stays without.
class LineEditor {
public:
    explicit LineEditor(std::function<void(std::string_view)> emit) : emit_(std::move(emit)) {}

    void feed(std::string_view chunk) {
        while (!chunk.empty()) {
            const std::size_t feedAt = chunk.find('\n');
            const std::string_view piece = chunk.substr(0, feedAt == std::string_view::npos ? chunk.size() : feedAt + 1);
            chunk.remove_prefix(piece.size());
            if (passing_) {
                emit_(piece);
            } else if (line_.empty() && piece.back() == '\n' && piece.size() <= kMaxEditedLine) {
                // A whole line within the piece read: edited where it lies.
                emitEdited(piece);
                continue;
            } else if (line_.size() + piece.size() > kMaxEditedLine) {
                emit_(line_);
                emit_(piece);
                line_.clear();
                passing_ = true;
            } else {
                line_.append(piece);
            }
            if (piece.back() == '\n') {
                if (!passing_) flushLine();
                passing_ = false;
            }
        }
    }
    void finish() {
        if (!passing_ && !line_.empty()) flushLine();
    }

private:
    void flushLine() {
        emitEdited(line_);
        line_.clear();
    }

    void emitEdited(std::string_view line) {
        const bool hadFeed = !line.empty() && line.back() == '\n';
        const std::string_view body = hadFeed ? line.substr(0, line.size() - 1) : line;
        if (!needsEdits(body)) {
            emit_(line);
            return;
        }
        std::string edited = NRVOSLogExtractor::filteredLine(body);
        if (hadFeed) edited += '\n';
        emit_(edited);
    }

    std::function<void(std::string_view)> emit_;
    std::string line_;
    bool passing_ = false;
};

}  // namespace

struct NRVOSLogExtractor::DayResult {
    bool launched = false;
    bool timedOut = false;
    bool empty = false;    // nothing but the header: no file
    bool written = false;  // the file is in place
    std::uint64_t compressedBytes = 0;
    std::string error;
};

NRVOSLogExtractor::NRVOSLogExtractor()
    : maxLogHistoryDate_(NSDateExtensions::dateByAddingDays(NSDateExtensions::startOfDay(NSDateExtensions::now()),
                                                            -kMaxHistoryDays)),
      collectionStartDate_(NSDateExtensions::startOfDay(NSDateExtensions::now())),
      logToolPath_(defaultLogToolPath()),
      maxLogBytes_(static_cast<std::uint64_t>(kMaxFileSize) << 20) {}

NRVOSLogExtractor::~NRVOSLogExtractor() = default;

std::string NRVOSLogExtractor::defaultLogToolPath() {
    return fs::appendingPathComponent(platform::executableDirectory(), "log");
}

std::string NRVOSLogExtractor::filteredLine(std::string_view input) {
    std::string line(input);
    // The frame runs from the first " <" to the first ">" after the last
    // mention of the logger's name that still has a ">" after it, with at
    // least one character between " <" and the name.
    std::size_t name = std::string::npos;
    // Searching backwards compares at every position: only a line that holds
    // the name at all is searched so.
    const bool named = line.find(kWrapperFrameName) != std::string::npos;
    for (std::size_t at = named ? line.rfind(kWrapperFrameName) : std::string::npos; at != std::string::npos;
         at = at == 0 ? std::string::npos : line.rfind(kWrapperFrameName, at - 1)) {
        if (line.find('>', at + kWrapperFrameName.size()) != std::string::npos) {
            name = at;
            break;
        }
    }
    if (name != std::string::npos) {
        const std::size_t start = line.find(kWrapperFrameStart);
        if (start != std::string::npos && start + kWrapperFrameStart.size() < name) {
            const std::size_t end = line.find('>', name + kWrapperFrameName.size());
            line.erase(start, end + 1 - start);
        }
    }
    eraseFirst(line, kDiagnosticsTag);
    eraseFirst(line, kLocalhost);
    return line;
}

// ---- the product subsystem -------------------------------------------------

void NRVOSLogExtractor::extractLogsForNerovaSubSystem(const std::string& stagingLocation,
                                                      std::shared_ptr<StatusLogger> statusLogger) {
    tempDirectory_ = fs::appendingPathComponent(stagingLocation, kExtractFolderName);
    fs::createDirectory(tempDirectory_, true);
    statusLogger_ = std::move(statusLogger);

    NRVRootPrivilegeServiceCall service(xpcClientHelper_);
    if (!service.connect()) {
        if (stopping()) return;
        zepLog().error("Unable to establish XPC Connection to Nerova ServiceManager");
        statusLogger_->indicateWarning("ZEP Status: Trying standalone log collection (XPC connection failed)");
        extractStandAloneLogs();
        return;
    }

    const auto answer = service.call("runZEPLogExtraction:withReply:", tempDirectory_, "Failed to retrieve remote proxy: ");
    if (stopping()) return;
    if (answer.timedOut) zepLog().error("Timeout waiting for ZEP log extraction to complete");
    if (answer.value && !answer.timedOut)
        statusLogger_->indicateSuccess("ZEP Status: Log file collection completed.");
    else
        statusLogger_->indicateFailure("ZEP Status: Log file collection incomplete");
}

void NRVOSLogExtractor::extractStandAloneLogs() {
    while (totalLogBytes_ < maxLogBytes_ && !stopping()) {
        runStandAloneLogsExtraction(kSubsystem, collectionStartDate_);
        if (stopping()) break;
        if (totalLogBytes_ > maxLogBytes_) {
            statusLogger_->indicateWarning("Compressed data size has exceeded maximum size");
            hasHitMemoryLimit_ = true;
            break;
        }
        collectionStartDate_ = NSDateExtensions::dateByAddingDays(collectionStartDate_, -1);
        if (collectionStartDate_.sinceReferenceDate < maxLogHistoryDate_.sinceReferenceDate) {
            statusLogger_->indicateSuccess("ZEP Status: Log file collection completed.");
            break;
        }
    }
    resetStandAloneState();
}

void NRVOSLogExtractor::resetStandAloneState() {
    collectionStartDate_ = NSDateExtensions::startOfDay(NSDateExtensions::now());
    totalLogBytes_ = 0;
    hasHitMemoryLimit_ = false;
}

void NRVOSLogExtractor::runStandAloneLogsExtraction(const std::string& subsystem, NRVDate date) {
    const std::string day = dayText(date);
    const std::string name = subsystem + "-" + day + ".log.gz";
    const DayResult result = runLogShow(logShowArguments(true, false, day, nextDayText(date), "subsystem == '" + subsystem + "'"),
                                        fs::appendingPathComponent(tempDirectory_, name), true);
    if (stopping()) return;
    if (!result.launched) {
        zepLog().error("Unable to run " + logToolPath_ + " for " + day + ": " + result.error);
        return;
    }
    if (result.timedOut)
        zepLog().error("log show for " + day + " did not finish within " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(logShowTimeLimit_).count()) +
                       " seconds and was ended");
    if (result.empty) {
        zepLog().debug("No log data found for date : " + day + " ");
        return;
    }
    if (!result.written) {
        zepLog().error("Unable to write " + name + ": " + result.error);
        return;
    }
    totalLogBytes_ += result.compressedBytes;
    statusLogger_->indicateSuccess("Finished processing log: " + subsystem + "-" + day + ".log.gz");
}

// ---- processes --------------------------------------------------------------

void NRVOSLogExtractor::extractLogsForProcessPredicate(const std::string& process, NRVDate fromDate,
                                                       const std::string& directory,
                                                       std::shared_ptr<StatusLogger> statusLogger) {
    const std::string folder = fs::appendingPathComponent(directory, kExtractFolderName);
    fs::createDirectory(folder, true);
    const NRVDate now = NSDateExtensions::now();

    // The days run on other threads: they carry the caller's interruption.
    const auto interruption = platform::dispatch::WaitInterruption::current();
    platform::OperationQueue queue("com.nerova.zep.oslogextractor.processqueue");
    queue.setSuspended(true);
    for (NRVDate day = fromDate; day.sinceReferenceDate <= now.sinceReferenceDate;
         day = NSDateExtensions::dateByAddingDays(day, 1)) {
        const std::string start = dayText(day), end = nextDayText(day);
        const std::string file = fs::appendingPathComponent(folder, process + "-" + start + ".log");
        queue.addOperationWithBlock([this, interruption, process, start, end, file] {
            platform::dispatch::WaitInterruption::Scope scope(interruption);
            if (!stopping()) runProcessDay(process, start, end, file);
        });
    }
    queue.addBarrierBlock([statusLogger, interruption, process] {
        if (interruption && interruption->isRequested()) return;
        statusLogger->indicateSuccess("ZEP Status: Log collection complete for process = " + process);
    });
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
}

void NRVOSLogExtractor::extractOSLogsForProcessPredicate(const std::string& process, NRVDate date,
                                                         const std::string& filePath) {
    runProcessDay(process, dayText(date), nextDayText(date), filePath);
}

void NRVOSLogExtractor::runProcessDay(const std::string& process, const std::string& day, const std::string& nextDay,
                                      const std::string& filePath) const {
    const DayResult result =
        runLogShow(logShowArguments(false, true, day, nextDay, "process == '" + process + "'"), filePath + ".gz", false);
    if (!result.launched) {
        zepLog().error("Unable to run " + logToolPath_ + " for " + process + " on " + day + ": " + result.error);
        return;
    }
    if (result.timedOut)
        zepLog().error("log show for " + process + " on " + day + " did not finish in time and was ended");
    if (result.empty) {
        zepLog().error("Log file for process " + process + " is empty for date " + day);
        return;
    }
    if (!result.written) zepLog().error("Unable to write " + filePath + ".gz: " + result.error);
}

// ---- one `log show` run -----------------------------------------------------

NRVOSLogExtractor::DayResult NRVOSLogExtractor::runLogShow(const std::vector<std::string>& arguments,
                                                           const std::string& gzipPath, bool filtered) const {
    DayResult result;
    NRVGzipOutputStream out(gzipPath);
    platform::Error error;
    // The output is compressed as it arrives; a failed write stops the
    // writing but not the reading, so that the program can still end.
    bool writable = out.open(&error);
    if (!writable) result.error = error.description;

    std::uint64_t length = 0;
    std::string pending;
    pending.reserve(2 * kCompressPiece);
    auto compressPending = [&] {
        if (writable && !pending.empty() && !out.write(pending, &error)) {
            writable = false;
            result.error = error.description;
        }
        pending.clear();
    };
    auto write = [&](std::string_view bytes) {
        length += bytes.size();
        if (!writable) return;
        if (bytes.size() >= kCompressPiece) {
            compressPending();
            if (writable && !out.write(bytes, &error)) {
                writable = false;
                result.error = error.description;
            }
            return;
        }
        pending.append(bytes);
        if (pending.size() >= kCompressPiece) compressPending();
    };
    LineEditor editor(write);

    platform::Task task;
    task.launchPath = logToolPath_;
    task.arguments = arguments;
    task.standardInput = platform::Task::Stream::nullDevice();
    task.standardOutput = platform::Task::Stream::pipe();
    task.standardError = platform::Task::Stream::nullDevice();
    task.endsProcessGroupAtExit = true;
    if (filtered)
        task.standardOutputHandler = [&editor](std::string_view chunk) { editor.feed(chunk); };
    else
        task.standardOutputHandler = write;
    platform::Error launchError;
    if (!task.launch(&launchError)) {
        result.error = launchError.description;
        return result;
    }
    result.launched = true;
    task.waitUntilExit(logShowTimeLimit_);
    result.timedOut = task.timedOut();
    if (filtered) editor.finish();
    compressPending();

    // Decided on what would have been written, before compression: the
    // header line alone is a day without records. Any other length, none at
    // all included, is the tool's answer and is kept.
    if (length == kEmptyOutputLength) {
        out.discard();
        result.empty = true;
        return result;
    }
    if (!writable) return result;
    if (!out.finish(&error)) {
        result.error = error.description;
        return result;
    }
    result.written = true;
    result.compressedBytes = out.compressedBytes();
    return result;
}
