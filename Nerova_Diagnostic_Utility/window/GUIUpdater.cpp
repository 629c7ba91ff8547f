#include "Nerova_Diagnostic_Utility/window/GUIUpdater.h"

#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

GUIUpdater::GUIUpdater() : StatusLogger(buildCollectionLog()) {
    // The platform gives every account this folder; here a fresh account has
    // none, and without it no line of the run would reach the log. A failure
    // shows up as the first "Failure updating log file" line.
    fs::createDirectory(fs::deletingLastPathComponent(collectionLogURL()), true);
}

std::string GUIUpdater::buildCollectionLog() {
    return fs::appendingPathComponent(platform::userLogsDirectory(), StatusLogger::defaultFileName);
}

void GUIUpdater::updateStatus(const std::string& line) {
    bool queueMirror = false;
    {
        std::lock_guard<std::mutex> report(reportMutex_);
        StatusLogger::updateStatus(line);
        queueMirror = copyNewTextForWindow();
    }
    if (!queueMirror) return;
    // One block takes all the lines that arrived before it runs, and blocks
    // come at most once a frame: a fast run then costs the window a redraw
    // per frame, not per line, and leaves the processor to the collection.
    std::weak_ptr<GUIUpdater> weakSelf = weak_from_this();
    auto block = [weakSelf] {
        if (auto self = weakSelf.lock()) self->mirrorIntoWindow();
    };
    const auto wait = nextMirrorDelay();
    auto main = platform::dispatch::DispatchQueue::main();
    if (wait.count() <= 0) {
        main->async(std::move(block));
    } else {
        main->after(platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW, wait.count()),
                    std::move(block));
    }
}

std::chrono::nanoseconds GUIUpdater::nextMirrorDelay() const {
    std::lock_guard<std::mutex> lock(windowTextMutex_);
    return lastMirror_ + kMirrorInterval - std::chrono::steady_clock::now();
}

bool GUIUpdater::copyNewTextForWindow() {
    const std::string& text = progressStatus();
    std::lock_guard<std::mutex> lock(windowTextMutex_);
    // The logger's text only grows while a run reports; comparing what is
    // already copied would make every line cost the whole text again.
    if (text.size() >= windowText_.size()) {
        windowText_.append(text, windowText_.size());
    } else {
        windowText_ = text;
        ++windowTextGeneration_;
    }
    if (mirrorPending_) return false;
    mirrorPending_ = true;
    return true;
}

GUIUpdater::WindowText GUIUpdater::windowTextSince(std::size_t offset, std::uint64_t generation) const {
    std::lock_guard<std::mutex> lock(windowTextMutex_);
    if (generation != windowTextGeneration_ || offset > windowText_.size()) offset = 0;
    return {windowText_.substr(offset), offset, windowTextGeneration_};
}

void GUIUpdater::mirrorIntoWindow() {
    {
        std::lock_guard<std::mutex> lock(windowTextMutex_);
        mirrorPending_ = false;
        lastMirror_ = std::chrono::steady_clock::now();
    }
    if (ZEPAppDelegate* delegate = ZEPApplication::delegate()) delegate->showCollectionLog(*this);
}
