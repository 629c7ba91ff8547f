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
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Nerova_Diagnostic_Utility/GUIUpdater.h"
#include "Nerova_Diagnostic_Utility/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/ZEPApplication.h"
#include "collector/ZEP.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// A timer that should fire every kTick: the longest gap between two firings,
// less the tick, is the longest stretch in which the GUI thread ran nothing else.
constexpr int kTickMs = 2;

}  // namespace

int main(int argc, char** argv) {
    std::string screenshot;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--screenshot" && i + 1 < argc) screenshot = argv[++i];
    }

    QApplication qtApplication(argc, argv);
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);

    enum class Phase { waitingForPlan, running, finished } phase = Phase::waitingForPlan;
    QElapsedTimer sinceTick, sinceRun;
    qint64 longestGapMs = 0;
    qint64 runMs = 0;
    bool succeeded = false;

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(kTickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        switch (phase) {
            case Phase::waitingForPlan:
                if (!delegate.runButton()->isEnabled()) return;
                phase = Phase::running;
                sinceRun.start();
                sinceTick.start();
                delegate.runButton()->click();
                return;
            case Phase::running: {
                longestGapMs = std::max(longestGapMs, sinceTick.restart());
                if (!delegate.quitButton()->isEnabled()) return;
                runMs = sinceRun.elapsed();
                phase = Phase::finished;
                // One more turn of the loop for the mirror of the last line.
                QTimer::singleShot(0, [&] {
                    const ZEP& zep = *delegate.zep();
                    const std::string archive = zep.finalLocation() + "/" + zep.archiveName() + ".zip";
                    const std::string log = readFile(delegate.guiUpdater()->collectionLogURL());
                    const std::string view = delegate.contextTextView()->toPlainText().toStdString();
                    std::size_t lines = 0;
                    for (char c : log) lines += c == '\n';
                    const bool archiveMade = fileExists(archive);
                    succeeded = archiveMade && view == log;
                    std::printf("log_lines=%zu\nrun_ms=%lld\nlongest_gui_stall_ms=%lld\narchive_made=%s\n"
                                "view_equals_log=%s\n",
                                lines, static_cast<long long>(runMs),
                                static_cast<long long>(std::max<qint64>(0, longestGapMs - kTickMs)),
                                archiveMade ? "yes" : "no", view == log ? "yes" : "no");
                    if (!screenshot.empty()) {
                        QWidget* window = delegate.window();
                        QPixmap shot = window->screen()->grabWindow(window->winId());
                        if (shot.isNull()) shot = window->grab();
                        std::printf("screenshot=%s\n", shot.save(QString::fromStdString(screenshot)) ? "saved" : "failed");
                    }
                    std::fflush(stdout);
                    delegate.quitButton()->click();
                });
                return;
            }
            case Phase::finished:
                return;
        }
    });
    ticker.start();
    application.run();
    return succeeded ? 0 : 1;
}
