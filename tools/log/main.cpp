// `log show`: prints the records of the unified-log store in the compact
// style. The store is hostile input: it is read only when it is a regular
// file, in fixed-size pieces, with a cap on the length of one record line, so
// memory stays bounded whatever the store holds. With --start, the scan
// begins near the first record of interest, found by binary search.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/CodeIntegrity.h"
#include "platform/fd/ScopedFD.h"
#include "platform/log/LogStore.h"
#include "tools/log/LogDate.h"

namespace {

namespace plog = platform::log;

constexpr std::string_view kHeader = "Timestamp               Ty Process[PID:TID]\n";
constexpr std::size_t kReadSize = 1 << 20;
// A 1 MiB message doubles at most when escaped; anything longer is no record
// of ours and is skipped rather than held.
constexpr std::size_t kMaxLine = 4u << 20;

// The store the log layer prefers, named in the help text.
constexpr const char* kSystemStore = "/var/log/nerova/unified.log";

constexpr int kStoreUnreadable = 1;
constexpr int kUsage = 64;

struct Options {
    std::optional<double> start;
    std::optional<double> end;
    std::string field;  // "subsystem" or "process", empty for no predicate
    std::string value;
    bool info = false;
};

constexpr const char* kUsageLine =
    "usage: log show [--info] [--signpost] [--source] [--no-pager] [--style compact] [--start date] [--end date] "
    "[--predicate \"subsystem == 'x'\" | \"process == 'x'\"]\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "log: %s\n%s", problem.c_str(), kUsageLine);
    return kUsage;
}

int help() {
    std::printf(
        "%s"
        "       log --help | log show --help\n"
        "\n"
        "Commands:\n"
        "  show              print the records of the unified-log store in the compact style, in the\n"
        "                    store's order, after the header line \"Timestamp               Ty Process[PID:TID]\"\n"
        "\n"
        "Options of show:\n"
        "  --start DATE      only records at or after DATE\n"
        "  --end DATE        only records before DATE (the range must not be empty)\n"
        "  --predicate TEXT  only the records of one subsystem or one process:\n"
        "                    \"subsystem == 'NAME'\" or \"process == 'NAME'\"\n"
        "  --info            include info records; debug records are never shown\n"
        "  --style compact   the one style there is\n"
        "  --signpost, --source, --no-pager\n"
        "                    accepted and without effect: the store holds no signposts or source\n"
        "                    locations, and the output never pages\n"
        "  --help, -h        this text\n"
        "\n"
        "Dates:\n"
        "  yyyy-MM-dd                   midnight, local time\n"
        "  yyyy-MM-dd HH:mm:ss          local time\n"
        "  yyyy-MM-dd HH:mm:ss+zzzz     at that offset from UTC, as the collection log prints it\n"
        "                               (\"2025-03-07 14:05:09 +0000\"; the blank before the offset may\n"
        "                               be left out, and the sign may be - as well)\n"
        "\n"
        "The store:\n"
        "  The file named by NRV_LOG_STORE when that is set; otherwise %s\n"
        "  when it can be written, else $XDG_STATE_HOME/nerova/unified.log, else\n"
        "  ~/.local/state/nerova/unified.log. Read now: %s\n"
        "\n"
        "Exit status: 0 when the records were printed, 1 when the store is missing or cannot be read,\n"
        "64 for a command line that is not understood or an empty range.\n",
        kUsageLine, kSystemStore, plog::defaultStorePath().c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}


bool parsePredicate(const std::string& text, Options& options) {
    static const std::regex pattern(R"(\s*(subsystem|process)\s*==\s*'([^']*)'\s*)");
    std::smatch m;
    if (!std::regex_match(text, m, pattern)) return false;
    options.field = m[1];
    options.value = m[2];
    return true;
}

std::string_view typeCode(plog::Level level) {
    switch (level) {
        case plog::Level::Default: return "Df";
        case plog::Level::Info: return "I ";
        case plog::Level::Debug: return "Db";
        case plog::Level::Error: return "E ";
        case plog::Level::Fault: return "F ";
    }
    return "  ";
}

bool selected(const plog::Record& record, const Options& options) {
    if (record.level == plog::Level::Debug) return false;
    if (record.level == plog::Level::Info && !options.info) return false;
    if (options.start && record.unixTime < *options.start) return false;
    if (options.end && record.unixTime >= *options.end) return false;
    if (options.field == "subsystem" && record.subsystem != options.value) return false;
    if (options.field == "process" && record.process != options.value) return false;
    return true;
}

void print(const plog::Record& record, std::string& out) {
    // The store keeps microseconds and the zone; the compact style shows
    // milliseconds, padded to the header's Timestamp column.
    std::string stamp = record.timestamp.substr(0, 23);
    stamp.resize(23, ' ');
    char ids[64];
    std::snprintf(ids, sizeof ids, "[%d:%llx]", record.pid, static_cast<unsigned long long>(record.threadID));
    out.append(stamp).append(" ").append(typeCode(record.level)).append(" ").append(record.process).append(ids);
    if (!record.subsystem.empty() || !record.category.empty())
        out.append(" [").append(record.subsystem).append(":").append(record.category).append("]");
    out.append(" ").append(record.message).append("\n");
}

bool flush(std::string& out) {
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return false;
    out.clear();
    return true;
}

// ---- finding the first record of interest --------------------------------
//
// The store is appended in time order: each writer stamps its record just
// before its single write, so records of concurrent writers are out of order
// by moments only. A day is therefore found by binary search over byte
// offsets instead of by reading everything before it. Order is checked, not
// trusted: the probes of the search and a spread of samples over the whole
// store must be in order (within kOrderSlack); where they are not (a clock
// set back, stores joined, a damaged store) the whole store is scanned.

constexpr double kOrderSlack = 600;                     // seconds
constexpr off_t kSearchGranule = 256 * 1024;            // stop halving below this
constexpr std::size_t kProbeRead = 64 * 1024;
constexpr std::size_t kMaxProbeRead = 2 * kMaxLine;     // a whole longest line fits
constexpr int kOrderSamples = 64;

// The time of the first whole record that starts at or after `offset`, or
// nullopt when none is found before the end or within kMaxProbeRead bytes.
std::optional<double> probeTime(int fd, off_t offset, off_t size) {
    std::string buffer;
    for (std::size_t want = kProbeRead;; want *= 2) {
        // Reading from one byte before tells whether `offset` is a line start.
        const off_t from = offset > 0 ? offset - 1 : 0;
        const std::size_t count = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(want), size - from));
        buffer.resize(count);
        std::size_t got = 0;
        while (got < count) {
            const ssize_t n = ::pread(fd, buffer.data() + got, count - got, from + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        buffer.resize(got);
        std::string_view rest(buffer);
        if (offset > 0) {
            const std::size_t feed = rest.find('\n');
            rest = feed == std::string_view::npos ? std::string_view() : rest.substr(feed + 1);
        }
        for (std::size_t feed; (feed = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(feed + 1))
            if (auto record = plog::parseLine(rest.substr(0, feed))) return record->unixTime;
        if (from + static_cast<off_t>(got) >= size || want >= kMaxProbeRead) return std::nullopt;
    }
}

// The offset to read from so that no record at or after `start` is missed;
// nullopt when the store is not in order (read everything).
std::optional<off_t> searchStart(int fd, off_t size, double start) {
    std::optional<double> last;
    for (int i = 0; i < kOrderSamples; ++i) {
        const auto t = probeTime(fd, size / kOrderSamples * i, size);
        if (!t) continue;
        if (last && *t < *last - kOrderSlack) return std::nullopt;
        last = t;
    }
    off_t low = 0, high = size;
    std::optional<double> lowTime, highTime;
    while (high - low > kSearchGranule) {
        const off_t middle = low + (high - low) / 2;
        const auto t = probeTime(fd, middle, size);
        if (!t) return std::nullopt;
        if ((lowTime && *t < *lowTime - kOrderSlack) || (highTime && *t > *highTime + kOrderSlack))
            return std::nullopt;
        if (*t < start - kOrderSlack) {
            low = middle;
            lowTime = t;
        } else {
            high = middle;
            highTime = t;
        }
    }
    return low;
}

int show(const Options& options) {
    std::string out(kHeader);
    const std::string path = plog::defaultStorePath();
    platform::ScopedFD fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        const int error = errno;
        // The header still comes first: to a reader of the output alone a
        // missing store looks like a range without records.
        flush(out);
        if (error == ENOENT)
            std::fprintf(stderr, "log: there is no log store at %s (NRV_LOG_STORE names another)\n",
                         path.empty() ? "(no home folder)" : path.c_str());
        else
            std::fprintf(stderr, "log: cannot open the log store %s: %s\n", path.c_str(), std::strerror(error));
        return kStoreUnreadable;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        flush(out);
        std::fprintf(stderr, "log: the log store %s is not a regular file\n", path.c_str());
        return kStoreUnreadable;
    }

    // Where to begin, and whether the scan may stop at the first record well
    // past the end of the range (only when the store was found in order).
    off_t begin = 0;
    bool ordered = false;
    if (options.start && info.st_size > kSearchGranule) {
        if (const auto found = searchStart(fd.get(), info.st_size, *options.start)) {
            begin = *found;
            ordered = true;
        }
    }
    if (begin > 0 && ::lseek(fd.get(), begin - 1, SEEK_SET) < 0) {
        flush(out);
        std::fprintf(stderr, "log: cannot read the log store: %s\n", std::strerror(errno));
        return 1;
    }
    // From one byte before `begin`, the partial line up to the first line
    // feed is skipped: a record starting exactly at `begin` is kept.
    bool skippingPartial = begin > 0;

    std::vector<char> buffer(kReadSize);
    std::string line;
    bool skipping = false;  // inside a line longer than kMaxLine
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            flush(out);
            std::fprintf(stderr, "log: cannot read the log store: %s\n", std::strerror(errno));
            return 1;
        }
        if (got == 0) break;  // a last line without its line feed is still being written: left out
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
        if (skippingPartial) {
            const std::size_t feed = chunk.find('\n');
            if (feed == std::string_view::npos) continue;
            chunk.remove_prefix(feed + 1);
            skippingPartial = false;
        }
        while (!chunk.empty()) {
            const std::size_t feed = chunk.find('\n');
            const std::string_view piece = chunk.substr(0, feed);
            if (!skipping) {
                if (line.size() + piece.size() > kMaxLine) {
                    skipping = true;
                    line.clear();
                } else {
                    line.append(piece);
                }
            }
            if (feed == std::string_view::npos) break;
            chunk.remove_prefix(feed + 1);
            if (!skipping) {
                if (auto record = plog::parseLine(line)) {
                    if (ordered && options.end && record->unixTime >= *options.end + kOrderSlack)
                        return flush(out) && std::fflush(stdout) == 0 ? 0 : 1;
                    if (selected(*record, options)) print(*record, out);
                }
            }
            skipping = false;
            line.clear();
            if (out.size() >= kReadSize && !flush(out)) return 1;
        }
    }
    return flush(out) && std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) return help();
    if (args.empty() || args[0] != "show") return usage("the only command is show");
    Options options;
    std::string startText, endText;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            return help();
        } else if (a == "--info") {
            options.info = true;
        } else if (a == "--signpost" || a == "--source" || a == "--no-pager") {
            // The store holds no signposts or source locations, and output never pages.
        } else if (a == "--style") {
            if (!hasValue || args[++i] != "compact") return usage("the only style is compact");
        } else if (a == "--start" || a == "--end") {
            if (!hasValue) return usage(a + " needs a date");
            const auto date = logtool::parseDate(args[++i]);
            if (!date) return usage("not a date: " + args[i]);
            (a == "--start" ? options.start : options.end) = date;
            (a == "--start" ? startText : endText) = args[i];
        } else if (a == "--predicate") {
            if (!hasValue || !parsePredicate(args[++i], options))
                return usage("the predicate is subsystem == '...' or process == '...'");
        } else {
            return usage("unknown option " + a);
        }
    }
    if (options.start && options.end && *options.start >= *options.end) {
        std::fprintf(stderr, "log: the range is empty: --start %s is not before --end %s\n", startText.c_str(),
                     endText.c_str());
        return kUsage;
    }
    return show(options);
}
