// The unified log: structured records appended to a store file that the
// `log` tool reads, or handed to a sink that tests install.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/thread/Mutex.h"

namespace platform::log {

enum class Level { Default, Info, Debug, Error, Fault };

std::string_view levelName(Level level);            // "Default", "Info", ...
std::optional<Level> levelFromName(std::string_view name);

struct Record {
    std::string timestamp;   // "yyyy-MM-dd HH:mm:ss.SSSSSS+zzzz", local time
    double unixTime = 0;     // the same instant, seconds since 1970
    int pid = 0;
    std::uint64_t threadID = 0;
    std::string process;
    std::string subsystem;
    std::string category;
    Level level = Level::Default;
    std::string message;
};

// One record per line: the fields above in their order, separated by tabs
// (unixTime as seconds with six decimals, level by its name). Tabs, line
// feeds, carriage returns and backslashes inside a field are escaped as a
// backslash followed by "t", "n", "r" or a backslash, so a record never spans
// lines and the field count never changes. The rendered line carries no line feed; the
// store adds one. parseLine accepts the line with or without it and answers
// nullopt for anything that is not a whole record.
std::string renderLine(const Record& record);
std::optional<Record> parseLine(std::string_view line);

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// Appends to the store file with one write per record on an O_APPEND
// descriptor, so records of concurrent writers (threads or processes) never
// interleave. The descriptor is kept open across records and reopened when
// the file at the path is removed or replaced. A record that cannot be
// written is dropped: logging never fails, throws or blocks its caller.
class StoreSink final : public Sink {
public:
    explicit StoreSink(std::string path) : path_(std::move(path)) {}
    void write(const Record& record) override;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Keeps records in memory, for tests.
class CaptureSink final : public Sink {
public:
    void write(const Record& record) override;
    std::vector<Record> records() const;
    void clear();

private:
    mutable platform::Mutex mutex_;
    std::vector<Record> records_ GUARDED_BY(mutex_);
};

// The store file: NRV_LOG_STORE, else /var/log/nerova/unified.log when
// writable, else $XDG_STATE_HOME (or ~/.local/state)/nerova/unified.log.
std::string defaultStorePath();

// Installs a sink for the whole process; nullptr returns to the store file.
void setSink(std::shared_ptr<Sink> sink);

// Whether a record of this level is kept. Debug records are kept only while a
// sink is installed: the store holds what `log show` can show, and it never
// shows debug records, so writing them there would only cost the caller.
// Every other level is always kept. Callers that build a costly message may
// ask first; write() checks again, so asking is never needed for correctness.
bool isEnabled(Level level);

// Writes one record with the current time, process and thread to the
// installed sink, or to the store file at defaultStorePath() (whose folder is
// created on first use); a debug record without a sink is dropped. The store path is looked up again whenever
// NRV_LOG_STORE, XDG_STATE_HOME or HOME change.
void write(std::string_view subsystem, std::string_view category, Level level, std::string_view message);

// While a batch is alive, the records this thread writes to the store file
// are held and go out together, in one write, when the outermost batch of the
// thread ends (or when they reach 16 KiB, or a record goes to another store
// path). For a few records made in a row, such as a request's completion
// lines, that is one system call instead of one each. Records for an
// installed sink are not held. Hold a batch only around code that neither
// waits nor hands its results to someone who reads the store: its records
// are in the store only once it ends.
class Batch {
public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
};

}  // namespace platform::log
