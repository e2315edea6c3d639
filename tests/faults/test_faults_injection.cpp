// Faults on the line, through the real window and the real serial layer against the
// simulated bootloader: each ends in what the user must see, with the port closed and the
// window idle, and nothing is ever reported as a success that was not one.

#include "window_rig.h"

#include <QProcess>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <csignal>
#include <thread>

namespace {

using bootsim::FaultKind;

const QString kDownloadError = QStringLiteral("Error encountered while downloading the firmware.");
const QString kPortError = QStringLiteral("Error encountered while accessing the com port.");
const QString kSuccess = QStringLiteral("Datalogger successfully updated.");
const QString kUpdateFailed = QStringLiteral("Error encountered while updating.");
const QString kWaitingForRestart = QStringLiteral("Waiting for Datalogger to Restart...");

// The sample's data lines: an address record, 3,000 data records and the end-of-file record.
constexpr std::uint64_t kSampleLines = 3002;

}  // namespace

class FaultInjectionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void hangUp_data();
    void hangUp();
    void troubleOnTheLine_data();
    void troubleOnTheLine();
    void garbageForTheReadyRequest_data();
    void garbageForTheReadyRequest();
    void portMissingOrInUse_data();
    void portMissingOrInUse();
    void stoppedAtEachWait_data();
    void stoppedAtEachWait();
};

void FaultInjectionTest::hangUp_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<std::uint64_t>("records");
    QTest::newRow("waiting for the restart") << "restart" << std::uint64_t(0);
    QTest::newRow("waiting for the ready reply") << "ready" << std::uint64_t(0);
    QTest::newRow("in mid-file") << "line" << std::uint64_t(20);
    // The one wait that sleeps on the port instead of yielding to the event loop.
    QTest::newRow("in the final wait") << "end" << kSampleLines;
}

void FaultInjectionTest::hangUp() {
    // The datalogger's cable is pulled: the line closes for good.
    QFETCH(QString, where);
    QFETCH(std::uint64_t, records);
    bootsim::Options options;
    if (where == QLatin1String("restart")) {
        options.restart_after_ms = 60 * 1000;
    } else if (where == QLatin1String("ready")) {
        options.silent_ready_requests = 3;
    } else if (where == QLatin1String("line")) {
        options.faults = {{FaultKind::Hangup, 20, 1}};
    } else {
        // An old loader's short wait for the end-of-file record's reply passes, and the
        // final wait begins.
        options.loader_version = "1.20";
        options.faults = {{FaultKind::Silent, int(kSampleLines), 1}};
    }
    Rig rig(options);
    if (where == QLatin1String("restart")) {
        rig.At([&] { return rig.Status() == kWaitingForRestart; }, [&] { rig.sim->Stop(); });
    } else if (where == QLatin1String("ready")) {
        rig.At([&] { return rig.Stats().ready_requests >= 1; }, [&] { rig.sim->Stop(); });
    }
    // The final wait runs no events, so the line is pulled from another thread.
    std::thread puller([&] {
        for (int i = 0; i < 6000 && where == QLatin1String("end"); ++i) {
            if (rig.Stats().records >= kSampleLines) {
                std::this_thread::sleep_for(std::chrono::milliseconds(600));
                rig.sim->Stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const bool finished = rig.Update();
    puller.join();
    QVERIFY(finished);
    QCOMPARE(rig.pending, 0);
    QCOMPARE(rig.Texts(), QStringList{kDownloadError});
    QCOMPARE(rig.Style(0), OkOnly + Exclamation);
    QVERIFY2(rig.Detail(0).startsWith(rig.dir.filePath(QStringLiteral("com1")) + ": The device went away"),
             qPrintable(rig.Detail(0)));
    QCOMPARE(rig.Outcome(), RunOutcome::DownloadFailure);
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().records, records);

    // The dead line is reported once, then left alone: no repeated warnings, and the idle
    // window does not keep a core busy (a spinning loop would use most of the second).
    const int warnings = qtWarnings;
    const double cpu = IdleSecondCpuMs();
    QVERIFY2(cpu < 250, qPrintable(QStringLiteral("%1 ms of CPU in an idle second").arg(cpu)));
    QCOMPARE(int(qtWarnings), warnings);
    QCOMPARE(rig.boxes.size(), 1);
    // The window is ready for the next try, which finds the port gone.
    QVERIFY(rig.Update());
    QCOMPARE(rig.Texts(), QStringList({kDownloadError, kPortError}));
    QVERIFY(rig.Idle());
}

void FaultInjectionTest::troubleOnTheLine_data() {
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QString>("message");
    QTest::addColumn<std::uint64_t>("resends");
    QTest::newRow("noise before and between replies") << "noise" << kSuccess << std::uint64_t(0);
    QTest::newRow("replies split across reads") << "split" << kSuccess << std::uint64_t(0);
    QTest::newRow("a late reply after its line's resend") << "late" << kSuccess << std::uint64_t(1);
    QTest::newRow("a late reply, then rejected lines: the whole image")
        << "late, next rejected" << kSuccess << std::uint64_t(3);
    QTest::newRow("XOFF held longer than a reply wait") << "xoff" << kSuccess << std::uint64_t(1);
    QTest::newRow("XOFF before the end, old loader")
        << "xoff, old loader" << kSuccess << std::uint64_t(0);
}

void FaultInjectionTest::troubleOnTheLine() {
    // Trouble the program rides out on its own, without a prompt. Where the line's trouble
    // misleads it, the bootloader's last word decides: never a success the datalogger did
    // not confirm.
    QFETCH(QString, trouble);
    QFETCH(QString, message);
    QFETCH(std::uint64_t, resends);
    bootsim::Options options;
    if (trouble == QLatin1String("noise")) {
        // Before the version record, before about half of the line replies, and before the
        // final tokens.
        options.version_prefix = std::string("\x7f*!x\xff", 5);
        options.random_fault_rate = 0.5;
        options.random_kinds = {FaultKind::Noise};
        options.faults = {{FaultKind::Noise, int(kSampleLines), 1}};
    } else if (trouble == QLatin1String("split")) {
        // The version record and the final tokens each come in two reads, as from an adapter
        // that passes on what it has whenever its 16 ms latency timer runs out.
        options.split_pieces = 2;
        options.split_gap_ms = 16;
    } else if (trouble.startsWith(QLatin1String("late"))) {
        // Line 20's first reply comes after its reply wait, so the program sends the line
        // again; a bootloader that answers in order sends both replies when it is done.
        options.faults = {{FaultKind::Late, 20, 1, 3500}, {FaultKind::Late, 21, 1, 2000}};
        if (trouble.endsWith(QLatin1String("rejected"))) {
            // Both sends of line 20 are answered late, in order, so the resend's answer
            // comes seconds after the first; then the next two lines are rejected once each.
            // Were an answer read one line late, a rejected line would be taken as accepted
            // and never sent again, and a bootloader that cannot see a missing record would
            // still end with success.
            options.naive = true;
            options.faults = {{FaultKind::Late, 20, 2, 3500}, {FaultKind::Checksum, 21, 1}, {FaultKind::Checksum, 22, 1}};
        }
    } else if (trouble == QLatin1String("xoff")) {
        // The program's next line is held back past a whole reply wait.
        options.faults = {{FaultKind::Xoff, 20, 1, 3500}};
    } else {
        // The end-of-file record is held back by XOFF, and an old loader's short reply wait
        // ends before the XON: the record must still go out when the XON comes, within the
        // final wait, for the bootloader to give its final word.
        options.loader_version = "1.20";
        options.faults = {{FaultKind::Xoff, int(kSampleLines) - 1, 1, 1000}};
    }
    Rig rig(options);
    QVERIFY(rig.Update());
    QCOMPARE(rig.Texts(), QStringList{message});
    QCOMPARE(rig.Outcome(), message == kSuccess ? RunOutcome::Updated : RunOutcome::UpdateFailed);
    QVERIFY(rig.Idle());
    QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
    const bootsim::Stats stats = rig.Stats();
    QCOMPARE(stats.sessions_ok, std::uint64_t(message == kSuccess ? 1 : 0));
    QCOMPARE(stats.lines, kSampleLines);
    // The resends the trouble calls for; a machine under heavy load may hold up another
    // reply past its wait and so add one or two more, never hundreds.
    QVERIFY2(stats.records >= stats.lines + resends && stats.records <= stats.lines + resends + 2,
             qPrintable(QStringLiteral("%1 records").arg(stats.records)));
    if (message == kSuccess) {
        QVERIFY(rig.sim->LastImage() == ImageOf(kSample));
    }
}

void FaultInjectionTest::garbageForTheReadyRequest_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("style");
    QTest::newRow("bytes without the ready token") << "garbage"
                                                   << "No response from Datalogger." << int(OkOnly);
    QTest::newRow("a loader version out of range")
        << "overflow" << kDownloadError << OkOnly + Exclamation;
}

void FaultInjectionTest::garbageForTheReadyRequest() {
    QFETCH(QString, answer);
    QFETCH(QString, message);
    QFETCH(int, style);
    bootsim::Options options;
    if (answer == QLatin1String("garbage")) {
        options.version_prefix = std::string("\x01\x7fz*<>_", 7);
        options.send_loader_version = false;
        options.send_firmware_version = false;
        options.send_ready_token = false;
    } else {
        options.loader_version = "9e99";
    }
    Rig rig(options);
    QVERIFY(rig.Update());
    QCOMPARE(rig.Texts(), QStringList{message});
    QCOMPARE(rig.Style(0), style);
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().records, std::uint64_t(0));
}

void FaultInjectionTest::portMissingOrInUse_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("why");  // what the box says below its text
    QTest::newRow("no such device") << "missing" << "ttyUSB9: no such device";
    // prefs.txt may leave the port list without a selection.
    QTest::newRow("no port chosen") << "none" << "Invalid port number";
    QTest::newRow("open in another copy of the program, by the device's own name")
        << "other copy" << "): in use by quorvel-cli (process ";
    QTest::newRow("held exclusively by another program")
        << "exclusive" << "): in use by another program, which holds it exclusively";
    QTest::newRow("no permission") << "permission" << "): permission denied. Join the group that owns the device";
}

void FaultInjectionTest::portMissingOrInUse() {
    // Another copy of the program takes the port with a lock file and with the terminal's
    // exclusive mode; another program may take it with the exclusive mode alone. Root
    // (CAP_SYS_ADMIN) passes the exclusive mode, so the copy is tested with root's
    // capability kept, where the lock file alone must refuse the port, and the other
    // program with it set aside, as a field engineer's account meets the exclusive mode.
    QFETCH(QString, port);
    QFETCH(QString, why);
    bootsim::Options options;
    options.restart_after_ms = 60 * 1000;
    Rig rig(options);
    const QByteArray device = QByteArray::fromStdString(rig.sim->DevicePath());
    QProcess other;
    int exclusive = -1;
    if (port == QLatin1String("missing")) {
        qputenv("QUORVEL_COM1", rig.dir.filePath(QStringLiteral("ttyUSB9")).toLocal8Bit());
    } else if (port == QLatin1String("none")) {
        rig.form->findChild<QComboBox*>("Combo1")->setCurrentIndex(-1);
    } else if (port == QLatin1String("other copy")) {
        // The window reaches the device through a link, the other copy by its own name.
        other.start(QStringLiteral(QUORVEL_CLI_PATH), {"--port", QString::fromLocal8Bit(device), "--file", kSample});
        QTRY_VERIFY_WITH_TIMEOUT(other.peek(4096).contains(kWaitingForRestart.toLatin1()), 10000);
    } else if (port == QLatin1String("permission")) {
        QVERIFY(::chmod(device.constData(), 0) == 0);
    } else {
        exclusive = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(exclusive >= 0);
        QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
    }
    {
        // Root passes a device's permissions too: as a user's account, it meets them.
        WithoutCapabilities asUser(exclusive >= 0              ? std::initializer_list<int>{CAP_SYS_ADMIN}
                                   : port == QLatin1String("permission") ? std::initializer_list<int>{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}
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
    QCOMPARE(rig.Texts(), QStringList{kPortError});
    QCOMPARE(rig.Style(0), OkOnly + Exclamation);
    QVERIFY2(rig.Detail(0).contains(why), qPrintable(rig.Detail(0)));
    QCOMPARE(rig.Outcome(), RunOutcome::PortFailure);
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().bytes_received, std::uint64_t(0));
    if (other.state() != QProcess::NotRunning) {
        // The holder is undisturbed: it still waits for the restart, and Cancel ends it.
        QCOMPARE(other.state(), QProcess::Running);
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
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<std::uint64_t>("records");
    const QString missing20 =
        QStringLiteral("Did not receive a response after sending line 20. Continue with download?");
    struct Wait {
        const char* name;
        const char* tag;
        QStringList boxesAfterCancel;
        std::uint64_t recordsAfterCancel;
        std::uint64_t recordsAfterClose;
    };
    // Cancel in a normal loader's reply wait ends the wait at once; the line's remaining
    // sends are written without waiting and the prompt comes, then the run ends. How many
    // of them reach the line depends on when closing the port discards its output, so
    // only the bounds are certain (recordsAfterCancel is the most). A closed window
    // ends the run at once. (Between two lines the event loop runs only when the last pass
    // is a millisecond old, so a click there is taken in the next reply wait; the engine's
    // tests cover the line loop's own test of Cancel.)
    const Wait waits[] = {
        {"restart", "the restart wait", {}, 0, 0},
        {"ready", "the ready wait", {}, 0, 0},
        {"reply", "a reply wait", {missing20}, 22, 20},
        {"old reply", "an old loader's reply wait", {}, 20, 20},
    };
    for (const Wait& w : waits) {
        QTest::addRow("Cancel in %s", w.tag)
            << w.name << false << w.boxesAfterCancel << w.recordsAfterCancel;
        QTest::addRow("window closed in %s", w.tag)
            << w.name << true << QStringList{} << w.recordsAfterClose;
    }
}

void FaultInjectionTest::stoppedAtEachWait() {
    QFETCH(QString, wait);
    QFETCH(bool, closeWindow);
    QFETCH(QStringList, boxes);
    QFETCH(std::uint64_t, records);
    bootsim::Options options;
    if (wait == QLatin1String("restart")) {
        options.restart_after_ms = 60 * 1000;
    } else if (wait == QLatin1String("ready")) {
        options.silent_ready_requests = 3;
    } else if (wait == QLatin1String("reply")) {
        options.faults = {{FaultKind::Silent, 20, 3}};
    } else if (wait == QLatin1String("old reply")) {
        options.loader_version = "1.20";
        options.faults = {{FaultKind::Silent, 20, 1}};
    }
    Rig rig(options);
    std::function<bool()> reached;
    if (wait == QLatin1String("restart")) {
        reached = [&] { return rig.Status() == kWaitingForRestart; };
    } else if (wait == QLatin1String("ready")) {
        reached = [&] { return rig.Stats().ready_requests >= 1; };
    } else {
        reached = [&] { return rig.Stats().records >= 20; };
    }
    bootsim::Stats atStop;
    rig.At(reached, [&] {
        atStop = rig.Stats();
        if (closeWindow) {
            rig.form->close();
        } else {
            rig.Cancel();
        }
    });
    QVERIFY(rig.Update());
    QCOMPARE(rig.pending, 0);
    QTest::qWait(300);
    const bootsim::Stats after = rig.Stats();
    QVERIFY(!rig.form->MSComm1().PortOpen());
    if (closeWindow) {
        // The unload closed the port and saved the settings; the run stopped without
        // another box and sent nothing more.
        QCOMPARE(rig.Outcome(), RunOutcome::WindowClosed);
        QCOMPARE(rig.Texts(), QStringList{});
        QCOMPARE(after.bytes_received, atStop.bytes_received);
        QCOMPARE(ReadAll(rig.PrefsPath()), "0\r\n\"" + kSample.toLocal8Bit() + "\"\r\n");
    } else {
        QCOMPARE(rig.Outcome(), RunOutcome::Cancelled);
        QCOMPARE(rig.Texts(), boxes);
        QVERIFY(rig.Idle());
    }
    if (closeWindow || wait != QLatin1String("reply")) {
        QCOMPARE(after.records, records);
    } else {
        QVERIFY2(after.records >= 20 && after.records <= records,
                 qPrintable(QStringLiteral("%1 records").arg(after.records)));
    }
    QCOMPARE(after.ready_requests, std::uint64_t(wait == QLatin1String("restart") ? 0 : 1));
}

QTEST_MAIN(FaultInjectionTest)
#include "test_faults_injection.moc"
