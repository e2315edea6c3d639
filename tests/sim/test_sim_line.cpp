// The simulator on its pseudo-terminal, against a host on the slave side. What only the
// line shows: its pace, the host's flow control, the hang-up, the trace, the link, and a
// thread that does not spin while nobody has the port open.

#include "bootloader_sim.h"
#include "command_line.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Generous: a reply that should come at once may take this long on a loaded machine.
constexpr int kReplyMs = 5000;

class Host {
public:
    // The simulator has made the line raw already.
    explicit Host(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~Host() { ::close(fd_); }
    void Send(const std::string& s) {
        QCOMPARE(::write(fd_, s.data(), s.size()), ssize_t(s.size()));
    }
    // Reads until `last` arrives or nothing comes for ms; "!" when the line hung up.
    std::string ReadThrough(char last, int ms = kReplyMs) {
        std::string got;
        pollfd p{fd_, POLLIN, 0};
        char c;
        while (got.find(last) == std::string::npos && ::poll(&p, 1, ms) == 1) {
            if (!(p.revents & POLLIN) || ::read(fd_, &c, 1) != 1) {
                return got + "!";
            }
            got.push_back(c);
        }
        return got;
    }

private:
    int fd_;
};

const std::string kLine1 = ":020000040001F9";  // the base moves to 0x10000
const std::string kEnd = ":00000001FF";

}  // namespace

class LineTest : public QObject {
    Q_OBJECT
private slots:
    void sessionOnTheLine();
    void exchanges_data();
    void exchanges();
};

// A short session: the trace as it went, final tokens that wait behind later restarts for
// a host that reads them late, an idle thread while the port is closed, and the link.
void LineTest::sessionOnTheLine() {
    QTemporaryDir dir;
    bootsim::Options o;
    o.trace_path = dir.filePath("trace.txt").toStdString();
    o.link_path = dir.filePath("com1").toStdString();
    o.restart_every_ms = 30;
    bootsim::Simulator sim(o);
    sim.Start();
    {
        Host host(o.link_path);
        host.ReadThrough('^');
        host.Send("@&$");
        QVERIFY(host.ReadThrough('?').find("BOOT V1.30|2.05?") != std::string::npos);
        host.Send(kLine1);
        QCOMPARE(host.ReadThrough('~'), std::string("~"));
        host.Send(kEnd);
        QVERIFY(sim.WaitForSessions(1, milliseconds(kReplyMs)));
        std::this_thread::sleep_for(milliseconds(150));  // the datalogger restarts meanwhile
        QCOMPARE(host.ReadThrough('#'), std::string("@#"));
    }
    const std::uint64_t cpuBefore = sim.GetStats().cpu_us;
    std::this_thread::sleep_for(milliseconds(200));
    QVERIFY(sim.GetStats().cpu_us - cpuBefore < 100000);
    sim.Stop();
    QVERIFY(!QFileInfo(dir.filePath("com1")).isSymLink());

    QStringList trace;
    std::ifstream in(o.trace_path);
    for (std::string line; std::getline(in, line);) {
        trace << QString::fromStdString(line).section(' ', 1);  // without the time
    }
    // clang-format off
    const QStringList expected = {"RX @&$", "-- handshake: version record BOOT V1.30|2.05?",
        "TX BOOT V1.30|2.05?", "RX :020000040001F9", "TX ~", "RX :00000001FF", "TX @#",
        "-- session 1 complete: update OK, 2 lines, 2 records", "-- restart (repeated every 30 ms until a ready request)", "TX ^"};
    // clang-format on
    QCOMPARE(trace.mid(trace.indexOf("RX @&$"), expected.size()), expected);
}

void LineTest::exchanges_data() {
    QTest::addColumn<QString>("options");  // as the command takes them
    // >bytes the host sends, <bytes it reads, . nothing comes for a while, ! the line hangs up
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("usPerByte");  // no reply comes sooner after the send
    const QString v = "<BOOT V1.30|2.05?";
    // clang-format off
    // Paced, a reply takes as long as the request's bytes and its own on the wire.
    QTest::newRow("a paced line") << "--pace-baud 9600" << QStringList{">@&$", v, ">:0300300002337A1E", "<~"} << 1041;
    // The host's XOFF holds the replies and its XON lets them go; neither is data, even in
    // the middle of a record.
    QTest::newRow("the host's flow control") << ""
        << QStringList{">@&$", v, ">:0300300\x13" "002337A1E", ".", ">\x11", "<~"} << 0;
    QTest::newRow("a hang-up") << "--fault hangup@2" << QStringList{">@&$", v, ">:020000040001F9", "<~", ">:0300300002337A1E", "!"} << 0;
    // clang-format on
}

void LineTest::exchanges() {
    QFETCH(QString, options);
    QFETCH(QStringList, steps);
    QFETCH(int, usPerByte);
    QTemporaryDir dir;
    std::vector<std::string> args = {"--link", dir.filePath("com1").toStdString()};
    for (const QString& a : options.split(' ', Qt::SkipEmptyParts)) {
        args.push_back(a.toStdString());
    }
    bootsim::Simulator sim(bootsim::ParseArgs(args).sim);
    sim.Start();
    Host host(args[1]);
    sim.Restart();
    QCOMPARE(host.ReadThrough('^'), std::string("^"));
    auto sent = Clock::now();
    std::size_t bytes = 0;
    for (const QString& step : steps) {
        const std::string text = step.mid(1).toStdString();
        if (step[0] == '>') {
            host.Send(text);
            sent = Clock::now();
            bytes = text.size();
        } else if (step[0] == '<') {
            QCOMPARE(host.ReadThrough(text.back()), text);
            const auto took = Clock::now() - sent;
            QVERIFY(took >= std::chrono::microseconds(usPerByte * long(bytes + text.size())));
        } else {
            const bool quiet = step == ".";
            QCOMPARE(host.ReadThrough('~', quiet ? 200 : kReplyMs), std::string(quiet ? "" : "!"));
        }
    }
    if (steps.last() == "!") {
        QVERIFY(sim.WaitUntilFinished(milliseconds(kReplyMs)));
        QCOMPARE(sim.GetStats().state, bootsim::LoaderState::HungUp);
        QVERIFY(!QFileInfo(dir.filePath("com1")).isSymLink());  // the link goes with the line
    }
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    LineTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_line.moc"
