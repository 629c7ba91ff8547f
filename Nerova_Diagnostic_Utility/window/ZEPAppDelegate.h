// The delegate of the window application: names the archive, plans the
// collection and shows the plan, runs the collection on Run, reports its end
// and removes the staging folder when the program ends.
//
// Threading: everything here runs on the main thread, the one that runs the
// window's event loop; the collection runs on the driver's queue, and every
// result it reports reaches the window through blocks queued on the main
// queue. Those blocks do nothing once the delegate is gone. The main thread
// never waits for the collection while the window is up; only
// applicationWillTerminate() waits, for the step that is running when the
// program ends, after ending its outside program.
#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "collector/CollectionLock.h"

class GUIUpdater;
class ZEP;

class ZEPAppDelegate final : public QObject {
public:
    ZEPAppDelegate();
    ~ZEPAppDelegate() override;

    void applicationDidFinishLaunching();
    void runButtonPressed();
    void quitButtonPressed();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void applicationWillTerminate();

    // Puts the collection log of `updater` into the text view and scrolls to
    // its end: appends what is new when the view already holds the log up to
    // there, else replaces the view's text with the whole log.
    void showCollectionLog(GUIUpdater& updater);

    const std::shared_ptr<GUIUpdater>& guiUpdater() const { return guiUpdater_; }
    ZEP* zep() const { return zep_.get(); }

    // Outlets, connected by the main interface.
    QWidget* window() const { return window_; }
    void setWindow(QWidget* window) { window_ = window; }
    QPlainTextEdit* contextTextView() const { return contextTextView_; }
    void setContextTextView(QPlainTextEdit* view) { contextTextView_ = view; }
    QPushButton* runButton() const { return runButton_; }
    void setRunButton(QPushButton* button) { runButton_ = button; }
    QPushButton* quitButton() const { return quitButton_; }
    void setQuitButton(QPushButton* button) { quitButton_ = button; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }
    void setProgressIndicator(QProgressBar* indicator) { progressIndicator_ = indicator; }

private:
    void showPlan(const std::string& collectionString);
    void showRunRefused(const std::string& line);
    void showRunStarted();
    void showRunFinished(const std::string& archiveName, const std::string& finalLocation, bool success);
    void setIndicatorAnimating(bool animating);
    // Queues `block` on the main queue; it runs only while this delegate lives.
    void onMainQueue(std::function<void()> block);

    std::shared_ptr<GUIUpdater> guiUpdater_;
    std::unique_ptr<ZEP> zep_;
    QPointer<QWidget> window_;
    QPointer<QPlainTextEdit> contextTextView_;
    QPointer<QPushButton> runButton_;
    QPointer<QPushButton> quitButton_;
    QPointer<QProgressBar> progressIndicator_;

    std::string collectionString_;  // the plan as shown
    bool runStarted_ = false;
    // Held from Run to the end of the run: one collection at a time per
    // temporary folder, whichever program runs it.
    std::optional<CollectionLock> collectionLock_;
    // What the text view holds of a collection log: whose, how many bytes and
    // of which generation of its text. Null while the view shows the plan.
    const GUIUpdater* viewShowsLogOf_ = nullptr;
    std::size_t shownLogBytes_ = 0;
    std::uint64_t shownLogGeneration_ = 0;
    // Blocks on the main queue hold this weakly: the delegate may be gone
    // before they run.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
