// Whole updates and faults on the line, through the real window and the real serial layer
// against the simulated bootloader: each ends in what the user must see, with the port
// closed and the window idle, and nothing is ever reported as a success that was not one.

#include "window_rig.h"

#include <QProcess>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

namespace {

using bootsim::FaultKind;

const QString kDownloadError = QStringLiteral("Error encountered while downloading the firmware.");
const QString kPortError = QStringLiteral("Error encountered while accessing the com port.");
const QString kUpdated = QStringLiteral("Datalogger successfully updated.");
const QString kWaitingForRestart = QStringLiteral("Waiting for Datalogger to Restart...");

// The sample's data lines: an address record, 3,000 data records and the end-of-file record.
constexpr std::uint64_t kSampleLines = 3002;
constexpr int kLastLine = int(kSampleLines);

// Whether the thread sleeps in a poll of one descriptor for more than 2 ms, as the final
// wait does on the port (the event loop polls its own wake-up descriptor besides, and the
// glance at the port after a send lasts at most 2 ms).
bool PollsOneDescriptor(long tid) {
    const QList<QByteArray> call = ReadAll(QStringLiteral("/proc/self/task/%1/syscall").arg(tid)).split(' ');
    const long number = call.value(0).toLong();
    bool poll = number == SYS_ppoll;  // its time-out is behind a pointer
#ifdef SYS_poll
    poll = poll || (number == SYS_poll && call.value(3).toLong(nullptr, 16) > 2);
#endif
    return poll && call.value(2) == "0x1";
}

bootsim::Options OptionsFor(const QString& scenario) {
    bootsim::Options o;
    if (scenario == "noise") {
        // Before the version record, about half of the replies, and the final tokens.
        o.version_prefix = std::string("\x7f*!x\xff", 5);
        o.random_fault_rate = 0.5;
        o.random_kinds = {FaultKind::Noise};
        o.faults = {{FaultKind::Noise, kLastLine, 1}};
    } else if (scenario == "xoff") {
        // The line after line 20 is held back past a whole reply wait.
        o.faults = {{FaultKind::Xoff, 20, 1, 3500}};
    } else if (scenario == "xoff behind an answer") {
        // Line 20's answer comes with an XOFF that holds the line 5 s: line 21 waits in the
        // program's own queue, and is not sent again behind itself.
        o.faults = {{FaultKind::XoffAfter, 20, 1, 5000}};
    } else if (scenario == "xoff, old loader") {
        // The end-of-file record is held back past an old loader's short reply wait: it
        // must still go out within the final wait.
        o.loader_version = "1.20";
        o.faults = {{FaultKind::Xoff, kLastLine - 1, 1, 1000}};
    }
    return o;
}

}  // namespace

class FaultInjectionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void runs_data();
    void runs();
    void hangUp_data();
    void hangUp();
    void portMissingOrInUse_data();
    void portMissingOrInUse();
    void stoppedAtEachWait_data();
    void stoppedAtEachWait();
};

void FaultInjectionTest::runs_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<std::uint64_t>("records");  // what the bootloader received
    const std::uint64_t all = kSampleLines;
    // clang-format off
    QTest::newRow("the whole sample")                    << "clean"    << all;
    QTest::newRow("noise before and between replies")    << "noise"    << all;
    QTest::newRow("XOFF held longer than a reply wait")  << "xoff"     << all + 1;
    QTest::newRow("XOFF before the end, old loader")     << "xoff, old loader" << all;
    QTest::newRow("XOFF for 5 s while the next line waits") << "xoff behind an answer" << all;
    // clang-format on
}

void FaultInjectionTest::runs() {
    // Trouble on the line the program rides out on its own, to a success (the prompts and
    // the boxes they lead to, late and split replies, rejected lines behind a late answer, a
    // version record without its ready mark, are the engine's tests in virtual time).
    QFETCH(QString, scenario);
    QFETCH(std::uint64_t, records);
    const bootsim::Options options = OptionsFor(scenario);
    Rig rig(options);
    // While the run is held up at line 20, the count over the end of the status line shows
    // the lines still to go (not those sent).
    int countedAtLine = scenario == "xoff" ? -1 : 0;
    if (countedAtLine < 0) {
        // The label and the variables outlive this block: the actions keep pointers to them.
        const auto* count = rig.form->findChild<QLabel*>("Label14");
        const FormVariables* v = &rig.form->Variables();
        rig.At([&rig, count, v] { return rig.Stats().records >= 20 && count->text() == QString::number(v->LinesRemaining); },
               [&countedAtLine, count, v] { countedAtLine = count->isVisible() ? v->TotalLines - v->LinesRemaining : -1; });
    }
    QVERIFY(rig.Update());
    QCOMPARE(rig.boxes, QStringList{kUpdated});
    QVERIFY(rig.Idle());
    QVERIFY2(countedAtLine >= 0 && countedAtLine < 30, qPrintable(QString::number(countedAtLine)));
    // The resends the trouble calls for, and not one more.
    QCOMPARE(rig.Stats().records, records);
    QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
    QCOMPARE(rig.Stats().sessions_ok, std::uint64_t(1));
    QVERIFY(rig.sim->LastImage() == ImageOf(kSample));
    QCOMPARE(rig.Label("Label16"), options.loader_version == "1.20" ? "Loader version: 1.2" : "Loader version: 1.3");
    QCOMPARE(rig.Label("Label17"), QStringLiteral("Old firmware version: 2.05"));
}

void FaultInjectionTest::hangUp_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<std::uint64_t>("records");
    QTest::newRow("waiting for the restart") << "restart" << std::uint64_t(0);
    QTest::newRow("waiting for the ready reply") << "ready" << std::uint64_t(0);
    // The one wait that sleeps on the port instead of yielding to the event loop.
    QTest::newRow("in the final wait") << "end" << kSampleLines;
}

void FaultInjectionTest::hangUp() {
    // The datalogger's cable is pulled: the line closes for good.
    QFETCH(QString, where);
    QFETCH(std::uint64_t, records);
    bootsim::Options options;
    if (where == "restart") {
        options.restart_after_ms = 60 * 1000;
    } else if (where == "ready") {
        options.silent_ready_requests = 3;
    } else {
        // An old loader's short wait for the end-of-file record's reply passes, and the
        // final wait begins.
        options.loader_version = "1.20";
        options.faults = {{FaultKind::Silent, kLastLine, 1}};
    }
    // The final wait runs no events, so the line is pulled from another thread: once the
    // last line has gone unanswered and the window's thread sleeps in that wait.
    std::mutex mutex;
    std::condition_variable changed;
    bool dropped = false;
    std::atomic<bool> ended{false};
    options.log = [&](const std::string& event) {
        const std::lock_guard<std::mutex> lock(mutex);
        dropped = dropped || event.rfind("fault ", 0) == 0;
        changed.notify_all();
    };
    Rig rig(options);
    if (where == "restart") {
        rig.At([&] { return rig.Status() == kWaitingForRestart; }, [&] { rig.sim->Stop(); });
    } else if (where == "ready") {
        rig.At([&] { return rig.Stats().ready_requests >= 1; }, [&] { rig.sim->Stop(); });
    }
    std::thread puller([&, window = long(syscall(SYS_gettid))] {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return dropped || ended; });
        }
        while (!ended && !PollsOneDescriptor(window)) {
            std::this_thread::yield();
        }
        rig.sim->Stop();
    });
    const bool finished = rig.Update();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    puller.join();
    QVERIFY(finished);
    QCOMPARE(rig.pending, 0);
    QCOMPARE(rig.boxes, QStringList{kDownloadError});
    QVERIFY2(rig.Detail(0).startsWith(rig.dir.filePath(QStringLiteral("com1")) + ": The device went away"),
             qPrintable(rig.Detail(0)));
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().records, records);

    // The dead line is reported once, then left alone: no repeated warnings, no spinning.
    const int warnings = qtWarnings;
    const int wakes = EventLoopWakes(200);
    QVERIFY2(wakes < 50, qPrintable(QStringLiteral("the idle event loop woke %1 times").arg(wakes)));
    QCOMPARE(int(qtWarnings), warnings);
    // The window is ready for the next try, which finds the port gone.
    QVERIFY(rig.Update());
    QCOMPARE(rig.boxes, QStringList({kDownloadError, kPortError}));
    QVERIFY(rig.Idle());
}

void FaultInjectionTest::portMissingOrInUse_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("why");  // what the box says below its text
    QTest::newRow("open in another copy of the program, by the device's own name")
        << "other copy" << "): in use by quorvel-cli (process ";
    QTest::newRow("held exclusively by another program")
        << "exclusive" << "): in use by another program, which holds it exclusively";
    QTest::newRow("no permission") << "permission" << "): permission denied. Join the group that owns the device";
}

void FaultInjectionTest::portMissingOrInUse() {
    // Another copy of the program takes the port with a lock file and the terminal's
    // exclusive mode, another program with the exclusive mode alone. Root passes the
    // exclusive mode: the copy is tested as root, where the lock file alone must refuse.
    QFETCH(QString, port);
    QFETCH(QString, why);
    bootsim::Options options;
    options.restart_after_ms = 60 * 1000;
    Rig rig(options);
    const QByteArray device = QByteArray::fromStdString(rig.sim->DevicePath());
    QProcess other;
    int exclusive = -1;
    if (port == "other copy") {
        // The window reaches the device through a link, the other copy by its own name.
        other.start(QStringLiteral(QUORVEL_CLI_PATH), {"--port", QString::fromLocal8Bit(device), "--file", kSample});
        QTRY_VERIFY_WITH_TIMEOUT(other.peek(4096).contains(kWaitingForRestart.toLatin1()), 10000);
    } else if (port == "permission") {
        QVERIFY(::chmod(device.constData(), 0) == 0);
    } else {
        exclusive = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(exclusive >= 0);
        QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
    }
    {
        // Root passes a device's permissions too: as a user's account, it meets them.
        WithoutCapabilities asUser(exclusive >= 0 ? std::initializer_list<int>{CAP_SYS_ADMIN}
                                   : port == "permission" ? std::initializer_list<int>{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}
                                                          : std::initializer_list<int>{});
        QVERIFY(asUser.ok());
        if (exclusive >= 0) {
            const int probe = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (probe >= 0) {
                ::close(probe);
                ::close(exclusive);
                QSKIP("this kernel lets a second open through the terminal's exclusive mode");
            }
            QCOMPARE(errno, EBUSY);
        }
        QVERIFY(rig.Update());
    }
    QCOMPARE(rig.boxes, QStringList{kPortError});
    QVERIFY2(rig.Detail(0).contains(why), qPrintable(rig.Detail(0)));
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().bytes_received, std::uint64_t(0));
    if (other.state() != QProcess::NotRunning) {
        // The holder is undisturbed: it still waits for the restart, and an interrupt ends it.
        ::kill(pid_t(other.processId()), SIGINT);
        QVERIFY(other.waitForFinished(10000));
    }
    if (exclusive >= 0) {
        ::close(exclusive);
    }
}

void FaultInjectionTest::stoppedAtEachWait_data() {
    QTest::addColumn<QString>("wait");
    QTest::addColumn<bool>("closeWindow");
    // Cancel in a reply wait is the engine's test; a closed window ends the run at once.
    QTest::newRow("Cancel in the restart wait") << "restart" << false;
    QTest::newRow("Cancel in the ready wait") << "ready" << false;
    QTest::newRow("window closed in the restart wait") << "restart" << true;
    QTest::newRow("window closed in the ready wait") << "ready" << true;
    QTest::newRow("window closed in a reply wait") << "reply" << true;
    QTest::newRow("window closed in an old loader's reply wait") << "old reply" << true;
}

void FaultInjectionTest::stoppedAtEachWait() {
    QFETCH(QString, wait);
    QFETCH(bool, closeWindow);
    bootsim::Options options;
    if (wait == "restart") {
        options.restart_after_ms = 60 * 1000;
    } else if (wait == "ready") {
        options.silent_ready_requests = 3;
    } else {
        options.loader_version = wait == "old reply" ? "1.20" : "1.30";
        options.faults = {{FaultKind::Silent, 20, 3}};
    }
    Rig rig(options);
    bootsim::Stats atStop;
    rig.At(
        [&] {
            return wait == "restart" ? rig.Status() == kWaitingForRestart
                 : wait == "ready"   ? rig.Stats().ready_requests >= 1
                                     : rig.Stats().records >= 20;
        },
        [&] {
            atStop = rig.Stats();
            if (closeWindow) {
                rig.form->close();
            } else {
                rig.Cancel();
            }
        });
    QVERIFY(rig.Update());
    QCOMPARE(rig.pending, 0);
    // The simulator's last count holds all the run wrote before its port closed (the close
    // discards what the simulator has not read).
    rig.sim->Stop();
    const bootsim::Stats after = rig.Stats();
    QCOMPARE(rig.boxes, QStringList());
    if (closeWindow) {
        // The unload closed the port and saved the settings; the run sent nothing more.
        QVERIFY(!rig.form->MSComm1().PortOpen());
        QCOMPARE(after.bytes_received, atStop.bytes_received);
        QCOMPARE(ReadAll(rig.PrefsPath()), "0\r\n\"" + kSample.toLocal8Bit() + "\"\r\n");
    } else {
        QVERIFY(rig.Idle());
    }
    QCOMPARE(after.records, std::uint64_t(wait.endsWith("reply") ? 20 : 0));
    QCOMPARE(after.ready_requests, std::uint64_t(wait == "restart" ? 0 : 1));
}

QTEST_MAIN(FaultInjectionTest)
#include "test_faults_injection.moc"
