// The window driven in-process, offscreen, on a copy of the sample product
// tree: the launch up to the plan, a whole run up to the archive on the
// Desktop, the program ended during a run, and the log mirror under load.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <variant>

#include "Nerova_Diagnostic_Utility/window/GUIUpdater.h"
#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"
#include "collector/CollectionLock.h"
#include "collector/ZEP.h"
#include "platform/system/SystemEnvironment.h"
#include "collector/NRVRootPrivilegeServiceProtocol.h"
#include "fakes/FakeServiceFixture.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

#if defined(__SANITIZE_THREAD__)
// Qt's event queue, thread pool and image buffers are guarded by locks the
// race detector cannot see (Qt is not built for it): every report from inside
// them is about that hand-over, not about this program's data. Only what Qt
// does itself is left out: a race between two accesses of this program is
// still reported, on whatever thread it happens.
// Qt's own date code also calls tzset on the main thread, under Qt's lock
// rather than the one platform/time holds; the C library serialises the two
// with a lock of its own, which the detector cannot see either. That one
// pair is left out here only: the program's own local-time calls are checked
// without it by NSDateExtensions.LocalTextsFromManyThreads.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Widgets.so.6\n"
           "race:tzset_internal\n";
}
#endif

namespace {

const std::string kSampleRoot = std::string(NRV_FIXTURES_DIR) + "/sample-root";
const std::string kLogName = "Nerova Diagnostic Utility.log";
// Every wait on it ends as soon as the run gets there; the bound only ends a
// run that hangs. A whole collection of the sample tree takes about a second,
// but up to a minute with the sanitizers on a loaded machine.
constexpr int kRunTimeoutMs = 180000;

std::string viewText(const ZEPAppDelegate& delegate) {
    return delegate.contextTextView()->toPlainText().toStdString();
}

bool indicatorAnimates(const ZEPAppDelegate& delegate) { return delegate.progressIndicator()->maximum() == 0; }

bool scrolledToEnd(const ZEPAppDelegate& delegate) {
    const QScrollBar* bar = delegate.contextTextView()->verticalScrollBar();
    return bar->value() == bar->maximum();
}

// Gone, or a zombie that nothing reaps: either way no longer running.
bool processEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z';
}

// The folders of a run. The program's threads read the environment at any
// time (the log store looks up its path on every write) and some outlive a
// run, so the variables are set once, before any thread starts, and never
// changed afterwards; each test starts from emptied folders instead.
struct RunFolders {
    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    std::string home = tmp / "home";
    std::string desktopParent = tmp / "desk";
    std::string desktop = desktopParent + "/Bureau";
    std::string temporary = tmp / "tmp";
    std::string logStore = tmp / "unified.log";

    void setEnvironment() const {
        const std::pair<const char*, std::string> variables[] = {
            {"NRV_SYSTEM_ROOT", root}, {"HOME", home},           {"XDG_DESKTOP_DIR", desktop},
            {"TMPDIR", temporary},     {"XDG_RUNTIME_DIR", temporary}, {"NRV_LOG_STORE", logStore},
        };
        for (const auto& [name, value] : variables) ::setenv(name, value.c_str(), 1);
    }

    void reset() const {
        for (const auto& entry : fsys::directory_iterator(tmp.path())) fsys::remove_all(entry.path());
        fsys::copy(kSampleRoot, root, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
        fsys::create_directories(temporary);
        fsys::create_directories(desktopParent);
    }
};

RunFolders* gFolders = nullptr;

void setUpWindowSuite() {
    if (!gFolders) {
        gFolders = new RunFolders;
        gFolders->setEnvironment();
    }
    if (QApplication::instance()) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "window_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // for the life of the test program
}

// The folders serve every suite of the program (the variables name them
// from the first suite on) and go at its end; the variables stay, as
// threads may still read them.
class FoldersCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        delete gFolders;
        gFolders = nullptr;
    }
};
[[maybe_unused]] ::testing::Environment* const kFoldersCleanup =
    ::testing::AddGlobalTestEnvironment(new FoldersCleanup);

// Runs the application with `script` started from its event loop; the loop
// ends when the script makes the program quit, or after two minutes.
int runApplication(ZEPApplication& application, const std::function<void()>& script) {
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [] {
        ADD_FAILURE() << "the program did not end";
        ZEPApplication::terminate();
    });
    failsafe.start(2 * kRunTimeoutMs);
    QTimer::singleShot(0, script);
    return application.run();
}

class WindowRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpWindowSuite(); }

    void SetUp() override { gFolders->reset(); }

    std::string collectionLog() const { return readText(home + "/Library/Logs/" + kLogName); }

    const testsupport::TempDir& tmp = gFolders->tmp;
    const std::string& root = gFolders->root;
    const std::string& home = gFolders->home;
    const std::string& desktop = gFolders->desktop;
};

}  // namespace

TEST_F(WindowRun, LaunchEnablesRunOnlyOnceThePlanIsShown) {
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);
    delegate.applicationDidFinishLaunching();
    // The plan comes from the driver's queue; until the window has it, Run
    // must not be pressable.
    EXPECT_FALSE(delegate.runButton()->isEnabled());
    EXPECT_EQ(viewText(delegate), "");

    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.runButton()->isEnabled(); }, kRunTimeoutMs));
    EXPECT_EQ(viewText(delegate), delegate.zep()->collectionString());
    EXPECT_EQ(viewText(delegate).rfind("The following files will be collected if present:\n\n", 0), 0u);
    EXPECT_TRUE(delegate.quitButton()->isEnabled());
    EXPECT_FALSE(indicatorAnimates(delegate));
    delegate.applicationWillTerminate();
}

// A run to its end, with a Desktop that can be made and with one that cannot
// (a file stands where its parent folder should be): either way the view ends
// equal to the log, the result is its last line, Run stays disabled and Quit
// is enabled again.
TEST_F(WindowRun, RunEndsWithTheResultAsTheLastLineOfViewAndLog) {
    struct Case {
        const char* name;
        bool archiveMade;
    };
    const Case cases[] = {
        {"new Desktop folder", true},
        {"Desktop that cannot be made", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.archiveMade) {
            // The Desktop's parent becomes a file.
            fsys::remove_all(gFolders->desktopParent);
            writeText(gFolders->desktopParent, "not a folder\n");
        }
        ZEPAppDelegate delegate;
        ZEPApplication application(delegate);
        std::string archivePath;
        const int status = runApplication(application, [&] {
            ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.runButton()->isEnabled(); }, kRunTimeoutMs));
            const std::string archiveName = delegate.zep()->archiveName();
            archivePath = desktop + "/" + archiveName + ".zip";
            QTest::mouseClick(delegate.runButton(), Qt::LeftButton);
            EXPECT_FALSE(delegate.runButton()->isEnabled());
            QCoreApplication::processEvents();
            EXPECT_FALSE(delegate.quitButton()->isEnabled());
            EXPECT_TRUE(indicatorAnimates(delegate));

            ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.quitButton()->isEnabled(); }, kRunTimeoutMs));
            EXPECT_FALSE(delegate.runButton()->isEnabled());
            EXPECT_FALSE(indicatorAnimates(delegate));
            // The mirror of the last line may still be on its way.
            static_cast<void>(QTest::qWaitFor([&] { return viewText(delegate) == collectionLog(); }, 5000));
            const std::string log = collectionLog();
            EXPECT_EQ(viewText(delegate), log);
            const std::string ending =
                c.archiveMade ? "\n\n" + archiveName + ".zip archive created on Bureau\n"
                              : "\nFailure: Failed to create zip file at " + archivePath +
                                    ". See collection log for details.\n";
            ASSERT_GE(log.size(), ending.size());
            EXPECT_EQ(log.substr(log.size() - ending.size()), ending);
            EXPECT_NE(log.find(" Begin collection... \n"), std::string::npos);
            EXPECT_TRUE(scrolledToEnd(delegate));
            EXPECT_FALSE(exists(delegate.zep()->stagingLocation()));
            QTest::mouseClick(delegate.quitButton(), Qt::LeftButton);
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(exists(archivePath), c.archiveMade) << archivePath;
        if (!c.archiveMade) {
            EXPECT_EQ(collectionLog().rfind("Failure: Unable to create the Desktop folder at " + desktop + " -> ", 0), 0u)
                << collectionLog();
        }
    }
}

// During a run Quit is disabled; the program still ends when the window is
// closed, or when the application is asked to quit from elsewhere.
TEST_F(WindowRun, EndingTheProgramDuringARunEndsItsCommandAndRemovesStaging) {
    const std::string pidFile = tmp / "sleeper.pid";
    // The first command of the run starts a program of its own and waits.
    const std::string command = root + "/usr/sbin/system_profiler";
    writeText(command, "#!/bin/sh\nsleep 60 &\necho $! > '" + pidFile + ".tmp'\nmv '" + pidFile + ".tmp' '" +
                           pidFile + "'\nwait\n");
    fsys::permissions(command, fsys::perms::owner_all);

    struct Case {
        const char* name;
        std::function<void(ZEPAppDelegate&)> end;
    };
    const Case cases[] = {
        {"window closed", [](ZEPAppDelegate& d) { d.window()->close(); }},
        {"quit action", [](ZEPAppDelegate& d) { d.quitButtonPressed(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fsys::remove(pidFile, ignored);
        ZEPAppDelegate delegate;
        ZEPApplication application(delegate);
        std::string staging;
        pid_t sleeper = 0;
        const auto started = std::chrono::steady_clock::now();
        const int status = runApplication(application, [&] {
            ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.runButton()->isEnabled(); }, kRunTimeoutMs));
            staging = delegate.zep()->stagingLocation();
            QTest::mouseClick(delegate.runButton(), Qt::LeftButton);
            ASSERT_TRUE(QTest::qWaitFor([&] { return exists(pidFile); }, kRunTimeoutMs));
            sleeper = static_cast<pid_t>(std::atoi(readText(pidFile).c_str()));
            EXPECT_TRUE(exists(staging));
            c.end(delegate);
        });
        EXPECT_EQ(status, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        ASSERT_GT(sleeper, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return processEnded(sleeper); }, 5000)) << "pid " << sleeper;
        EXPECT_FALSE(staging.empty());
        EXPECT_FALSE(exists(staging));
        EXPECT_TRUE(fsys::is_empty(desktop)) << "an archive was made after the program ended";
    }
}

// Another collection holds the temporary folder: Run says so under the plan
// and touches nothing; once that collection has ended, Run starts this one.
TEST_F(WindowRun, RunWhileAnotherCollectionHoldsTheFolderShowsTheRefusal) {
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);
    std::string staging;
    const int status = runApplication(application, [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.runButton()->isEnabled(); }, kRunTimeoutMs));
        staging = delegate.zep()->stagingLocation();
        {
            auto other = CollectionLock::acquire(platform::temporaryDirectory());
            ASSERT_TRUE(std::holds_alternative<CollectionLock>(other));
            QTest::mouseClick(delegate.runButton(), Qt::LeftButton);
            QCoreApplication::processEvents();
            EXPECT_EQ(viewText(delegate), delegate.zep()->collectionString() + "\nA collection is already running.\n");
            EXPECT_TRUE(delegate.runButton()->isEnabled());
            EXPECT_TRUE(delegate.quitButton()->isEnabled());
            EXPECT_FALSE(exists(staging));
            EXPECT_FALSE(exists(home + "/Library/Logs/" + kLogName));
        }
        QTest::mouseClick(delegate.runButton(), Qt::LeftButton);
        QCoreApplication::processEvents();
        EXPECT_FALSE(delegate.runButton()->isEnabled());
        EXPECT_FALSE(delegate.quitButton()->isEnabled());
        delegate.window()->close();
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(staging));
}

// Lines reported from the driver's thread as fast as it can while the window
// mirrors them: however the mirror blocks fall, the view ends equal to the log.
TEST_F(WindowRun, TheViewFollowsTheLogLineByLineUnderLoad) {
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);
    delegate.contextTextView()->setPlainText("a plan that the log replaces\n");
    constexpr int kLines = 20000;
    std::atomic<bool> reported{false};
    std::thread reporter([&] {
        for (int i = 0; i < kLines; ++i) delegate.guiUpdater()->updateStatus("Success: Collected line " + std::to_string(i));
        reported = true;
    });
    const bool done = QTest::qWaitFor(
        [&] {
            if (!reported) return false;
            QCoreApplication::processEvents();
            return viewText(delegate).size() == delegate.guiUpdater()->progressStatus().size();
        },
        kRunTimeoutMs);
    reporter.join();
    ASSERT_TRUE(done);
    const std::string log = collectionLog();
    EXPECT_EQ(viewText(delegate), log);
    EXPECT_EQ(testsupport::lines(log).size(), static_cast<std::size_t>(kLines));
    EXPECT_TRUE(scrolledToEnd(delegate));
}

TEST_F(WindowRun, ALogThatCannotBeWrittenIsReportedInTheView) {
    fsys::create_directories(home + "/Library/Logs/" + kLogName);  // a folder where the file should be
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);
    delegate.guiUpdater()->updateStatus("first line");
    delegate.guiUpdater()->updateStatus("second line");
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewText(delegate).find("second line\n") != std::string::npos; }, 5000));
    const std::string text = viewText(delegate);
    EXPECT_EQ(text.rfind("first line\nFailure updating log file: ", 0), 0u) << text;
    EXPECT_EQ(text, delegate.guiUpdater()->progressStatus());
}

namespace {

// The window with the product's services as fake processes beside it.
class ServiceWindowRun : public FakeServiceFixture {
protected:
    static void SetUpTestSuite() { setUpWindowSuite(); }

    void SetUp() override {
        FakeServiceFixture::SetUp();
        gFolders->reset();
    }
    void TearDown() override {
        NRVRootPrivilegeService::setReplyTimeoutForUnitTest(std::nullopt);
        ZEP::setSettingsConnectLimitForUnitTest(std::nullopt);
        FakeServiceFixture::TearDown();
    }

    std::string collectionLog() const { return readText(gFolders->home + "/Library/Logs/" + kLogName); }

    const std::string& desktop = gFolders->desktop;
};

}  // namespace

// Ending the program while the run waits on a service: for the root-privileged
// service's answer, and for the settings connection before the usernames.
// Both waits are made to last two minutes here; the program must end and its
// staging folder be gone long before that, without the steps after it.
TEST_F(ServiceWindowRun, EndingTheProgramWhileTheRunWaitsOnAServiceEndsTheWait) {
    constexpr auto kLongWait = std::chrono::seconds(120);
    // Far above the two seconds the stop takes, far below the waits.
    constexpr auto kBound = std::chrono::seconds(20);
    NRVRootPrivilegeService::setReplyTimeoutForUnitTest(kLongWait);
    ZEP::setSettingsConnectLimitForUnitTest(kLongWait);
    ASSERT_GT(startRole("broker"), 0);

    struct Case {
        const char* name;
        bool rootService;  // else the run goes on to wait for the settings service
        std::function<void(ZEPAppDelegate&)> end;
    };
    const Case cases[] = {
        {"root service, window closed", true, [](ZEPAppDelegate& d) { d.window()->close(); }},
        {"root service, quit action", true, [](ZEPAppDelegate& d) { d.quitButtonPressed(); }},
        {"settings connection, window closed", false, [](ZEPAppDelegate& d) { d.window()->close(); }},
        {"settings connection, quit action", false, [](ZEPAppDelegate& d) { d.quitButtonPressed(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gFolders->reset();
        const pid_t service = c.rootService ? startRole("root-service", {"--never-reply"}) : 0;
        if (c.rootService) {
            ASSERT_GT(service, 0);
        }
        // Signs that the run has come to the wait, or to the step just before it.
        const auto atTheWait = [&] {
            return c.rootService
                       ? readText(gFolders->logStore).find("Connect and wait for service 'com.nerova.xpc.name.rootPrivilegeService'") !=
                             std::string::npos
                       : collectionLog().find("Generated QRB-type.txt") != std::string::npos;
        };
        ZEPAppDelegate delegate;
        ZEPApplication application(delegate);
        std::string staging;
        bool reachedTheWait = false;
        std::chrono::steady_clock::time_point ended;
        const int status = runApplication(application, [&] {
            reachedTheWait = [&] {
                if (!QTest::qWaitFor([&] { return delegate.runButton()->isEnabled(); }, kRunTimeoutMs)) return false;
                staging = delegate.zep()->stagingLocation();
                QTest::mouseClick(delegate.runButton(), Qt::LeftButton);
                return QTest::qWaitFor(atTheWait, kRunTimeoutMs);
            }();
            // Ended either way, so that a run that never came to the wait
            // fails now instead of at the two-minute failsafe.
            ended = std::chrono::steady_clock::now();
            c.end(delegate);
        });
        const auto took = std::chrono::steady_clock::now() - ended;
        ASSERT_TRUE(reachedTheWait) << "the run did not come to the wait within " << kRunTimeoutMs / 1000 << " s";
        EXPECT_EQ(status, 0);
        EXPECT_LT(took, kBound) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        EXPECT_FALSE(staging.empty());
        EXPECT_FALSE(exists(staging));
        EXPECT_TRUE(fsys::is_empty(desktop)) << "an archive was made after the program ended";
        // Nothing of the steps after the wait.
        const std::string later = c.rootService ? "WQR activity summary" : "No usernames stored in the Keychain";
        EXPECT_EQ(collectionLog().find(later), std::string::npos) << collectionLog();
        if (service) stopRole(service);
    }
}
