// Whole updates and faults on the line, through the real window and the real serial layer
// against the simulated bootloader: each ends in what the user must see, with the port
// closed and the window idle, and nothing is ever reported as a success that was not one.

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
const QString kUpdated = QStringLiteral("0|Datalogger successfully updated.");
const QString kWaitingForRestart = QStringLiteral("Waiting for Datalogger to Restart...");

// The sample's data lines: an address record, 3,000 data records and the end-of-file record.
constexpr std::uint64_t kSampleLines = 3002;
constexpr int kLastLine = int(kSampleLines);

bootsim::Options OptionsFor(const QString& scenario) {
    bootsim::Options o;
    if (scenario == "checksum") {
        o.faults = {{FaultKind::Checksum, 10, 1}};
    } else if (scenario == "noise") {
        // Before the version record, before about half of the replies, and before the final
        // tokens.
        o.version_prefix = std::string("\x7f*!x\xff", 5);
        o.random_fault_rate = 0.5;
        o.random_kinds = {FaultKind::Noise};
        o.faults = {{FaultKind::Noise, kLastLine, 1}};
    } else if (scenario == "split") {
        // The version record and the final tokens each come in two reads, as from an adapter
        // that passes on what it has whenever its 16 ms latency timer runs out.
        o.split_pieces = 2;
        o.split_gap_ms = 16;
    } else if (scenario == "late") {
        // Line 20's first reply comes after its reply wait, so the program sends the line
        // again; a bootloader that answers in order sends both replies when it is done.
        o.faults = {{FaultKind::Late, 20, 1, 3500}, {FaultKind::Late, 21, 1, 2000}};
    } else if (scenario == "late, next rejected") {
        // Both sends of line 20 are answered late, in order, then the next two lines are
        // rejected once each. Were an answer read one line late, a rejected line would be
        // taken as accepted and never sent again, and a bootloader that cannot see a missing
        // record would still end with success.
        o.naive = true;
        o.faults = {{FaultKind::Late, 20, 2, 3500}, {FaultKind::Checksum, 21, 1}, {FaultKind::Checksum, 22, 1}};
    } else if (scenario == "xoff") {
        // The line after line 20 is held back past a whole reply wait.
        o.faults = {{FaultKind::Xoff, 20, 1, 3500}};
    } else if (scenario == "xoff, old loader") {
        // The end-of-file record is held back, and an old loader's short reply wait ends
        // before the XON: the record must still go out within the final wait.
        o.loader_version = "1.20";
        o.faults = {{FaultKind::Xoff, kLastLine - 1, 1, 1000}};
    } else if (scenario == "old, silent") {
        o.loader_version = "1.20";
        o.faults = {{FaultKind::Silent, 7, 1}};
    } else if (scenario == "flash") {
        o.faults = {{FaultKind::Flash, 5, 1}};
    } else if (scenario == "garbage") {
        o.version_prefix = std::string("\x01\x7fz*<>_", 7);
        o.send_loader_version = o.send_firmware_version = o.send_ready_token = false;
    } else if (scenario == "overflow") {
        o.loader_version = "9e99";
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
    QTest::addColumn<QString>("box");            // "style|text", the one box of the run
    QTest::addColumn<std::uint64_t>("records");  // what the bootloader received
    const std::uint64_t all = kSampleLines;
    // clang-format off
    QTest::newRow("the whole sample")                    << "clean"    << kUpdated << all;
    QTest::newRow("checksum error, accepted on the second send") << "checksum" << kUpdated << all + 1;
    QTest::newRow("noise before and between replies")    << "noise"    << kUpdated << all;
    QTest::newRow("replies split across reads")          << "split"    << kUpdated << all;
    QTest::newRow("a late reply after its line's resend") << "late"    << kUpdated << all + 1;
    QTest::newRow("a late reply, then rejected lines")   << "late, next rejected" << kUpdated << all + 3;
    QTest::newRow("XOFF held longer than a reply wait")  << "xoff"     << kUpdated << all + 1;
    QTest::newRow("XOFF before the end, old loader")     << "xoff, old loader" << kUpdated << all;
    QTest::newRow("old loader: a silent line passes, the bootloader reports the failure")
        << "old, silent" << "0|Error encountered while updating." << all;
    QTest::newRow("flash error answered No")
        << "flash" << "4|Error writing to flash at line 5. Continue with download?" << std::uint64_t(5);
    QTest::newRow("bytes without the ready token")       << "garbage"  << "0|No response from Datalogger." << std::uint64_t(0);
    QTest::newRow("a loader version out of range")       << "overflow" << "48|" + kDownloadError << std::uint64_t(0);
    // clang-format on
}

void FaultInjectionTest::runs() {
    // Trouble the program rides out on its own or asks about. Where the line's trouble
    // misleads it, the bootloader's last word decides.
    QFETCH(QString, scenario);
    QFETCH(QString, box);
    QFETCH(std::uint64_t, records);
    const bootsim::Options options = OptionsFor(scenario);
    Rig rig(options);
    rig.answers = {MsgBoxResult::No};
    // While the run is held up at line 20, the count over the end of the status line shows
    // the lines still to go (not those sent).
    int countedAtLine = scenario == "xoff" ? -1 : 0;
    if (countedAtLine < 0) {
        auto* count = rig.form->findChild<QLabel*>("Label14");
        const FormVariables& v = rig.form->Variables();
        rig.At([&] { return rig.Stats().records >= 20 && count->text() == QString::number(v.LinesRemaining); },
               [&] { countedAtLine = count->isVisible() ? v.TotalLines - v.LinesRemaining : -1; });
    }
    QVERIFY(rig.Update());
    QCOMPARE(rig.boxes, QStringList{box});
    QVERIFY(rig.Idle());
    QVERIFY2(countedAtLine >= 0 && countedAtLine < 30, qPrintable(QString::number(countedAtLine)));
    // The resends the trouble calls for; a machine under heavy load may hold up another
    // reply past its wait and so add one or two more, never hundreds.
    const std::uint64_t got = rig.Stats().records;
    QVERIFY2(got >= records && got <= records + (records >= kSampleLines ? 2 : 0),
             qPrintable(QStringLiteral("%1 records").arg(got)));
    if (box == kUpdated) {
        QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
        QCOMPARE(rig.Stats().sessions_ok, std::uint64_t(1));
        QVERIFY(rig.sim->LastImage() == ImageOf(kSample));
        QCOMPARE(rig.Label("Label16"), options.loader_version == "1.20" ? "Loader version: 1.2" : "Loader version: 1.3");
        QCOMPARE(rig.Label("Label17"), QStringLiteral("Old firmware version: 2.05"));
        QCOMPARE(rig.Label("Label18"), QStringLiteral("Update firmware version: V2.10"));
    }
}

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
    if (where == "restart") {
        options.restart_after_ms = 60 * 1000;
    } else if (where == "ready") {
        options.silent_ready_requests = 3;
    } else if (where == "line") {
        options.faults = {{FaultKind::Hangup, 20, 1}};
    } else {
        // An old loader's short wait for the end-of-file record's reply passes, and the
        // final wait begins.
        options.loader_version = "1.20";
        options.faults = {{FaultKind::Silent, kLastLine, 1}};
    }
    Rig rig(options);
    if (where == "restart") {
        rig.At([&] { return rig.Status() == kWaitingForRestart; }, [&] { rig.sim->Stop(); });
    } else if (where == "ready") {
        rig.At([&] { return rig.Stats().ready_requests >= 1; }, [&] { rig.sim->Stop(); });
    }
    // The final wait runs no events, so the line is pulled from another thread.
    std::thread puller([&] {
        for (int i = 0; i < 6000 && where == "end"; ++i) {
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

void FaultInjectionTest::portMissingOrInUse_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("why");  // what the box says below its text
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
    if (port == "none") {
        rig.form->findChild<QComboBox*>("Combo1")->setCurrentIndex(-1);
    } else if (port == "other copy") {
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
    QCOMPARE(rig.Texts(), QStringList{kPortError});
    QCOMPARE(rig.Style(0), OkOnly + Exclamation);
    QVERIFY2(rig.Detail(0).contains(why), qPrintable(rig.Detail(0)));
    QCOMPARE(rig.Outcome(), RunOutcome::PortFailure);
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
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<std::uint64_t>("records");  // the most the bootloader may receive
    // Cancel in a normal loader's reply wait ends the wait at once; the line's remaining
    // sends are written without waiting and the prompt comes, then the run ends. How many
    // of them reach the line depends on when closing the port discards its output, so only
    // the bounds are certain. A closed window ends the run at once. (Between two lines the
    // event loop runs only when the last pass is a millisecond old, so a click there is
    // taken in the next reply wait.)
    const QStringList missing20{"Did not receive a response after sending line 20. Continue with download?"};
    for (const bool close : {false, true}) {
        const char* how = close ? "window closed" : "Cancel";
        QTest::addRow("%s in the restart wait", how) << "restart" << close << QStringList{} << std::uint64_t(0);
        QTest::addRow("%s in the ready wait", how) << "ready" << close << QStringList{} << std::uint64_t(0);
        QTest::addRow("%s in a reply wait", how)
            << "reply" << close << (close ? QStringList{} : missing20) << std::uint64_t(close ? 20 : 22);
        QTest::addRow("%s in an old loader's reply wait", how) << "old reply" << close << QStringList{} << std::uint64_t(20);
    }
}

void FaultInjectionTest::stoppedAtEachWait() {
    QFETCH(QString, wait);
    QFETCH(bool, closeWindow);
    QFETCH(QStringList, boxes);
    QFETCH(std::uint64_t, records);
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
    QTest::qWait(300);
    const bootsim::Stats after = rig.Stats();
    QCOMPARE(rig.Texts(), boxes);
    QCOMPARE(rig.Outcome(), closeWindow ? RunOutcome::WindowClosed : RunOutcome::Cancelled);
    if (closeWindow) {
        // The unload closed the port and saved the settings; the run sent nothing more.
        QVERIFY(!rig.form->MSComm1().PortOpen());
        QCOMPARE(after.bytes_received, atStop.bytes_received);
        QCOMPARE(ReadAll(rig.PrefsPath()), "0\r\n\"" + kSample.toLocal8Bit() + "\"\r\n");
    } else {
        QVERIFY(rig.Idle());
    }
    const std::uint64_t least = wait == "reply" ? 20 : records;
    QVERIFY2(after.records >= least && after.records <= records,
             qPrintable(QStringLiteral("%1 records").arg(after.records)));
    QCOMPARE(after.ready_requests, std::uint64_t(wait == "restart" ? 0 : 1));
}

QTEST_MAIN(FaultInjectionTest)
#include "test_faults_injection.moc"
