// The unified log: structured records appended to a store file that the
// `log` tool reads, or handed to a sink that tests install.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One record per line; tabs, line feeds and backslashes of the message are
// escaped so that a record never spans lines.
std::string renderLine(const Record& record);
std::optional<Record> parseLine(std::string_view line);

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// Appends to the store file with one write per record.
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
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

// The store file: NRV_LOG_STORE, else /var/log/nerova/unified.log when
// writable, else $XDG_STATE_HOME (or ~/.local/state)/nerova/unified.log.
std::string defaultStorePath();

// Installs a sink for the whole process; nullptr returns to the store file.
void setSink(std::shared_ptr<Sink> sink);

// Writes one record with the current time, process and thread.
void write(std::string_view subsystem, std::string_view category, Level level, std::string_view message);

}  // namespace platform::log
