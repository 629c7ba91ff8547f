#include "platform/proxy/ProxySettings.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/fd/DescriptorWatcher.h"
#include "platform/fd/ScopedFD.h"
#include "platform/fs/FileManager.h"
#include "platform/net/URLAuthority.h"
#include "platform/plist/PropertyList.h"
#include "platform/system/SystemEnvironment.h"

namespace platform::proxy {

namespace {

constexpr const char* kFolderName = "network";
constexpr const char* kFileName = "proxy.plist";
constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxTextLength = 1024;

bool printable(std::string_view s) {
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

bool validHost(std::string_view host) {
    return !host.empty() && host.size() <= kMaxHostLength && printable(host) &&
           host.find_first_of("/@?#") == std::string_view::npos;
}

std::optional<std::int64_t> integer(const NRVValue* v) {
    if (!v) return std::nullopt;
    if (const auto* i = v->asInteger()) return *i;
    if (const auto* b = v->asBool()) return *b ? 1 : 0;
    return std::nullopt;
}

void appendProblem(std::string& problem, const std::string& text) {
    if (!problem.empty()) problem += "; ";
    problem += text;
}

// One protocol's enable, host, port, user and password: all taken or none.
void copyProxy(const NRVDictionary& in, NRVDictionary& out, const char* enableKey, const char* hostKey,
               const char* portKey, const char* userKey, const char* passwordKey, std::string& problem) {
    auto enable = integer(in.find(enableKey));
    if (!enable || *enable == 0) return;
    const NRVValue* host = in.find(hostKey);
    auto port = integer(in.find(portKey));
    if (!host || !host->asString() || !validHost(*host->asString())) {
        appendProblem(problem, std::string(hostKey) + " is not a host name");
        return;
    }
    if (!port || *port < 1 || *port > 65535) {
        appendProblem(problem, std::string(portKey) + " is not a port number");
        return;
    }
    out.set(enableKey, 1);
    out.set(hostKey, *host->asString());
    out.set(portKey, static_cast<long long>(*port));
    for (const char* key : {userKey, passwordKey}) {
        const NRVValue* v = in.find(key);
        if (v && v->asString() && v->asString()->size() <= kMaxTextLength) out.set(key, *v->asString());
    }
}

NRVArray exceptions(const NRVValue* list, std::string& problem) {
    NRVArray out;
    if (!list) return out;
    const NRVArray* items = list->asArray();
    if (!items) {
        appendProblem(problem, std::string(keys::kExceptionsList) + " is not a list");
        return out;
    }
    for (const auto& item : *items) {
        if (out.size() == kMaxExceptions) {
            appendProblem(problem, std::string(keys::kExceptionsList) + " is cut to its first " +
                                       std::to_string(kMaxExceptions) + " entries");
            break;
        }
        const std::string* s = item.asString();
        if (s && !s->empty() && s->size() <= kMaxHostLength && printable(*s)) out.emplace_back(*s);
    }
    return out;
}

std::string percentDecoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit((unsigned char)s[i + 1]) &&
            std::isxdigit((unsigned char)s[i + 2])) {
            out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct ProxyURL {
    std::string host;
    std::int64_t port = 0;
    std::optional<std::string> user, password;
};

// "[http://|https://][user[:password]@]host[:port][/]"; nullopt for another
// scheme or a malformed value.
std::optional<ProxyURL> parseProxyURL(std::string_view text) {
    if (text.size() > kMaxTextLength) return std::nullopt;
    ProxyURL out;
    out.port = 80;
    if (auto p = text.find("://"); p != std::string_view::npos) {
        std::string scheme(text.substr(0, p));
        for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (scheme == "https")
            out.port = 443;
        else if (scheme != "http")
            return std::nullopt;
        text.remove_prefix(p + 3);
    }
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        if (text.find_first_not_of('/', slash) != std::string_view::npos) return std::nullopt;
        text = text.substr(0, slash);
    }
    auto parts = platform::net::URLAuthority::parse(text);
    if (!parts) return std::nullopt;
    if (parts->user) out.user = percentDecoded(*parts->user);
    if (parts->password) out.password = percentDecoded(*parts->password);
    out.host = std::string(parts->host);
    if (!validHost(out.host)) return std::nullopt;
    if (parts->port) {
        if (*parts->port < 1) return std::nullopt;
        out.port = *parts->port;
    }
    return out;
}

}  // namespace

std::string settingsFilePath() { return runtimeRoot() + "/" + kFolderName + "/" + kFileName; }

Settings settingsFromFileContents(const std::string& bytes) {
    Settings s;
    s.source = Source::kFile;
    std::optional<NRVValue> root = plist::readData(bytes);
    const NRVDictionary* in = root ? root->asDictionary() : nullptr;
    if (!in) {
        s.problem = root ? "the settings file holds no dictionary" : "the settings file is not a property list";
        return s;
    }
    copyProxy(*in, s.dictionary, keys::kHTTPEnable, keys::kHTTPProxy, keys::kHTTPPort, keys::kHTTPUser,
              keys::kHTTPPassword, s.problem);
    copyProxy(*in, s.dictionary, keys::kHTTPSEnable, keys::kHTTPSProxy, keys::kHTTPSPort, keys::kHTTPSUser,
              keys::kHTTPSPassword, s.problem);
    NRVArray list = exceptions(in->find(keys::kExceptionsList), s.problem);
    if (!list.empty()) s.dictionary.set(keys::kExceptionsList, std::move(list));
    return s;
}

Settings settingsFromEnvironment(const char* httpProxy, const char* httpsProxy, const char* noProxy) {
    Settings s;
    s.source = Source::kEnvironment;
    struct Row {
        const char* value;
        const char* name;
        const char *enableKey, *hostKey, *portKey, *userKey, *passwordKey;
    };
    const Row rows[] = {
        {httpProxy, "http_proxy", keys::kHTTPEnable, keys::kHTTPProxy, keys::kHTTPPort, keys::kHTTPUser,
         keys::kHTTPPassword},
        {httpsProxy, "https_proxy", keys::kHTTPSEnable, keys::kHTTPSProxy, keys::kHTTPSPort, keys::kHTTPSUser,
         keys::kHTTPSPassword},
    };
    for (const auto& row : rows) {
        if (!row.value || !*row.value) continue;
        std::optional<ProxyURL> url = parseProxyURL(row.value);
        if (!url) {
            appendProblem(s.problem, std::string(row.name) + " is not an HTTP proxy address");
            continue;
        }
        s.dictionary.set(row.enableKey, 1);
        s.dictionary.set(row.hostKey, url->host);
        s.dictionary.set(row.portKey, static_cast<long long>(url->port));
        if (url->user) s.dictionary.set(row.userKey, *url->user);
        if (url->password) s.dictionary.set(row.passwordKey, *url->password);
    }
    if (noProxy && *noProxy) {
        NRVArray list;
        std::string_view rest(noProxy);
        while (!rest.empty()) {
            auto comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) item.remove_prefix(1);
            while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back()))) item.remove_suffix(1);
            if (item.empty() || item.size() > kMaxHostLength || !printable(item)) continue;
            if (list.size() == kMaxExceptions) break;
            list.emplace_back(std::string(item));
        }
        if (!list.empty()) s.dictionary.set(keys::kExceptionsList, std::move(list));
    }
    return s;
}

Settings currentSettings() {
    platform::Error error;
    std::optional<std::string> bytes = fs::readFile(settingsFilePath(), &error, kMaxSettingsFileSize);
    if (bytes) return settingsFromFileContents(*bytes);
    if (error.code != ENOENT && error.code != ENOTDIR) {
        Settings s;
        s.source = Source::kFile;
        s.problem = error.description.empty() ? "the settings file cannot be read" : error.description;
        return s;
    }
    return settingsFromEnvironment(std::getenv("http_proxy"), std::getenv("https_proxy"), std::getenv("no_proxy"));
}

namespace {

class InotifySettingsWatcher final : public SettingsWatcher {
public:
    InotifySettingsWatcher(ScopedFD inotify, std::unique_ptr<DescriptorWatcher> watcher, std::string root,
                           std::function<void()> onChange)
        : inotify_(std::move(inotify)), watcher_(std::move(watcher)), root_(std::move(root)),
          onChange_(std::move(onChange)) {}

    bool start(platform::Error* error) {
        rootWatch_ = inotify_add_watch(inotify_.get(), root_.c_str(),
                                       IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR);
        if (rootWatch_ < 0) {
            const int code = errno;
            if (error) *error = platform::Error{"inotify_add_watch", code, root_ + ": " + std::strerror(code)};
            return false;
        }
        watchFolder();
        watcher_->add(inotify_.get(), [this] { return readEvents(); });
        return true;
    }

    ~InotifySettingsWatcher() override { cancel(); }

    // From the callback the watcher's thread ends once the callback returns.
    void cancel() override { watcher_->stop(); }

private:
    void watchFolder() {
        std::string folder = root_ + "/" + kFolderName;
        folderWatch_ = inotify_add_watch(inotify_.get(), folder.c_str(),
                                         IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                             IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW);
    }

    // On the watcher's thread. false once the events cannot be read any more.
    bool readEvents() {
        alignas(inotify_event) char buffer[8192];
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
        bool changed = false;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buffer + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (off > n) break;
            std::string_view name = ev->len ? std::string_view(ev->name) : std::string_view();
            if (ev->wd == rootWatch_) {
                if (name == kFolderName) {
                    if (folderWatch_ >= 0) inotify_rm_watch(inotify_.get(), folderWatch_);
                    folderWatch_ = -1;
                    watchFolder();
                    changed = true;
                }
            } else if (ev->wd == folderWatch_) {
                if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    changed = true;
                    if (ev->mask & IN_IGNORED) folderWatch_ = -1;
                } else if (name == kFileName) {
                    changed = true;
                }
            }
        }
        if (changed) onChange_();
        return true;
    }

    ScopedFD inotify_;
    std::unique_ptr<DescriptorWatcher> watcher_;
    std::string root_;
    std::function<void()> onChange_;
    int rootWatch_ = -1;
    int folderWatch_ = -1;
};

}  // namespace

std::unique_ptr<SettingsWatcher> SettingsWatcher::create(std::function<void()> onChange, platform::Error* error) {
    ScopedFD inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) {
        const int code = errno;
        if (error) *error = platform::Error{"inotify_init1", code, std::strerror(code)};
        return nullptr;
    }
    auto descriptors = DescriptorWatcher::create(error);
    if (!descriptors) return nullptr;
    auto watcher = std::make_unique<InotifySettingsWatcher>(std::move(inotify), std::move(descriptors), runtimeRoot(),
                                                            std::move(onChange));
    if (!watcher->start(error)) return nullptr;
    return watcher;
}

}  // namespace platform::proxy
