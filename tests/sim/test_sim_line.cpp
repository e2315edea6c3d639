// The simulator on its pseudo-terminal, against a host on the slave side. What only the
// line shows: its pace, the host's flow control, the hang-up, the byte trace and the link.

#include "bootloader_sim.h"
#include "command_line.h"
#include "trace.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>

using std::chrono::milliseconds;

namespace {

// Generous: a reply that should come at once may take this long on a loaded machine.
constexpr int kReplyMs = 5000;

// Bytes in one direction, however many reads or writes they took, are one entry.
void Add(QStringList& transcript, const QString& tag, const QString& bytes) {
    if (!transcript.isEmpty() && transcript.last().startsWith(tag)) {
        transcript.last() += bytes;
    } else {
        transcript << tag + bytes;
    }
}

}  // namespace

class LineTest : public QObject {
    Q_OBJECT
private slots:
    void exchanges_data();
    void exchanges();
};

void LineTest::exchanges_data() {
    QTest::addColumn<QString>("options");  // as the command takes them
    // >bytes the host sends, <bytes it reads, . a second XOFF (the reply stays held), ! the
    // line hangs up
    QTest::addColumn<QStringList>("steps");
    const QString v = "<BOOT V1.30|2.05?";
    // clang-format off
    // Paced at 57600 baud, a reply takes as long as the request's bytes and its own on the wire.
    QTest::newRow("a paced line") << "--pace" << QStringList{">@&$", v, ">:0300300002337A1E", "<~", ">:00000001FF", "<@#"};
    // The host's XOFF holds the replies and its XON lets them go; neither is data, even in
    // the middle of a record.
    QTest::newRow("the host's flow control") << "" << QStringList{">@&$", v, ">:0300300\x13" "002337A1E", ".", ">\x11", "<~"};
    QTest::newRow("a hang-up") << "--fault hangup@2" << QStringList{">@&$", v, ">:020000040001F9", "<~", ">:0300300002337A1E", "!"};
    // clang-format on
}

void LineTest::exchanges() {
    QFETCH(QString, options);
    QFETCH(QStringList, steps);
    const int usPerByte = options == "--pace" ? 173 : 0;  // 57600 baud: no reply comes sooner
    QTemporaryDir dir;
    const QString link = dir.filePath("com1"), trace = dir.filePath("trace");
    const std::string writeLog = dir.filePath("writes").toStdString();
    std::vector<std::string> args = {
        "--link", link.toStdString(), "--trace", trace.toStdString(), "--write-log", writeLog};
    for (const QString& a : options.split(' ', Qt::SkipEmptyParts)) {
        args.push_back(a.toStdString());
    }
    bootsim::Simulator sim(bootsim::ParseArgs(args).sim);
    sim.Start();
    const int fd = ::open(args[1].c_str(), O_RDWR | O_NOCTTY);  // the simulator made it raw
    // Reads until `last` arrives or nothing comes for ms; "!" when the line hung up.
    auto read = [fd](char last, int ms) {
        std::string got;
        pollfd p{fd, POLLIN, 0};
        for (char c; got.find(last) == std::string::npos && ::poll(&p, 1, ms) == 1; got += c) {
            if (!(p.revents & POLLIN) || ::read(fd, &c, 1) != 1) {
                return got + "!";
            }
        }
        return got;
    };
    sim.Restart();
    QCOMPARE(read('^', kReplyMs), std::string("^"));
    QStringList expected = {"TX ^"};
    std::uint64_t written = 0, readBack = 1;  // bytes each way so far
    std::string record, writes;  // the last one sent, and those accepted as the session ends
    for (const QString& step : steps) {
        const std::string text = step == "." ? "\x13" : step.mid(1).toStdString();
        const auto send = [&] {
            written += text.size();
            Add(expected, "RX ", bootsim::EscapeBytes(text).c_str());
            return ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        };
        if (step[0] == '>') {
            QVERIFY(send());
            record = QString::fromStdString(text).remove('\x13').remove('\x11').toStdString();
        } else if (step[0] == '<') {
            QCOMPARE(read(text.back(), kReplyMs), text);
            readBack += text.size();
            Add(expected, "TX ", bootsim::EscapeBytes(text).c_str());
            writes += text[0] == '~' || text[0] == '@' ? record + '\n' : "";
        } else if (step == ".") {
            // The reply is due, and held. A second XOFF, once counted, shows that the simulator
            // has been round its loop since it queued the reply: nothing went out.
            QTRY_VERIFY_WITH_TIMEOUT(sim.GetStats().acks == 1, kReplyMs);
            QVERIFY(send());
            QTRY_VERIFY_WITH_TIMEOUT(sim.GetStats().bytes_received == written, kReplyMs);
            QCOMPARE(sim.GetStats().bytes_sent, readBack);
        } else {
            QCOMPARE(read('~', kReplyMs), std::string("!"));
        }
    }
    const bool hungUp = steps.last() == "!";
    QCOMPARE(sim.WaitUntilFinished(milliseconds(hungUp ? kReplyMs : 0)), hungUp);
    QCOMPARE(QFileInfo(link).isSymLink(), !hungUp);  // the link goes with the line
    ::close(fd);
    sim.Stop();
    QVERIFY(!QFileInfo(link).isSymLink());

    QStringList got;  // the trace without the times and the events
    QList<qint64> ends;  // when each entry's last bytes went
    std::ifstream in(trace.toStdString());
    for (std::string line; std::getline(in, line);) {
        const QString entry = QString::fromStdString(line), tag = entry.section(' ', 1, 1);
        if (tag == "RX" || tag == "TX") {
            ends.resize(got.size() + (got.isEmpty() || !got.last().startsWith(tag)));
            Add(got, tag + ' ', entry.section(' ', 2));
            ends.last() = entry.section(' ', 0, 0).toLongLong();
        }
    }
    QCOMPARE(got, expected);
    // Paced, each entry ends no sooner than a byte time per byte after the one it answers
    // (the trace stamps received bytes with the time their last bit came in).
    for (qsizetype i = 1; i < got.size(); ++i) {
        QVERIFY2(ends[i] - ends[i - 1] >= usPerByte * (got[i].size() - 3), qPrintable(got[i]));
    }
    std::string log;  // written when a session ends, and only then
    QCOMPARE(bootsim::ReadFile(writeLog, log), steps.last() == "<@#");
    QCOMPARE(log, steps.last() == "<@#" ? writes : "");
}

// Spelled out rather than QTEST_APPLESS_MAIN, which clang's -Wpedantic rejects.
int main(int argc, char** argv) {
    LineTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_sim_line.moc"
