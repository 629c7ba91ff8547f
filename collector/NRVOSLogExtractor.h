// The unified-log extracts of a collection: the product subsystem's records,
// one gzip file per day, made by the root-privileged service or, when that
// cannot be reached, by running the `log` tool here day by day backwards; and
// the records of single processes, one file per day.
//
// Threading: one extractor serves one collection. The two extraction entry
// points are called from the driver's serial queue and block it: the
// subsystem extraction up to the 3 s connection attempt plus the service's
// answer, or for the whole standalone loop; the process extraction until
// every day of the process is done. The process days run in parallel on a
// private operation queue and share no field of the extractor; the status
// logger is called only from the calling thread or that queue's final
// barrier. Replies of the service land in a set-once cell, never in a field.
// A WaitInterruption in scope on the calling thread cuts both short: its
// request ends the waits on the service, no further day is started (the
// process days carry it to their threads), and the step reports nothing more.
//
// Every `log show` run gets the command time limit of the collection and is
// ended with its process group when it outlives it. Its output is read in
// pieces, edited line by line and compressed into a temporary file beside the
// target as it arrives, so memory stays bounded whatever a day holds.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value/NRVValue.h"

class NRVXPCClientHelper;
class StatusLogger;

class NRVOSLogExtractor {
public:
    static constexpr const char* kSubsystem = "com.nerova.rivovovuvev";
    static constexpr const char* kExtractFolderName = "NerovaDiagnostics";
    // Days before today that the standalone extraction still reads.
    static constexpr int kMaxHistoryDays = 30;
    // In MiB: the standalone extraction stops once its compressed files pass this.
    static constexpr std::int64_t kMaxFileSize = 300;
    // What `log show` prints for a day without records: its header line alone.
    static constexpr std::uint64_t kEmptyOutputLength = 44;
    // The collection's limit for one outside program.
    static constexpr std::chrono::seconds kLogShowTimeLimit{300};

    NRVOSLogExtractor();
    ~NRVOSLogExtractor();
    NRVOSLogExtractor(const NRVOSLogExtractor&) = delete;
    NRVOSLogExtractor& operator=(const NRVOSLogExtractor&) = delete;

    void extractLogsForNerovaSubSystem(const std::string& stagingLocation, std::shared_ptr<StatusLogger> statusLogger);
    void extractLogsForProcessPredicate(const std::string& process, NRVDate fromDate, const std::string& directory,
                                        std::shared_ptr<StatusLogger> statusLogger);
    // One process-day into `filePath` + ".gz"; nothing is written for a day
    // without records.
    void extractOSLogsForProcessPredicate(const std::string& process, NRVDate date, const std::string& filePath);
    // The standalone day loop of the product subsystem, into the log-extract
    // folder of the current run.
    void extractStandAloneLogs();
    void runStandAloneLogsExtraction(const std::string& subsystem, NRVDate date);

    const std::shared_ptr<NRVXPCClientHelper>& xpcClientHelper() const { return xpcClientHelper_; }
    void setXpcClientHelper(std::shared_ptr<NRVXPCClientHelper> helper) { xpcClientHelper_ = std::move(helper); }
    const std::shared_ptr<StatusLogger>& logger() const { return logger_; }

    // The three edits applied to every line of the subsystem's output: the
    // diagnostics logger's wrapper frame (from a blank and "<" up to the ">"
    // after its last mention), the diagnostics category tag, and the first
    // " localhost ". Bytes, not characters: invalid UTF-8 passes untouched.
    static std::string filteredLine(std::string_view line);

    // The `log` program beside the running executable, as installed.
    static std::string defaultLogToolPath();
    // Tests: another `log` program, and a byte cap other than kMaxFileSize MiB.
    void setLogToolPath(std::string path) { logToolPath_ = std::move(path); }
    void setMaxLogBytesForUnitTest(std::uint64_t bytes) { maxLogBytes_ = bytes; }
    void setLogShowTimeLimitForUnitTest(std::chrono::milliseconds limit) { logShowTimeLimit_ = limit; }

private:
    struct DayResult;
    DayResult runLogShow(const std::vector<std::string>& arguments, const std::string& gzipPath, bool filtered) const;
    void resetStandAloneState();
    // One process-day with its day texts made by the caller.
    void runProcessDay(const std::string& process, const std::string& day, const std::string& nextDay,
                       const std::string& filePath) const;

    NRVDate maxLogHistoryDate_;
    std::int64_t maxFileSize_ = kMaxFileSize;
    NRVDate collectionStartDate_;
    std::uint64_t totalLogBytes_ = 0;
    bool hasHitMemoryLimit_ = false;
    std::string tempDirectory_;
    std::shared_ptr<StatusLogger> statusLogger_;
    std::shared_ptr<StatusLogger> logger_;
    std::shared_ptr<NRVXPCClientHelper> xpcClientHelper_;

    std::string logToolPath_;
    std::uint64_t maxLogBytes_;
    std::chrono::milliseconds logShowTimeLimit_ = kLogShowTimeLimit;
};
