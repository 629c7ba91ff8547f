#include "platform/log/LogStore.h"

#include "platform/fd/ScopedFD.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/time/LocalTime.h"
#include "platform/memory/NoDestructor.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/thread/Mutex.h"
#include "platform/thread/ThreadNumber.h"

namespace platform::log {

namespace {

constexpr std::array<std::string_view, 5> kLevelNames = {"Default", "Info", "Debug", "Error", "Fault"};
constexpr std::size_t kFieldCount = 9;
constexpr const char* kSystemStore = "/var/log/nerova/unified.log";

// ---- line format ----------------------------------------------------------

// The characters a field escapes, by byte: every field of every record
// passes through here, and most hold none of them.
constexpr std::array<bool, 256> kEscaped = [] {
    std::array<bool, 256> table{};
    table['\\'] = table['\t'] = table['\n'] = table['\r'] = true;
    return table;
}();

// Whether one of the eight bytes of `word` may be an escaped character: a
// backslash, or a byte below 0x0E (tab, line feed and carriage return among
// them; the others are rare and only cost the byte-wise look).
bool mayHoldEscaped(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    const std::uint64_t below = (word - kOnes * 0x0E) & ~word & kHighs;
    const std::uint64_t slash = word ^ (kOnes * '\\');
    return (below | ((slash - kOnes) & ~slash & kHighs)) != 0;
}

void appendEscaped(std::string& out, std::string_view field) {
    const char* run = field.data();
    const char* const end = run + field.size();
    for (const char* p = run; p != end; ++p) {
        // Eight bytes at a time past those that need nothing.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if (mayHoldEscaped(word)) break;
            p += 8;
        }
        if (p == end) break;
        if (!kEscaped[static_cast<unsigned char>(*p)]) continue;
        out.append(run, p);
        switch (*p) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            default: out += "\\r"; break;
        }
        run = p + 1;
    }
    out.append(run, end);
}

// `value` in `width` decimal digits, zero-padded; value < 10^width.
char* putDigits(char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

// An unknown escape keeps both characters: a reader of a damaged or foreign
// line should see the text rather than lose the record.
std::string unescaped(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    // Whole runs between escapes are copied at once: every record of a scan
    // passes through here, and most fields hold no escape at all.
    for (;;) {
        const std::size_t escape = field.find('\\');
        if (escape == std::string_view::npos || escape + 1 == field.size()) {
            out.append(field);
            return out;
        }
        out.append(field.substr(0, escape));
        switch (const char next = field[escape + 1]) {
            case '\\': out += '\\'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            default: out += '\\'; out += next;
        }
        field.remove_prefix(escape + 2);
    }
}

template <typename Int>
bool parseInt(std::string_view text, Int& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseDouble(std::string_view text, double& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// ---- the current record's context -----------------------------------------

const std::string& processName() {
    // Never destroyed: records may be written during exit.
    static const std::string* name =
        new std::string(program_invocation_short_name ? program_invocation_short_name : "");
    return *name;
}

// The current instant as a record carries it.
struct Stamp {
    char text[96];
    std::size_t size = 0;
    double unixTime = 0;
    std::string_view view() const { return {text, size}; }
};

// Formatted from integers only, so a locale set by a front end cannot turn
// the decimal point into a comma.
void stampNow(Stamp& stamp) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // Through the zone layer: records are written from every thread while
    // others format local dates.
    const platform::time::LocalTime local = platform::time::localTime(now.tv_sec).value_or(platform::time::LocalTime{});
    const int micros = static_cast<int>(now.tv_nsec / 1000);
    const int offsetMinutes = static_cast<int>(local.utcOffsetSeconds / 60);
    const int absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char* const buffer = stamp.text;
    if (local.year >= 0 && local.year <= 9999) {
        char* p = putDigits(buffer, static_cast<unsigned>(local.year), 4);
        *p++ = '-';
        p = putDigits(p, static_cast<unsigned>(local.month), 2);
        *p++ = '-';
        p = putDigits(p, static_cast<unsigned>(local.day), 2);
        *p++ = ' ';
        p = putDigits(p, static_cast<unsigned>(local.hour), 2);
        *p++ = ':';
        p = putDigits(p, static_cast<unsigned>(local.minute), 2);
        *p++ = ':';
        p = putDigits(p, static_cast<unsigned>(local.second), 2);
        *p++ = '.';
        p = putDigits(p, static_cast<unsigned>(micros), 6);
        *p++ = offsetMinutes < 0 ? '-' : '+';
        p = putDigits(p, static_cast<unsigned>(absOffset / 60 % 100), 2);
        p = putDigits(p, static_cast<unsigned>(absOffset % 60), 2);
        stamp.size = static_cast<std::size_t>(p - buffer);
    } else {
        const int n = std::snprintf(buffer, sizeof stamp.text, "%04lld-%02d-%02d %02d:%02d:%02d.%06d%c%02d%02d",
                                    static_cast<long long>(local.year), local.month, local.day, local.hour,
                                    local.minute, local.second, micros, offsetMinutes < 0 ? '-' : '+',
                                    absOffset / 60 % 100, absOffset % 60);
        stamp.size = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof stamp.text - 1);
    }
    stamp.unixTime = static_cast<double>(now.tv_sec) + static_cast<double>(micros) / 1e6;
}

// The fields of one record, as renderLine and the store write them.
struct Fields {
    std::string_view timestamp;
    double unixTime = 0;
    int pid = 0;
    std::uint64_t threadID = 0;
    std::string_view process, subsystem, category;
    Level level = Level::Default;
    std::string_view message;
};

void render(std::string& line, const Fields& record);

// ---- the store file -------------------------------------------------------

struct OpenStore {
    ScopedFD fd;
    dev_t device = 0;
    ino_t inode = 0;
};

// Non-blocking, so a FIFO or a device at the path can never stall a caller;
// only regular files and character devices (/dev/null, a terminal) are kept.
std::shared_ptr<OpenStore> openStore(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    ScopedFD fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (!fd) return nullptr;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISCHR(info.st_mode))) return nullptr;
    auto store = std::make_shared<OpenStore>();
    store->fd = std::move(fd);
    store->device = info.st_dev;
    store->inode = info.st_ino;
    return store;
}

// Descriptors stay open between records; a stat of the path tells whether the
// file was removed or replaced (rotation, a test's cleanup) since it was
// opened. A failed open is not retried for a second, so a store that cannot
// be written costs little per record.
class StoreCache {
public:
    std::shared_ptr<OpenStore> acquire(const std::string& path) {
        platform::MutexLock lock(mutex_);
        Entry& entry = entries_[path];
        if (entry.store) {
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && info.st_dev == entry.store->device &&
                info.st_ino == entry.store->inode)
                return entry.store;
            entry.store.reset();
        }
        const auto now = std::chrono::steady_clock::now();
        if (entry.failedAt && now - *entry.failedAt < std::chrono::seconds(1)) return nullptr;
        entry.store = openStore(path);
        if (entry.store)
            entry.failedAt.reset();
        else
            entry.failedAt = now;
        auto result = entry.store;
        if (entries_.size() > kMaxEntries) entries_.clear();  // in-flight writers hold their own reference
        return result;
    }

private:
    struct Entry {
        std::shared_ptr<OpenStore> store;
        std::optional<std::chrono::steady_clock::time_point> failedAt;
    };
    static constexpr std::size_t kMaxEntries = 16;
    platform::Mutex mutex_;
    std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

StoreCache& storeCache() {
    static platform::NoDestructor<StoreCache> cache;  // never destroyed: records may be written during exit
    return *cache;
}

// One write call per record is what keeps records of concurrent writers
// whole; a short write is not completed with a second call, which could land
// after another writer's record.
void appendLine(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    auto store = storeCache().acquire(path);
    if (!store) return;
    ssize_t written;
    do {
        written = ::write(store->fd.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
}

// The records a thread holds while a Batch of it is alive: all for one store
// path, written together when the outermost batch ends.
struct HeldRecords {
    int depth = 0;
    std::string path;
    std::string lines;
};

// A batch that grew this large is written at once: one write call stays a
// bounded amount of memory and of records.
constexpr std::size_t kMaxHeldBytes = 16 * 1024;

HeldRecords& heldRecords() {
    thread_local HeldRecords held;
    return held;
}

void writeHeld(HeldRecords& held) {
    if (held.lines.empty()) return;
    appendLine(held.path, held.lines);
    held.lines.clear();
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

bool systemStoreWritable() {
    if (::access(kSystemStore, W_OK) == 0) return true;
    if (errno != ENOENT) return false;
    if (::access("/var/log/nerova", W_OK | X_OK) == 0) return true;
    if (errno != ENOENT) return false;
    return ::access("/var/log", W_OK | X_OK) == 0;
}

// The default store path depends on three variables and on the file system;
// it is resolved again only when one of the variables changes. Comparing
// them costs no allocation: this runs for every record.
class DefaultStore {
public:
    std::shared_ptr<const std::string> path() {
        const char* store = std::getenv("NRV_LOG_STORE");
        platform::MutexLock lock(mutex_);
        // The other two count only for a path made from them: not for the
        // override, nor for the system store.
        if (path_ && same(store_, store) &&
            (!fromHome_ || (same(state_, std::getenv("XDG_STATE_HOME")) && same(home_, std::getenv("HOME"))))) {
            return path_;
        }
        store_ = setValue(store);
        state_ = setValue(std::getenv("XDG_STATE_HOME"));
        home_ = setValue(std::getenv("HOME"));
        path_ = std::make_shared<const std::string>(defaultStorePath());
        fromHome_ = !store_ && *path_ != kSystemStore;
        return path_;
    }

private:
    // An empty variable counts as unset, as environment() reads it.
    static std::optional<std::string> setValue(const char* value) {
        if (!value || !*value) return std::nullopt;
        return std::string(value);
    }
    static bool same(const std::optional<std::string>& known, const char* value) {
        if (!value || !*value) return !known;
        return known && *known == value;
    }

    platform::Mutex mutex_;
    std::optional<std::string> store_ GUARDED_BY(mutex_), state_ GUARDED_BY(mutex_), home_ GUARDED_BY(mutex_);
    std::shared_ptr<const std::string> path_ GUARDED_BY(mutex_);  // null until resolved
    bool fromHome_ GUARDED_BY(mutex_) = false;  // path_ was made from XDG_STATE_HOME or HOME
};

DefaultStore& defaultStore() {
    static platform::NoDestructor<DefaultStore> store;
    return *store;
}

struct SinkSlot {
    platform::Mutex mutex;
    std::shared_ptr<Sink> sink GUARDED_BY(mutex);
    // Mirrors sink != nullptr, so isEnabled takes no lock.
    std::atomic<bool> installed{false};
};

SinkSlot& sinkSlot() {
    static platform::NoDestructor<SinkSlot> slot;
    return *slot;
}

}  // namespace

std::string_view levelName(Level level) {
    const auto index = static_cast<std::size_t>(level);
    return index < kLevelNames.size() ? kLevelNames[index] : kLevelNames[0];
}

std::optional<Level> levelFromName(std::string_view name) {
    for (std::size_t i = 0; i < kLevelNames.size(); ++i)
        if (kLevelNames[i] == name) return static_cast<Level>(i);
    return std::nullopt;
}

namespace {

void render(std::string& line, const Fields& record) {
    // Seconds and microseconds as integers: exact, and independent of locale.
    const double rounded = record.unixTime * 1e6 + (record.unixTime < 0 ? -0.5 : 0.5);
    const long long totalMicros = static_cast<long long>(rounded);
    const long long seconds = totalMicros / 1000000;
    const long long micros = totalMicros % 1000000;
    char numbers[96];
    char* const time = numbers;
    char* p = time;
    if (totalMicros < 0 && seconds == 0) *p++ = '-';
    p = std::to_chars(p, time + 40, seconds).ptr;
    *p++ = '.';
    p = putDigits(p, static_cast<unsigned>(micros < 0 ? -micros : micros), 6);
    const std::string_view timeText(time, static_cast<std::size_t>(p - time));
    char* const pid = p;
    p = std::to_chars(p, pid + 16, record.pid).ptr;
    const std::string_view pidText(pid, static_cast<std::size_t>(p - pid));
    char* const tid = p;
    p = std::to_chars(p, tid + 24, record.threadID).ptr;
    const std::string_view tidText(tid, static_cast<std::size_t>(p - tid));

    line.reserve(line.size() + 96 + record.timestamp.size() + record.process.size() + record.subsystem.size() +
                 record.category.size() + record.message.size());
    appendEscaped(line, record.timestamp);
    line += '\t';
    line += timeText;
    line += '\t';
    line += pidText;
    line += '\t';
    line += tidText;
    line += '\t';
    appendEscaped(line, record.process);
    line += '\t';
    appendEscaped(line, record.subsystem);
    line += '\t';
    appendEscaped(line, record.category);
    line += '\t';
    line += levelName(record.level);
    line += '\t';
    appendEscaped(line, record.message);
}

Fields fieldsOf(const Record& record) {
    return Fields{record.timestamp, record.unixTime, record.pid,      record.threadID, record.process,
                  record.subsystem, record.category, record.level, record.message};
}

}  // namespace

std::string renderLine(const Record& record) {
    std::string line;
    render(line, fieldsOf(record));
    return line;
}

std::optional<Record> parseLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    std::array<std::string_view, kFieldCount> fields;
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        if (count == kFieldCount) return std::nullopt;
        fields[count++] = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (count != kFieldCount || line.find('\n') != std::string_view::npos) return std::nullopt;

    Record record;
    record.timestamp = unescaped(fields[0]);
    if (!parseDouble(fields[1], record.unixTime) || !parseInt(fields[2], record.pid) ||
        !parseInt(fields[3], record.threadID))
        return std::nullopt;
    record.process = unescaped(fields[4]);
    record.subsystem = unescaped(fields[5]);
    record.category = unescaped(fields[6]);
    auto level = levelFromName(fields[7]);
    if (!level) return std::nullopt;
    record.level = *level;
    record.message = unescaped(fields[8]);
    return record;
}

void StoreSink::write(const Record& record) {
    try {
        std::string line;
        render(line, fieldsOf(record));
        line += '\n';
        appendLine(path_, line);
    } catch (...) {
        // Out of memory while rendering: the record is dropped, the caller goes on.
    }
}

void CaptureSink::write(const Record& record) {
    platform::MutexLock lock(mutex_);
    records_.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
    platform::MutexLock lock(mutex_);
    return records_;
}

void CaptureSink::clear() {
    platform::MutexLock lock(mutex_);
    records_.clear();
}

std::string defaultStorePath() {
    if (auto override = environment("NRV_LOG_STORE")) return *override;
    if (systemStoreWritable()) return kSystemStore;
    if (auto state = environment("XDG_STATE_HOME"); state && state->front() == '/') return *state + "/nerova/unified.log";
    // homeDirectory() answers "/" when there is no home at all: no store then.
    if (const std::string home = platform::homeDirectory(); home != "/") return home + "/.local/state/nerova/unified.log";
    return {};
}

void setSink(std::shared_ptr<Sink> sink) {
    SinkSlot& slot = sinkSlot();
    platform::MutexLock lock(slot.mutex);
    slot.installed.store(sink != nullptr, std::memory_order_relaxed);
    slot.sink = std::move(sink);
}

bool isEnabled(Level level) {
    return level != Level::Debug || sinkSlot().installed.load(std::memory_order_relaxed);
}

void write(std::string_view subsystem, std::string_view category, Level level, std::string_view message) {
    try {
        std::shared_ptr<Sink> sink;
        {
            SinkSlot& slot = sinkSlot();
            platform::MutexLock lock(slot.mutex);
            sink = slot.sink;
        }
        if (!sink && level == Level::Debug) return;
        Stamp stamp;
        stampNow(stamp);
        const Fields fields{stamp.view(), stamp.unixTime, platform::processIdentifier(), platform::thread::currentThreadNumber(),
                            processName(), subsystem, category, level, message};
        if (sink) {
            Record record;
            record.timestamp = fields.timestamp;
            record.unixTime = fields.unixTime;
            record.pid = fields.pid;
            record.threadID = fields.threadID;
            record.process = fields.process;
            record.subsystem = subsystem;
            record.category = category;
            record.level = level;
            record.message = message;
            sink->write(record);
            return;
        }
        // Straight from the fields to the line: the store needs no record.
        const std::shared_ptr<const std::string> path = defaultStore().path();
        HeldRecords& held = heldRecords();
        if (held.depth == 0) {
            std::string line;
            render(line, fields);
            line += '\n';
            appendLine(*path, line);
            return;
        }
        if (held.path != *path) {
            writeHeld(held);
            held.path = *path;
        }
        // Made in place after the held ones; a record that takes the batch
        // past its bound waits while those before it are written.
        const std::size_t before = held.lines.size();
        try {
            render(held.lines, fields);
            held.lines += '\n';
        } catch (...) {
            held.lines.resize(before);
            throw;
        }
        if (before > 0 && held.lines.size() > kMaxHeldBytes) {
            std::string record = held.lines.substr(before);
            held.lines.resize(before);
            writeHeld(held);
            held.lines = std::move(record);
        }
    } catch (...) {
        // Logging must never take its caller down; a record that cannot be
        // made is dropped.
    }
}

Batch::Batch() { ++heldRecords().depth; }

Batch::~Batch() {
    HeldRecords& held = heldRecords();
    if (--held.depth > 0) return;
    try {
        writeHeld(held);
    } catch (...) {
        held.lines.clear();  // dropped, as a record that cannot be written is
    }
}

}  // namespace platform::log
