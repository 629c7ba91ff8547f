#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <chrono>
#include <variant>

#include "Nerova_Diagnostic_Utility/window/GUIUpdater.h"
#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"
#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"
#include "collector/ZEP.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

ZEPAppDelegate::ZEPAppDelegate() : guiUpdater_(std::make_shared<GUIUpdater>()) {}

// The driver's destructor waits for whatever it still has queued.
ZEPAppDelegate::~ZEPAppDelegate() = default;

void ZEPAppDelegate::applicationDidFinishLaunching() {
    const std::string archiveName = ZEPCommandLine::makeArchiveName(
        platform::localizedHostName(), platform::userName(), std::chrono::system_clock::now());
    const std::string stagingLocation = platform::temporaryDirectory() + archiveName;
    const std::string finalLocation = platform::desktopDirectory();
    // Without the folder the run can only fail at its end; saying why at once
    // puts the reason first in the log the user reads then.
    platform::Error error;
    if (!fs::createDirectory(finalLocation, true, &error))
        guiUpdater_->indicateFailure("Unable to create the Desktop folder at " + finalLocation + " -> " +
                                     error.description);

    zep_ = std::make_unique<ZEP>(guiUpdater_, stagingLocation, finalLocation, archiveName);
    if (runButton_) runButton_->setEnabled(false);
    zep_->processOperationsFile();
    zep_->prepareAsync([this, alive = std::weak_ptr<int>(alive_)](const std::string& collectionString) {
        platform::dispatch::DispatchQueue::main()->async([this, alive, collectionString] {
            if (alive.lock()) showPlan(collectionString);
        });
    });
}

void ZEPAppDelegate::showPlan(const std::string& collectionString) {
    collectionString_ = collectionString;
    if (contextTextView_) contextTextView_->setPlainText(QString::fromStdString(collectionString));
    viewShowsLogOf_ = nullptr;
    if (runButton_ && !runStarted_) runButton_->setEnabled(true);
}

void ZEPAppDelegate::runButtonPressed() {
    // One collection per launch. The button is disabled here and not only in
    // the queued block below: a second press that came before the block ran
    // would otherwise queue a second collection behind the first.
    if (!zep_ || runStarted_) return;
    // Another collection using the same temporary folder would share the
    // staging folder and clear it under this one.
    auto lock = CollectionLock::acquire(platform::temporaryDirectory());
    if (const auto* refusal = std::get_if<CollectionLockError>(&lock)) {
        showRunRefused(refusal->message());
        return;
    }
    collectionLock_.emplace(std::move(std::get<CollectionLock>(lock)));
    runStarted_ = true;
    if (runButton_) runButton_->setEnabled(false);
    onMainQueue([this] { showRunStarted(); });
    zep_->runAsync([this, alive = std::weak_ptr<int>(alive_)](const std::string& archiveName,
                                                              const std::string& finalLocation, bool success) {
        platform::dispatch::DispatchQueue::main()->async([this, alive, archiveName, finalLocation, success] {
            if (alive.lock()) showRunFinished(archiveName, finalLocation, success);
        });
    });
}

// The line goes under the plan and not into the collection log: the log file
// may belong to the collection that is running. Run stays enabled, so the
// user can try again once that collection has ended.
void ZEPAppDelegate::showRunRefused(const std::string& line) {
    if (!contextTextView_) return;
    contextTextView_->setPlainText(QString::fromStdString(collectionString_ + "\n" + line + "\n"));
    viewShowsLogOf_ = nullptr;
    QScrollBar* bar = contextTextView_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ZEPAppDelegate::showRunStarted() {
    if (runButton_) runButton_->setEnabled(false);
    if (quitButton_) quitButton_->setEnabled(false);
    setIndicatorAnimating(true);
}

void ZEPAppDelegate::showRunFinished(const std::string& archiveName, const std::string& finalLocation, bool success) {
    if (success) {
        guiUpdater_->updateStatus("\n" + archiveName + ".zip archive created on " +
                                  fs::lastPathComponent(finalLocation));
    } else {
        const std::string archivePath = fs::appendingPathComponent(finalLocation, archiveName + ".zip");
        guiUpdater_->indicateFailure("Failed to create zip file at " + archivePath +
                                     ". See collection log for details.");
    }
    if (runButton_) runButton_->setEnabled(false);
    if (quitButton_) quitButton_->setEnabled(true);
    setIndicatorAnimating(false);
    // The driver has cleared the staging folder; the last line is written.
    collectionLock_.reset();
}

void ZEPAppDelegate::quitButtonPressed() { ZEPApplication::terminate(); }

void ZEPAppDelegate::applicationWillTerminate() {
    // Without the lock this program has nothing in the staging folder: it
    // never ran, or its run has ended and cleared it. A folder of the same
    // name may then belong to a collection started in the same second.
    if (!zep_ || !collectionLock_) return;
    // Clearing the staging folder while the run goes on would not end it: the
    // next steps would fill the folder again, and the running command or zip
    // would outlive the program. So the run is stopped first.
    zep_->stopCollection();
    zep_->clearStagingArea();
    collectionLock_.reset();
}

void ZEPAppDelegate::showCollectionLog(GUIUpdater& updater) {
    QPlainTextEdit* view = contextTextView_;
    if (!view) return;
    // Setting the whole text for every line would redraw the log so far each
    // time; a long run would then stall the window for minutes.
    const bool continuing = viewShowsLogOf_ == &updater;
    GUIUpdater::WindowText piece = updater.windowTextSince(continuing ? shownLogBytes_ : 0, shownLogGeneration_);
    if (continuing && piece.start == shownLogBytes_) {
        if (!piece.text.empty()) {
            QTextCursor end(view->document());
            end.movePosition(QTextCursor::End);
            end.insertText(QString::fromStdString(piece.text));
        }
    } else {
        view->setPlainText(QString::fromStdString(piece.text));
    }
    viewShowsLogOf_ = &updater;
    shownLogBytes_ = piece.start + piece.text.size();
    shownLogGeneration_ = piece.generation;
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ZEPAppDelegate::setIndicatorAnimating(bool animating) {
    if (!progressIndicator_) return;
    // An empty range makes the bar busy (indeterminate); a range of one step
    // at zero shows it stopped and empty.
    progressIndicator_->setRange(0, animating ? 0 : 1);
    progressIndicator_->setValue(0);
}

void ZEPAppDelegate::onMainQueue(std::function<void()> block) {
    platform::dispatch::DispatchQueue::main()->async([alive = std::weak_ptr<int>(alive_), block = std::move(block)] {
        if (alive.lock()) block();
    });
}
