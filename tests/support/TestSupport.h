// Small helpers shared by the test programs.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

void writeText(const std::string& path, const std::string& text);  // makes parent folders
std::string readText(const std::string& path);                      // "" when unreadable
bool exists(const std::string& path);

struct ProgramResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs a program with extra environment variables ("" as a value unsets it)
// and an optional working folder; standard input is the null device.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         const std::optional<std::string>& workingDirectory = std::nullopt);

// Runs `body` in a child process that, when the tests run as root, first
// becomes the unprivileged user "nobody", so that permission bits count.
// Returns what the body returned, or "<child failed>".
std::string asUnprivilegedUser(const std::function<std::string()>& body);
// The same for a program: like runProgram, but the child drops root first
// (after changing into the working folder).
ProgramResult runProgramAsUnprivilegedUser(const std::vector<std::string>& argv,
                                           const std::map<std::string, std::string>& env,
                                           const std::string& workingDirectory);

// When the tests run as root: why the unprivileged user cannot run the
// program (a build folder inside a private folder, say), so that a test can
// skip with that reason instead of failing with status 127; nullopt when it
// can, and always when the tests do not run as root.
std::optional<std::string> unprivilegedUserCannotRun(const std::string& program);

// Splits text into lines (without the line feeds).
std::vector<std::string> lines(const std::string& text);

// The names in a folder (not below it), sorted.
std::vector<std::string> folderEntries(const std::string& folder);

// The sample product tree the collection tests run on, and a private copy of
// it at `destination` (links copied as links), for a test that adds to it.
std::string sampleRoot();
void copySampleTree(const std::string& destination);

// The folders of the test's own that a collection program runs with.
struct CollectionFolders {
    std::string systemRoot;
    std::string home;
    std::string temporary;
    std::string logStore;
};
// Runs a collection program with `arguments` in those folders, in UTC.
ProgramResult runCollectionProgram(const std::string& program, const std::vector<std::string>& arguments,
                                   const CollectionFolders& folders);

// A zip archive read back with unzip: its members in the archive's order,
// one member's content, and one gzip-compressed member's content expanded.
std::vector<std::string> archiveMembers(const std::string& zip);
std::string archiveMemberText(const std::string& zip, const std::string& member);
std::string gunzippedArchiveMemberText(const std::string& zip, const std::string& member);

// Sets an environment variable for the life of the object and restores it.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace testsupport
