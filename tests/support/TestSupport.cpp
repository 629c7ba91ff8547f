#include "support/TestSupport.h"

#include "platform/process/CodeIntegrity.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {
// Test programs are signed peers of the services they start and talk to:
// they mark themselves as every signed program does, before main.
const bool kNotDumpable = (platform::process::markNotDumpable(), true);
}  // namespace

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "nrvtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests make folders unreadable on purpose; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) fs::remove_all(path_, ec);
}

void writeText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

namespace {
void drain(int fd, std::string* into) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) into->append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    close(fd);
}
}  // namespace

namespace {

constexpr uid_t kNobody = 65534;

bool dropRoot() {
    if (geteuid() != 0) return true;
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

ProgramResult spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::optional<std::string>& workingDirectory, bool unprivileged);

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::optional<std::string>& workingDirectory) {
    return spawn(argv, env, workingDirectory, false);
}

ProgramResult runProgramAsUnprivilegedUser(const std::vector<std::string>& argv,
                                           const std::map<std::string, std::string>& env,
                                           const std::string& workingDirectory) {
    return spawn(argv, env, workingDirectory, true);
}

std::string asUnprivilegedUser(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "<child failed>";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!dropRoot()) _exit(125);
        const std::string result = body();
        ssize_t ignored = write(fds[1], result.data(), result.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    drain(fds[0], &out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
    return out;
}

std::optional<std::string> unprivilegedUserCannotRun(const std::string& program) {
    if (geteuid() != 0) return std::nullopt;
    const std::string outcome = asUnprivilegedUser([&] { return access(program.c_str(), X_OK) == 0 ? "yes" : "no"; });
    if (outcome == "yes") return std::nullopt;
    return "the unprivileged user (uid " + std::to_string(kNobody) + ") cannot run " + program +
           "; a folder above it is closed to other users, so the permission test is skipped";
}

namespace {

ProgramResult spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::optional<std::string>& workingDirectory, bool unprivileged) {
    // Everything the child needs is built here: between fork and exec the
    // child of this threaded process may not allocate (another thread may
    // have held the allocator's lock at the fork, and the child would wait
    // for it forever).
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (!env.count(entry.substr(0, entry.find('=')))) environment.push_back(std::move(entry));
    }
    for (const auto& [k, v] : env)
        if (!v.empty()) environment.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Close-on-exec, so that a program started at the same time by another
    // thread does not keep them open after this one has ended.
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (workingDirectory && chdir(workingDirectory->c_str()) != 0) _exit(126);
        if (unprivileged && !dropRoot()) _exit(125);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProgramResult result;
    std::thread errThread(drain, errPipe[0], &result.err);
    drain(outPipe[0], &result.out);
    errThread.join();
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string sampleRoot() { return std::string(NRV_FIXTURES_DIR) + "/sample-root"; }

void copySampleTree(const std::string& destination) {
    fs::copy(sampleRoot(), destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

ProgramResult runCollectionProgram(const std::string& program, const std::vector<std::string>& arguments,
                                   const CollectionFolders& folders) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, {{"NRV_SYSTEM_ROOT", folders.systemRoot},
                             {"HOME", folders.home},
                             {"TMPDIR", folders.temporary},
                             {"NRV_LOG_STORE", folders.logStore},
                             {"TZ", "UTC"}});
}

std::vector<std::string> archiveMembers(const std::string& zip) {
    return lines(runProgram({"/usr/bin/unzip", "-Z1", zip}).out);
}

std::string archiveMemberText(const std::string& zip, const std::string& member) {
    return runProgram({"/usr/bin/unzip", "-p", zip, member}).out;
}

std::string gunzippedArchiveMemberText(const std::string& zip, const std::string& member) {
    // The names go to the shell as operands, never as part of the script.
    return runProgram({"/bin/sh", "-c", "unzip -p \"$0\" \"$1\" | gzip -dc", zip, member}).out;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) setenv(name_.c_str(), value->c_str(), 1);
    else unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
}

}  // namespace testsupport
