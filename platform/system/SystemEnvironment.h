// Facts about the user, the host and the well-known folders, and the
// file-system root under which the product's absolute paths are read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The root under which every absolute path of the product is resolved:
// "" for the real root, else NRV_SYSTEM_ROOT without a trailing slash.
std::string systemRoot();

// "/Library/x" -> systemRoot() + "/Library/x". A leading "~" expands to the
// user's home and is never put under the root. Relative paths stay as they are.
std::string resolveSystemPath(const std::string& path);

// The inverse of resolveSystemPath for paths under the root; others unchanged.
std::string unresolveSystemPath(const std::string& realPath);

// The folder of the interprocess rendezvous points (named services,
// notification sockets): NRV_RUNTIME_ROOT without a trailing slash when set,
// else "/run/nerova".
std::string runtimeRoot();

// "~" and "~/x" -> $HOME, "~user/x" -> that user's home; anything else unchanged.
std::string expandTilde(const std::string& path);

// The login name of the real user (never empty: falls back to the uid).
std::string userName();
// The same, or nullopt when the user database has no name for the real user.
std::optional<std::string> loginName();
std::string homeDirectory();
// The account name of a user id; nullopt when there is no such account.
std::optional<std::string> userNameForUserID(std::uint32_t uid);
// The user id of an account name; nullopt when there is no such account.
std::optional<std::uint32_t> userIDForUserName(const std::string& name);

// The host's name as the user sees it; nullopt when none can be read.
std::optional<std::string> localizedHostName();

// The operating system's name and version as far as it can be told,
// e.g. "Debian GNU/Linux 12 (bookworm)"; nullopt when unknown.
std::optional<std::string> operatingSystemVersionString();

// The per-user private temporary folder, always ending in "/": $TMPDIR when
// it is an absolute folder of this user that no group or other may write;
// else a folder "nerova-<uid>" inside $TMPDIR, else /tmp/nerova-<uid>/, else
// ~/.cache/nerova-tmp/ (each mode 0700, owner checked, made on first use).
// A relative $TMPDIR is ignored. "" when no private folder can be had.
std::string temporaryDirectory();

std::string desktopDirectory();
std::string userLogsDirectory();  // ~/Library/Logs
std::string currentDirectoryPath();

// The process arguments as given to main (set once by the entry point).
void setProcessArguments(int argc, char** argv);
const std::vector<std::string>& processArguments();

// The path of the running executable, and its folder (where the stand-in
// tools are installed).
std::string executablePath();
std::string executableDirectory();

int processIdentifier();
std::string processName();

}  // namespace platform
