// The window program's delegate, window and application object, offscreen,
// run once from launch to the end of a collection: presses Run as soon as
// the plan is shown and quits when the run has finished. Measures the
// longest time the GUI thread did not get to run its timer during the run,
// and checks that the text view ends equal to the collection log.
//
// Usage: window_bench [--screenshot FILE.png]
// The environment chooses the product tree (NRV_SYSTEM_ROOT), the Desktop
// (XDG_DESKTOP_DIR or ~/Desktop) and the log folder (~/Library/Logs).
// Prints key=value lines; exit status 0 when the archive was made and the view
// equals the log, 1 otherwise.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "Nerova_Diagnostic_Utility/window/GUIUpdater.h"
#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"
#include "collector/ZEP.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// Times every event the GUI thread handles: the longest one is the longest
// stretch the thread spent in one piece of work (a mirror block, a redraw).
class TimedApplication final : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        QElapsedTimer timer;
        timer.start();
        const qint64 cpuBefore = threadCpuNs();
        const int type = event->type();
        const bool handled = QApplication::notify(receiver, event);
        const qint64 ns = timer.nsecsElapsed();
        if (measuring && ns > longestNs) {
            longestNs = ns;
            longestCpuNs = threadCpuNs() - cpuBefore;
            longestType = type;
        }
        return handled;
    }
    bool measuring = false;
    qint64 longestNs = 0;
    qint64 longestCpuNs = 0;  // of that event: tells work from waiting for a processor
    int longestType = 0;

    static qint64 threadCpuNs() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
};

// A timer that should fire every kTick: the longest gap between two firings,
// less the tick, is the longest stretch in which the GUI thread ran nothing else.
constexpr int kTickMs = 2;

}  // namespace

int main(int argc, char** argv) {
    std::string screenshot;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--screenshot" && i + 1 < argc) screenshot = argv[++i];
    }

    TimedApplication qtApplication(argc, argv);
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);

    enum class Phase { waitingForPlan, running, settling, done } phase = Phase::waitingForPlan;
    QElapsedTimer sincePlan, sinceTick, sinceRun, sinceFinish;
    qint64 longestGapMs = 0;
    qint64 runMs = 0;
    qint64 guiCpuAtRun = 0;
    bool succeeded = false;

    auto report = [&](const std::string& view, const std::string& log) {
        const ZEP& zep = *delegate.zep();
        const bool archiveMade = fileExists(zep.finalLocation() + "/" + zep.archiveName() + ".zip");
        std::size_t lines = 0;
        for (char c : log) lines += c == '\n';
        succeeded = archiveMade && view == log;
        std::printf("log_lines=%zu\nrun_ms=%lld\nlongest_gui_stall_ms=%lld\nlongest_event_ms=%.1f (cpu %.1f ms, event type %d)\n"
                    "gui_thread_cpu_ms=%lld\narchive_made=%s\nview_equals_log=%s\n",
                    lines, static_cast<long long>(runMs),
                    static_cast<long long>(std::max<qint64>(0, longestGapMs - kTickMs)),
                    static_cast<double>(qtApplication.longestNs) / 1e6,
                    static_cast<double>(qtApplication.longestCpuNs) / 1e6, qtApplication.longestType,
                    static_cast<long long>((TimedApplication::threadCpuNs() - guiCpuAtRun) / 1000000),
                    archiveMade ? "yes" : "no", view == log ? "yes" : "no");
        if (!screenshot.empty()) {
            // Rendered afresh from the widgets: a grab of the screen can catch
            // a redraw half done.
            const QPixmap shot = delegate.window()->grab();
            std::printf("screenshot=%s\n", shot.save(QString::fromStdString(screenshot)) ? "saved" : "failed");
        }
        std::fflush(stdout);
    };

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(kTickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        switch (phase) {
            case Phase::waitingForPlan:
                // As a user would: Run once the window is on screen and the plan shown.
                if (!delegate.runButton()->isEnabled() || !delegate.window()->windowHandle() ||
                    !delegate.window()->windowHandle()->isExposed())
                    return;
                if (!sincePlan.isValid()) sincePlan.start();
                if (sincePlan.elapsed() < 200) return;
                phase = Phase::running;
                sinceRun.start();
                sinceTick.start();
                qtApplication.measuring = true;
                guiCpuAtRun = TimedApplication::threadCpuNs();
                delegate.runButton()->click();
                return;
            case Phase::running:
                longestGapMs = std::max(longestGapMs, sinceTick.restart());
                if (!delegate.quitButton()->isEnabled()) return;
                runMs = sinceRun.elapsed();
                qtApplication.measuring = false;
                phase = Phase::settling;
                sinceFinish.start();
                return;
            case Phase::settling: {
                // The mirror of the last line may still be on its way.
                const std::string log = readFile(delegate.guiUpdater()->collectionLogURL());
                const std::string view = delegate.contextTextView()->toPlainText().toStdString();
                if (view != log && sinceFinish.elapsed() < 2000) return;
                phase = Phase::done;
                report(view, log);
                delegate.quitButton()->click();
                return;
            }
            case Phase::done:
                return;
        }
    });
    ticker.start();
    application.run();
    return succeeded ? 0 : 1;
}
