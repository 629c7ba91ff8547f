// Running outside programs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error/Error.h"
#include "platform/fd/ScopedFD.h"

namespace platform {

// An open file descriptor for a child's standard stream.
class FileHandle {
public:
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    static std::shared_ptr<FileHandle> nullDevice();
    // Opens an existing regular file for writing at its start, never through a
    // link; nullptr and the error on failure.
    static std::shared_ptr<FileHandle> forWritingAtPath(const std::string& path, platform::Error* error = nullptr);
    int descriptor() const { return fd_.get(); }

private:
    explicit FileHandle(ScopedFD fd) : fd_(std::move(fd)) {}
    ScopedFD fd_;
};

class Task {
public:
    enum class TerminationReason { Exit, UncaughtSignal };
    struct Stream {
        enum class Kind { Inherit, Handle, Pipe };
        Kind kind = Kind::Inherit;
        std::shared_ptr<FileHandle> handle;
        static Stream inherit() { return {}; }
        static Stream to(std::shared_ptr<FileHandle> h) { return {Kind::Handle, std::move(h)}; }
        static Stream nullDevice() { return to(FileHandle::nullDevice()); }
        static Stream pipe() { return {Kind::Pipe, nullptr}; }
    };

    std::string launchPath;
    std::vector<std::string> arguments;
    std::optional<std::string> currentDirectory;
    Stream standardInput = Stream::inherit();
    Stream standardOutput = Stream::inherit();
    Stream standardError = Stream::inherit();
    // When set, each chunk read from a piped stream goes to the handler
    // instead of being kept, so a talkative program costs no memory. The two
    // handlers run on two drain threads of their own; the last call has
    // returned when waitUntilExit() returns.
    std::function<void(std::string_view chunk)> standardOutputHandler;
    std::function<void(std::string_view chunk)> standardErrorHandler;
    // With a limit, a handle given as standard output is fed through a pipe,
    // and once the program has written more than this its whole process
    // group is ended: outputLimitReached() then answers true and the handle
    // holds exactly the first `limit` bytes.
    std::optional<std::uint64_t> standardOutputLimit;
    // When set, whatever is left of the program's process group once the
    // program itself has ended is killed too, so that a helper it left behind
    // cannot hold the pipes open and keep waitUntilExit() waiting.
    bool endsProcessGroupAtExit = false;

    Task();
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Starts the program in a process group of its own (ended, too, when the
    // program is interrupted by a termination signal); false and the error on failure.
    bool launch(platform::Error* error = nullptr);
    // Waits for the end. With a limit, a program that outlives it has its whole
    // process group ended (TERM, then KILL) and timedOut() answers true.
    void waitUntilExit(std::optional<std::chrono::milliseconds> limit = std::nullopt);
    bool isRunning() const;
    void terminate();

    int processIdentifier() const { return pid_; }
    // Exit status, or the signal number when reason is UncaughtSignal.
    int terminationStatus() const { return status_; }
    TerminationReason terminationReason() const { return reason_; }
    bool timedOut() const { return timedOut_; }
    bool outputLimitReached() const { return outputLimitReached_.load(); }
    // What the program wrote to piped streams (drained while it runs).
    const std::string& standardOutputData() const { return outData_; }
    const std::string& standardErrorData() const { return errData_; }

private:
    struct Drain;
    int pid_ = -1;
    int status_ = 0;
    TerminationReason reason_ = TerminationReason::Exit;
    bool exited_ = false;
    bool timedOut_ = false;
    std::atomic<bool> outputLimitReached_{false};
    std::uint64_t terminationToken_ = 0;
    std::string outData_, errData_;
    std::unique_ptr<Drain> drain_;
};

}  // namespace platform
