// quorvel-cli as a user or a script runs it: the real program on the simulated bootloader,
// judged by its exit status, what it prints and where, and what reached the datalogger.

#include "bootloader_sim.h"
#include "cli_options.h"
#include "files.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
const QString kUpdated = QStringLiteral("Datalogger successfully updated.");

struct Result {
    int status = -1;
    QString out;
    QString err;
};

Result RunCli(const QStringList& args, const QStringList& env = {}) {
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& pair : env) {
        environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
    }
    cli.setProcessEnvironment(environment);
    cli.start(kCli, args);
    cli.waitForFinished(90000);
    return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1,
            QString::fromLocal8Bit(cli.readAllStandardOutput()),
            QString::fromLocal8Bit(cli.readAllStandardError())};
}

// The program with a pseudo-terminal as its controlling terminal: once `trigger` is printed,
// `act` runs once. Returns the exit status (-1 for a signal) and all it printed, in `out`.
Result RunOnTerminal(const QStringList& args, const QByteArray& trigger,
                     const std::function<void(int master, pid_t pid)>& act) {
    QList<QByteArray> owned;
    std::vector<char*> argv;
    for (const QString& a : QStringList{kCli} + args) {
        argv.push_back((owned << a.toLocal8Bit()).last().data());
    }
    argv.push_back(nullptr);
    QByteArray seen;
    Result run;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    bool acted = trigger.isEmpty();
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) {
            break;
        }
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, n);
        if (!acted && seen.contains(trigger)) {
            acted = true;
            act(master, child);
        }
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    ::close(master);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    run.out = QString::fromLocal8Bit(seen);
    return run;
}

std::unique_ptr<bootsim::Simulator> Sim(bootsim::Options options = {}) {
    if (options.restart_after_ms < 0 && options.restart_every_ms == 0) {
        options.restart_every_ms = 50;
    }
    auto sim = std::make_unique<bootsim::Simulator>(options);
    sim->Start();
    return sim;
}

QString Device(const bootsim::Simulator& sim) {
    return QString::fromStdString(sim.DevicePath());
}

QStringList Port(const bootsim::Simulator& sim) {
    return {"--port", Device(sim), "--file", kSample};
}

bool WholeImage(const bootsim::Simulator& sim) {
    bootsim::MemoryImage file;
    bootsim::ImageOfUpdateFile(kSample.toStdString(), file);
    return sim.LastImage() == file;
}

bootsim::Options WithFaults(std::vector<bootsim::Fault> faults, bool naive = false) {
    bootsim::Options options;
    options.faults = std::move(faults);
    options.naive = naive;
    return options;
}

}  // namespace

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void successOnAPortNumber();
    void failures_data();
    void failures();
    void onItsTerminal_data();
    void onItsTerminal();
    void closedPipeDoesNotStopTheUpdate();
    void modes_data();
    void modes();
    void jsonReport();
    void checkOnly();
    void severalPorts_data();
    void severalPorts();
    void badArguments_data();
    void badArguments();
};

void CliTest::successOnAPortNumber() {
    // Port 3 is the device QUORVEL_COM3 names: the list of ports says so, and so does the
    // program before it waits.
    auto sim = Sim();
    const QStringList env = {"QUORVEL_COM3=" + Device(*sim)};
    const Result list = RunCli({"--list-ports"}, env);
    QCOMPARE(list.status, 0);
    QVERIFY2(list.out.contains("  3  " + Device(*sim) + '\n'), qPrintable(list.out));
    const Result r = RunCli({"--port", "3", "--file", kSample}, env);
    QCOMPARE(r.status, int(kExitUpdated));
    const QStringList expected = {"COM port 3 is " + Device(*sim) + ".", "Waiting for Datalogger to Restart...",
                                  "Loader version: 1.3", "Old firmware version: 2.05", "Opening " + kSample + ".",
                                  "Update firmware version: V2.10", "Lines remaining: 0  100%", kUpdated};
    qsizetype at = 0;
    for (const QString& line : expected) {
        at = r.out.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line + " missing or out of order in:\n" + r.out));
    }
    QVERIFY(WholeImage(*sim));
    // Not a terminal: no progress line rewritten in place, and nothing on standard error.
    QVERIFY(!r.out.contains('\r'));
    QCOMPARE(r.err, QString());
}

void CliTest::failures_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("policy");
    QTest::addColumn<int>("status");
    // The last lines on standard error: the message, and below it the reason (device, file).
    QTest::addColumn<QString>("lastLines");
    QTest::newRow("checksum, abort")
        << "checksum" << "abort" << int(kExitAborted)
        << "Checksum error at line 4. Continue with download? n (--on-error abort)\n"
           "Update stopped after line 4: the datalogger's firmware is incomplete.\n"
           "%D: the answer to the prompt about line 4 was no (--on-error abort)";
    QTest::newRow("silent bootloader") << "silent" << "" << int(kExitNoResponse)
                                       << "No response from Datalogger.\n%D: no answer to 3 ready requests";
    QTest::newRow("missing port") << "no port" << "" << int(kExitPortFailure)
                                  << "Error encountered while accessing the com port.\n/dev/quorvel-no-such-port: ";
    QTest::newRow("missing file: found before the missing port")
        << "no file, no port" << "" << int(kExitFileFailure)
        << "Error opening /nonexistent/update.upd.\n/nonexistent/update.upd: No such file";
    QTest::newRow("32,768 lines") << "long file" << "" << int(kExitFileFailure)
                                  << "Error opening %1.\n%1: more than 32,767 lines";
    QTest::newRow("a damaged record: refused before the port") << "damaged" << "" << int(kExitFileFailure)
        << "Error opening %1.\nLine 2 of the file is not a valid Intel HEX record: its checksum is 3F, its bytes "
           "give F2. Use --no-record-check to send it anyway.";
    // Nobody restarts the datalogger on an unattended bench.
    QTest::newRow("no restart within the time-out") << "no restart" << "" << int(kExitNoResponse)
        << "No response from Datalogger.\n%D: the datalogger did not restart (no \"^\") within 1 s";
}

void CliTest::failures() {
    QFETCH(QString, scenario);
    QFETCH(QString, policy);
    QFETCH(int, status);
    QFETCH(QString, lastLines);
    bootsim::Options options;
    if (scenario == QLatin1String("checksum")) {
        options.faults = {{bootsim::FaultKind::Checksum, 4, 3}};
    } else if (scenario == QLatin1String("silent")) {
        options.silent_ready_requests = 3;
    } else if (scenario == QLatin1String("no restart")) {
        options.restart_after_ms = 600000;
    }
    auto sim = Sim(options);
    QStringList args = Port(*sim);
    if (scenario.contains(QLatin1String("no port"))) {
        args[1] = QStringLiteral("/dev/quorvel-no-such-port");
    }
    if (scenario.contains(QLatin1String("no file"))) {
        args[3] = QStringLiteral("/nonexistent/update.upd");
    }
    QTemporaryDir dir;
    if (scenario == QLatin1String("long file") || scenario == QLatin1String("damaged")) {
        args[3] = dir.filePath(QStringLiteral("bad.upd"));
        QVERIFY(WriteFile(args[3], scenario == "damaged" ? QByteArray("V1\r\n:04000000010203043F\r\n:00000001FF\r\n")
                                                         : ":00000001FF" + QByteArray("\r\n").repeated(32768)));
        lastLines = lastLines.arg(args[3]);
    }
    if (scenario == QLatin1String("no restart")) {
        args << "--restart-timeout" << "1";
    }
    if (!policy.isEmpty()) {
        args << "--on-error" << policy;
    }
    lastLines.replace("%D", Device(*sim));
    const Result r = RunCli(args);
    QCOMPARE(r.status, status);
    const int lines = int(lastLines.count('\n')) + 1;
    QVERIFY2(r.err.trimmed().section('\n', -lines).startsWith(lastLines), qPrintable(r.err));
    QVERIFY2(!r.out.contains(lastLines.section('\n', 0, 0)), qPrintable(r.out));
    if (status == kExitFileFailure) {
        // Refused before the datalogger was asked anything.
        QCOMPARE(sim->GetStats().ready_requests, std::uint64_t(0));
    }
}

void CliTest::onItsTerminal_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArray>("trigger");  // what the program prints before the user acts
    QTest::addColumn<QByteArray>("typed");    // what the user then types, if anything
    QTest::addColumn<int>("signal");          // else the signal the process gets
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("last");     // the last thing it prints
    QTest::addColumn<int>("records");         // records sent at most; -1: not checked

    // The answer to a prompt comes from the terminal the program runs on.
    QTest::newRow("y at the prompt") << "flash error" << QByteArray("[y/n] ") << QByteArray("y\n") << 0
                                     << int(kExitUpdateFailed)
                                     << QByteArray("it failed the update.\r\n"
                                                   "Lines not accepted: 3 (the update went on after the prompt).")
                                     << -1;
    QTest::newRow("n after a wrong key") << "flash error" << QByteArray("[y/n] ") << QByteArray("x\nn\n") << 0
                                         << int(kExitAborted) << QByteArray("line 3 was no (terminal)") << 3;
    QTest::newRow("Ctrl-C at the prompt") << "flash error" << QByteArray("[y/n] ") << QByteArray("\x03") << 0
                                          << int(kExitCancelled) << QByteArray("interrupted by SIGINT (Ctrl-C); nothing more was sent") << 3;
    QTest::newRow("Ctrl-C in the restart wait")
        << "no restart" << QByteArray("Waiting for Datalogger to Restart...") << QByteArray("\x03") << 0
        << int(kExitCancelled) << QByteArray("interrupted by SIGINT (Ctrl-C); nothing more was sent") << 0;
    // Line 50 is never answered: without an interrupt it would be sent 3 times and asked about.
    QTest::newRow("Ctrl-C while a line waits for its answer")
        << "silent line" << QByteArray("line 50: sent") << QByteArray("\x03") << 0 << int(kExitCancelled)
        << QByteArray("interrupted by SIGINT (Ctrl-C); nothing more was sent") << 50;
    QTest::newRow("SIGHUP while a line waits") << "silent line" << QByteArray("line 50: sent") << QByteArray()
                                               << SIGHUP << int(kExitCancelled)
                                               << QByteArray("by SIGHUP (the terminal went away); nothing more was sent") << 50;
    // The final "#" comes two seconds after the "@": the final wait runs to its end.
    QTest::newRow("Ctrl-C in the final wait")
        << "slow end" << QByteArray("Lines remaining: 0  100%") << QByteArray("\x03") << 0 << int(kExitUpdated)
        << kUpdated.toUtf8() << -1;
}

void CliTest::onItsTerminal() {
    QFETCH(QString, scenario);
    QFETCH(QByteArray, trigger);
    QFETCH(QByteArray, typed);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QByteArray, last);
    QFETCH(int, records);
    bootsim::Options options;
    if (scenario == QLatin1String("no restart")) {
        options.restart_after_ms = 60 * 1000;
    } else if (scenario == QLatin1String("silent line")) {
        options.faults = {{bootsim::FaultKind::Silent, 50, 3}};
    } else if (scenario == QLatin1String("flash error")) {
        options.faults = {{bootsim::FaultKind::Flash, 3, 1}};
    } else {
        options.split_pieces = 2;
        options.split_gap_ms = 2000;
    }
    auto sim = Sim(options);
    QStringList args = Port(*sim);
    const bool verbose = scenario == QLatin1String("silent line");
    if (verbose) {
        args << "--verbose";
    }
    const Result run = RunOnTerminal(args, trigger, [&](int master, pid_t pid) {
        if (typed.isEmpty()) {
            ::kill(pid, signal);
        } else {
            QCOMPARE(::write(master, typed.constData(), size_t(typed.size())), ssize_t(typed.size()));
        }
    });
    QCOMPARE(run.status, status);
    QVERIFY2(run.out.trimmed().endsWith(QString::fromUtf8(last)), qPrintable(run.out));
    QVERIFY(!run.out.contains("Did not receive a response"));
    if (!verbose && scenario != QLatin1String("no restart")) {
        // On a terminal the count is a progress line rewritten in place.
        QVERIFY(run.out.contains("\rLines remaining: "));
    }
    if (records >= 0) {
        // Nothing after the interrupt; the last line may not have left before the port
        // closed and dropped it.
        const auto got = qint64(sim->GetStats().records);
        QVERIFY2(got <= records && got >= records - 1, qPrintable(QString::number(got)));
    }
}

void CliTest::closedPipeDoesNotStopTheUpdate() {
    // `quorvel-cli ... | head -n 1`: the reader goes away after the first line.
    auto sim = Sim();
    QProcess shell;
    shell.start(QStringLiteral("bash"),
                {"-c", "\"$0\" \"$@\" | head -n 1 >/dev/null; echo \"${PIPESTATUS[0]}\"", kCli,
                 "--port", Device(*sim), "--file", kSample});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.readAllStandardOutput().trimmed(), QByteArray("0"));
    QVERIFY(WholeImage(*sim));
}

void CliTest::modes_data() {
    QTest::addColumn<QStringList>("mode");
    QTest::addColumn<QStringList>("outHas");   // on standard output, each in turn
    QTest::addColumn<QStringList>("logHas");   // in the log file, each in turn
    QTest::newRow("quiet: the outcome alone") << QStringList{"--quiet"} << QStringList{kUpdated} << QStringList{};
    QTest::newRow("verbose: times, sends and answers")
        << QStringList{"--verbose"}
        << QStringList{"] Initializing the com port", "] line 4: sent\n", "] line 4: answer - (checksum error)",
                       "] line 4: sent again (send 2)", "] line 4: answer ~ (accepted)",
                       "] line 11: held by the datalogger (XOFF)", "] line 11: released by the datalogger (XON)",
                       "] line 11: answer ~ (accepted)\n", "] " + kUpdated}
        << QStringList{};
    QTest::newRow("log: every byte and event")
        << QStringList{"--log", "session.log"} << QStringList{kUpdated}
        << QStringList{"# quorvel-cli ", " sent \"@&$\"", " received \"BOOT V1.30|2.05?\"", " sent \":",
                       " event line 4: sent again (send 2)", " outcome " + kUpdated + " (exit status 0)"};
}

void CliTest::modes() {
    QFETCH(QStringList, mode);
    QFETCH(QStringList, outHas);
    QFETCH(QStringList, logHas);
    QTemporaryDir dir;
    if (mode.size() == 2) {
        mode[1] = dir.filePath(mode[1]);
    }
    // In verbose mode, line 10's answer also holds the line with XOFF for longer than a wait.
    auto sim = Sim(WithFaults({{bootsim::FaultKind::Checksum, 4, 1},
                               {bootsim::FaultKind::XoffAfter, mode.first() == "--verbose" ? 10 : 0, 1, 3500}}));
    const Result r = RunCli(Port(*sim) + mode);
    QCOMPARE(r.status, int(kExitUpdated));
    if (mode.first() == QLatin1String("--quiet")) {
        QCOMPARE(r.out, kUpdated + '\n');
    }
    if (mode.first() == QLatin1String("--verbose")) {
        for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) {
            QVERIFY2(line.startsWith('['), qPrintable(line));
        }
    }
    const QString logText = QString::fromUtf8(ReadAll(mode.value(1)));  // unreadable: misses all
    for (const auto& [text, wanted] : {std::pair{r.out, outHas}, std::pair{logText, logHas}}) {
        qsizetype at = 0;
        for (const QString& item : wanted) {
            at = text.indexOf(item, at);
            QVERIFY2(at >= 0, qPrintable(item + " missing or out of order in:\n" + text));
        }
    }
}

void CliTest::jsonReport() {
    // A bootloader that cannot see a missing record: line 6 is refused 3 times, and the
    // bootloader's "@#" all the same is no success.
    auto sim = Sim(WithFaults({{bootsim::FaultKind::Checksum, 4, 1}, {bootsim::FaultKind::Checksum, 6, 3}}, true));
    const Result r = RunCli(Port(*sim) << "--json" << "--on-error" << "continue");
    QCOMPARE(r.status, int(kExitIncomplete));
    QJsonParseError error{};
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(r.out));
    // Everything else went to standard error.
    QVERIFY(r.err.contains(QLatin1String("Checksum error at line 6. Continue with download? y (--on-error continue)")));
    QVERIFY(r.err.contains("The datalogger's firmware is incomplete.\n"
                           "Lines not accepted: 6 (the update went on after the prompt)."));
    const QJsonObject expected{
        {"port", Device(*sim)}, {"device", Device(*sim)}, {"file", kSample},
        {"loaderVersion", "1.3"}, {"oldFirmwareVersion", "2.05"}, {"updateFirmwareVersion", "V2.10"},
        {"dataLines", 3002}, {"linesSent", 3002}, {"sends", 3005}, {"resends", 3},
        {"outcome", "The datalogger's firmware is incomplete."}, {"exitStatus", 8},
        {"programVersion", "1.0"}, {"fileSize", QFileInfo(kSample).size()}, {"linesAccepted", 3001},
        {"addressRanges", QJsonArray{"0x00010000-0x0001BB7F"}},
        {"linesNotAccepted", QJsonArray{QJsonObject{{"line", 6}, {"why", "checksumError"}}}},
        {"outOfStep", false}, {"restartedAtLine", QJsonValue()}};
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        QVERIFY2(o.value(it.key()) == it.value(), qPrintable(it.key()));
    }
    QCOMPARE(o.value("answers").toObject().value("checksumError").toInt(), 4);
    QCOMPARE(o.value("answers").toObject().value("updateOk").toInt(), 1);
    QCOMPARE(o.value("prompts"), QJsonValue(QJsonArray{QJsonObject{
                                     {"line", 6}, {"prompt", "Checksum error at line 6. Continue with download?"},
                                     {"answer", "yes"}, {"by", "--on-error continue"}}}));
    QVERIFY(o.value("durationSeconds").toDouble() > 0.0);
    QCOMPARE(QDateTime::fromString(o.value("startTime").toString(), Qt::ISODateWithMs).timeSpec(), Qt::UTC);
    QCOMPARE(o.value("fileSha256").toString().size(), 64);
}

void CliTest::checkOnly() {
    // The file's facts alone, with no port: the sample is sound, a damaged file is refused.
    QTemporaryDir dir;
    const QString bad = dir.filePath("bad.upd");
    QVERIFY(WriteFile(bad, "V1\r\n:04000000010203043F\r\n"));
    for (const auto& [file, status, records, faults] :
         {std::tuple{kSample, 0, 3002, 0}, std::tuple{bad, 5, 0, 2}}) {
        const Result c = RunCli({"--check", file, "--json"});
        const QJsonObject facts = QJsonDocument::fromJson(c.out.toUtf8()).object();
        QCOMPARE(c.status, status);
        QCOMPARE(facts.value("records").toInt(), records);
        QCOMPARE(facts.value("faults").toArray().size(), faults);
    }
}

void CliTest::severalPorts_data() {
    // Each port: "ok", "flash" (the bootloader fails the update) or "missing".
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<int>("status");
    QTest::newRow("three dataloggers at once") << QStringList{"ok", "ok", "ok"} << 0;
    QTest::newRow("the first failure in the order given")
        << QStringList{"ok", "missing", "flash"} << int(kExitPortFailure);
}

void CliTest::severalPorts() {
    QFETCH(QStringList, ports);
    QFETCH(int, status);
    QTemporaryDir dir;
    std::vector<std::unique_ptr<bootsim::Simulator>> sims;
    QStringList args = {"--file", kSample, "--on-error", "abort", "--json", "--log", dir.filePath("s.log")};
    for (const QString& kind : ports) {
        if (kind == QLatin1String("missing")) {
            args << "--port" << "/dev/quorvel-no-such-port";
            sims.push_back(nullptr);
            continue;
        }
        sims.push_back(Sim(kind == QLatin1String("flash") ? WithFaults({{bootsim::FaultKind::Flash, 100, 1}})
                                                          : bootsim::Options()));
        args << "--port" << Device(*sims.back());
    }
    const Result r = RunCli(args);
    QCOMPARE(r.status, status);
    const QJsonArray results = QJsonDocument::fromJson(r.out.toUtf8()).array();
    QCOMPARE(results.size(), ports.size());
    for (int i = 0; i < ports.size(); ++i) {
        const QJsonObject o = results.at(i).toObject();
        const bool ok = ports[i] == QLatin1String("ok");
        QCOMPARE(o.value("exitStatus").toInt() == 0, ok);
        QCOMPARE(o.value("linesAccepted").toInt() == 3002, ok);
        if (sims[size_t(i)]) {
            QCOMPARE(WholeImage(*sims[size_t(i)]), ok);
            QVERIFY(QFile::exists(dir.filePath("s-" + Device(*sims[size_t(i)]).mid(5).replace('/', '-') + ".log")));
        }
        // The summary table has a row per port with its outcome, and the lines accepted.
        QVERIFY2(r.err.contains(o.value("outcome").toString()) && r.err.contains("Accepted"), qPrintable(r.err));
    }
}

void CliTest::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no file") << QStringList{"--port", "1"};
    QTest::newRow("port 0") << QStringList{"--port", "0", "--file", "x.upd"};
    QTest::newRow("unknown policy") << QStringList{"--port", "1", "--file", "x.upd", "--on-error", "retry"};
    QTest::newRow("stray argument") << QStringList{"--port", "1", "--file", "x.upd", "extra"};
    QTest::newRow("quiet and verbose") << QStringList{"--port", "1", "--file", "x.upd", "-q", "-v"};
    QTest::newRow("two ports, nobody to ask") << QStringList{"--port", "1", "--port", "2", "--file", "x.upd"};
    QTest::newRow("one port twice")
        << QStringList{"--port", "1", "--port", "1", "--file", "x.upd", "--on-error", "abort"};
}

void CliTest::badArguments() {
    QFETCH(QStringList, args);
    const Result r = RunCli(args);
    QCOMPARE(r.status, int(kExitUsage));
    QVERIFY(r.err.startsWith(QLatin1String("quorvel-cli: ")));
    QVERIFY(r.out.isEmpty());
}

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
