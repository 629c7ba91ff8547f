// The status logger of the window: writes the collection log in the user's
// Library/Logs folder, as every status logger does, and mirrors the log into
// the window's text view.
//
// Threading: updateStatus() is called from the driver's queue during a run
// and from the main thread before and after it; calls are serialised here, so
// a stray report from either side never tears the text. The mirror into the
// view always runs on the main thread (the main queue, which the window maps
// onto its event loop). windowTextSince() may be called from any thread
// and never waits for a log write: the window reads a copy of the text that is
// kept apart from the logger's own, under a lock held only while bytes are
// copied.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "collector/StatusLogger.h"

class GUIUpdater final : public StatusLogger, public std::enable_shared_from_this<GUIUpdater> {
public:
    // The log file is "Nerova Diagnostic Utility.log" in the user's
    // Library/Logs folder; the folder is made when missing.
    GUIUpdater();

    static std::string buildCollectionLog();

    void updateStatus(const std::string& line) override;

    // A piece of the log text for the window: from byte `offset` to the end
    // when the text is still the one of `generation`, else the whole text
    // (start 0) of the current generation. A caller that holds the first
    // `offset` bytes appends when start == offset and replaces otherwise.
    struct WindowText {
        std::string text;
        std::size_t start = 0;
        std::uint64_t generation = 0;
    };
    WindowText windowTextSince(std::size_t offset, std::uint64_t generation) const;

private:
    // Copies what the logger's text gained since the last call into the
    // window's copy; true when a mirror block must be queued (none pending).
    bool copyNewTextForWindow();
    // How long a new mirror block waits so that blocks run at most once per
    // kMirrorInterval; zero or less for at once.
    std::chrono::nanoseconds nextMirrorDelay() const;
    void mirrorIntoWindow();

    std::mutex reportMutex_;  // one report at a time, from whichever thread
    mutable std::mutex windowTextMutex_;
    // Guarded by windowTextMutex_: the copy, bumped when the logger's text
    // was started anew, and whether a mirror block is queued and not yet run.
    std::string windowText_;
    std::uint64_t windowTextGeneration_ = 0;
    bool mirrorPending_ = false;
    std::chrono::steady_clock::time_point lastMirror_{};  // when the last block ran

    static constexpr std::chrono::milliseconds kMirrorInterval{30};
};
