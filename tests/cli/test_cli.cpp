// quorvel-cli as a user runs it: a child process on the simulated bootloader, judged by its
// exit status and what it prints.

#include "bootloader_sim.h"
#include "cli_options.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kCli = QStringLiteral(QUORVEL_CLI_PATH);
const QString kSample = QStringLiteral(QUORVEL_SAMPLES_DIR "/demo-firmware.upd");

struct Result {
    int status = -1;
    QString out;
    QString err;
};

Result RunCli(const QStringList& args, const std::function<void(QProcess&)>& during = {}) {
    QProcess cli;
    cli.start(kCli, args);
    cli.waitForStarted();
    if (during) {
        during(cli);
    }
    cli.waitForFinished(60000);
    return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
            QString::fromLocal8Bit(cli.readAllStandardOutput()),
            QString::fromLocal8Bit(cli.readAllStandardError())};
}

std::unique_ptr<bootsim::Simulator> Sim(bootsim::Options options = {}) {
    if (options.restart_after_ms < 0 && options.restart_every_ms == 0) {
        options.restart_every_ms = 50;
    }
    auto sim = std::make_unique<bootsim::Simulator>(options);
    sim->Start();
    return sim;
}

QStringList Port(const bootsim::Simulator& sim) {
    return {"--port", QString::fromStdString(sim.DevicePath()), "--file", kSample};
}

}  // namespace

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void successPrintsWhatTheWindowShows();
    void outcomes_data();
    void outcomes();
    void askOnTheTerminal_data();
    void askOnTheTerminal();
    void ctrlCCancels();
    void badArguments_data();
    void badArguments();
};

void CliTest::successPrintsWhatTheWindowShows() {
    auto sim = Sim();
    const Result r = RunCli(Port(*sim));
    QCOMPARE(r.status, int(kExitUpdated));
    const QStringList expected = {"Initializing the com port", "Waiting for Datalogger to Restart...",
                                  "Requesting Datalogger Ready.  Try #1", "Loader version: 1.3",
                                  "Old firmware version: 2.05", "Opening " + kSample + ".",
                                  "Sending FLASH File - lines remaining ",
                                  "Update firmware version: V2.10", "Datalogger successfully updated."};
    qsizetype at = 0;
    for (const QString& line : expected) {
        at = r.out.indexOf(line + '\n', at);
        QVERIFY2(at >= 0, qPrintable(line + " missing or out of order in:\n" + r.out));
    }
    QVERIFY(sim->LastImage() == [] {
        bootsim::MemoryImage image;
        bootsim::ImageOfUpdateFile(kSample.toStdString(), image);
        return image;
    }());
    // Not a terminal: no progress line rewritten in place.
    QVERIFY(!r.out.contains('\r'));
}

void CliTest::outcomes_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("policy");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("lastLine");  // the message, and below a failure's the reason naming the device or file
    QTest::newRow("checksum, continue") << "checksum" << "continue" << int(kExitUpdateFailed)
                                        << "Error encountered while updating.";
    QTest::newRow("checksum, abort") << "checksum" << "abort" << int(kExitAborted)
                                     << "Checksum error at line 4. Continue with download? n (--on-error abort)";
    QTest::newRow("silent bootloader") << "silent" << "" << int(kExitNoResponse) << "No response from Datalogger.";
    QTest::newRow("missing port") << "no port" << "" << int(kExitPortFailure)
                                  << "Error encountered while accessing the com port.\n";
    QTest::newRow("missing file") << "no file" << "" << int(kExitFileFailure)
                                  << "Error opening /nonexistent/update.upd.\n/nonexistent/update.upd: No such file";
}

void CliTest::outcomes() {
    QFETCH(QString, scenario);
    QFETCH(QString, policy);
    QFETCH(int, status);
    QFETCH(QString, lastLine);
    bootsim::Options options;
    if (scenario == QLatin1String("checksum")) {
        options.faults = {{bootsim::FaultKind::Checksum, 4, 3}};
    } else if (scenario == QLatin1String("silent")) {
        options.silent_ready_requests = 3;
    }
    auto sim = Sim(options);
    QStringList args = Port(*sim);
    if (scenario == QLatin1String("no port")) {
        args[1] = QStringLiteral("/dev/quorvel-no-such-port");
    } else if (scenario == QLatin1String("no file")) {
        args[3] = QStringLiteral("/nonexistent/update.upd");
    }
    if (!policy.isEmpty()) {
        args << "--on-error" << policy;
    }
    const Result r = RunCli(args);
    QCOMPARE(r.status, status);
    const QString all = r.out + r.err;
    const int lines = int(lastLine.count('\n')) + 1;
    QVERIFY2(all.trimmed().section('\n', -lines).startsWith(lastLine), qPrintable(all));
}

void CliTest::askOnTheTerminal_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("status");
    QTest::newRow("y") << QByteArray("y\n") << int(kExitUpdateFailed);
    QTest::newRow("n after a wrong key") << QByteArray("x\nn\n") << int(kExitAborted);
}

void CliTest::askOnTheTerminal() {
    // The answer comes from the terminal the program runs on.
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    bootsim::Options options;
    options.faults = {{bootsim::FaultKind::Flash, 3, 1}};
    auto sim = Sim(options);
    const QByteArray device = QByteArray::fromStdString(sim->DevicePath());
    const QByteArray cli = kCli.toLocal8Bit();
    const QByteArray file = kSample.toLocal8Bit();

    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        execl(cli.constData(), cli.constData(), "--port", device.constData(), "--file",
              file.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    QVERIFY(child > 0);
    QByteArray seen;
    bool answered = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) {
            break;
        }
        char buf[512];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, n);
        if (!answered && seen.contains("[y/n] ")) {
            answered = true;
            QCOMPARE(::write(master, answer.constData(), size_t(answer.size())), ssize_t(answer.size()));
        }
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    ::close(master);
    QVERIFY2(seen.contains("Error writing to flash at line 3. Continue with download? [y/n] "), seen.constData());
    // On a terminal the count is a progress line rewritten in place.
    QVERIFY(seen.contains("\rLines remaining: "));
    QVERIFY(WIFEXITED(wstatus));
    QCOMPARE(WEXITSTATUS(wstatus), status);
}

void CliTest::ctrlCCancels() {
    bootsim::Options options;
    options.restart_after_ms = 60 * 1000;
    auto sim = Sim(options);
    const Result r = RunCli(Port(*sim), [](QProcess& cli) {
        QTRY_VERIFY_WITH_TIMEOUT(cli.peek(4096).contains("Waiting for Datalogger to Restart..."), 10000);
        ::kill(pid_t(cli.processId()), SIGINT);
    });
    QCOMPARE(r.status, int(kExitCancelled));
    QCOMPARE(sim->GetStats().ready_requests, std::uint64_t(0));
}

void CliTest::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("no file") << QStringList{"--port", "1"};
    QTest::newRow("no port") << QStringList{"--file", "x.upd"};
    QTest::newRow("port 0") << QStringList{"--port", "0", "--file", "x.upd"};
    QTest::newRow("unknown policy") << QStringList{"--port", "1", "--file", "x.upd", "--on-error", "retry"};
    QTest::newRow("unknown option") << QStringList{"--port", "1", "--file", "x.upd", "--fast"};
    QTest::newRow("stray argument") << QStringList{"--port", "1", "--file", "x.upd", "extra"};
}

void CliTest::badArguments() {
    QFETCH(QStringList, args);
    const Result r = RunCli(args);
    QCOMPARE(r.status, int(kExitUsage));
    QVERIFY(r.err.startsWith(QLatin1String("quorvel-cli: ")));
    QVERIFY(r.out.isEmpty());
    const Result help = RunCli({"--help"});
    QCOMPARE(help.status, 0);
    QVERIFY(help.out.contains(QLatin1String("Exit status:")));
}

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
