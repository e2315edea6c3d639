// Bad input: update files and prefs.txt files the program was never meant to get. Each
// gets its own message or a clear one, never a success; the window comes back idle, and
// memory stays bounded by the longest line.

#include "prefs_file.h"
#include "window_rig.h"

#include <QDir>
#include <QProcess>

#include <fcntl.h>
#include <sys/resource.h>

namespace {

const QString kSuccess = QStringLiteral("Datalogger successfully updated.");
const QString kNoFinalReply = QStringLiteral(
    "Error encountered while updating.  No response from Datalogger at end of file.");
const QString kDownloadError = QStringLiteral("Error encountered while downloading the firmware.");
const QString kWaitingForRestart = QStringLiteral("Waiting for Datalogger to Restart...");
const QString kPathMark = QStringLiteral("<path>");

// Resident memory in kB from /proc/self/status ("VmRSS", "VmHWM").
long StatusKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

// How much the peak resident memory grows while body runs, in kB. The kernel's high-water
// mark is reset first where it can be, so that an earlier peak cannot hide this one.
long PeakGrowthKb(const std::function<void()>& body) {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool reset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const long base = reset ? StatusKb("VmRSS:") : before.ru_maxrss;
    body();
    if (reset) {
        return StatusKb("VmHWM:") - base;
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    return after.ru_maxrss - base;
}

// The same bytes every run: a 64 KB image of the kind a firmware build also leaves behind.
QByteArray BinaryImage() {
    QByteArray bytes;
    quint32 x = 2463534242u;
    for (int i = 0; i < 64 * 1024; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes.append(char(x & 0xFF));
    }
    bytes[0] = '\0';  // not a version line
    return bytes;
}

// A version line, empty lines and the end-of-file record, `lines` lines in all.
QByteArray ManyLines(int lines) {
    return "V2.10\r\n" + QByteArray(lines - 2, '\r') + ":00000001FF\r\n";
}

QByteArray WithLfLineEnds() {
    QByteArray bytes = ReadAll(kSample);
    bytes.replace("\r\n", "\n");
    return bytes;
}

}  // namespace

class BadInputTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void longLineWithoutLineEnds();
    void updateFiles_data();
    void updateFiles();
    void fileChangesDuringTheRun_data();
    void fileChangesDuringTheRun();
    void prefsFiles_data();
    void prefsFiles();
};

void BadInputTest::longLineWithoutLineEnds() {
    // 10 MB of text and not one line end: one line for the program, one unit of garbage for
    // the bootloader, which rejects every send of it. The file is never held whole; the
    // line is, with the copies it takes on its way out (its text at two bytes a character,
    // the bytes for the port, what the driver did not take at once, the port's queue):
    // about seven times the line. The bootloader runs in a process of its own here, so that
    // the memory measured is the program's alone.
    constexpr int kLength = 10 * 1024 * 1024;
    Rig rig;
    QProcess bootloader;
    bootloader.start(QStringLiteral(BOOTLOADER_SIM_EXE), {"--restart-every", "50"});
    QVERIFY(bootloader.waitForReadyRead(10000));
    const QByteArray device = bootloader.readLine().trimmed();
    QVERIFY(device.startsWith("/dev/"));
    qputenv("QUORVEL_COM1", device);
    const QString path = rig.dir.filePath(QStringLiteral("one-line.upd"));
    {
        QByteArray text;
        text.reserve(kLength);
        while (text.size() < kLength) {
            text += "no record, no line end; ";
        }
        text.truncate(kLength);
        QVERIFY(WriteFile(path, text));
    }
    rig.SetFile(path);
    rig.answers = {MsgBoxResult::No};
    bool finished = false;
    const long growthKb = PeakGrowthKb([&] { finished = rig.Update(); });
    QVERIFY(finished);
    QCOMPARE(rig.Texts(), QStringList{"Checksum error at line 1. Continue with download?"});
    QCOMPARE(rig.Outcome(), RunOutcome::Declined);
    QVERIFY(rig.Idle());
    bootloader.write("quit\n");
    QVERIFY(bootloader.waitForFinished(10000));
    QVERIFY2(
        growthKb < 8 * kLength / 1024,
        qPrintable(
            QStringLiteral("peak memory grew by %1 MB for a 10 MB line").arg(growthKb / 1024)));
}

void BadInputTest::updateFiles_data() {
    QTest::addColumn<QByteArray>("content");  // empty with isNull(): a folder by the name
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<std::uint64_t>("units");  // what the bootloader received: records, garbage
    QTest::addColumn<QString>("version");      // the start of the update's version shown
    // A file with nothing to send still gets the final wait: the bootloader, which got no
    // end-of-file record, says nothing, and the run says so.
    // clang-format off
    QTest::newRow("empty") << QByteArray("") << QStringList{kNoFinalReply} << std::uint64_t(0) << "";
    QTest::newRow("only a version line")
        << QByteArray("V3.0\r\n") << QStringList{kNoFinalReply} << std::uint64_t(0) << "V3.0";
    // A line feed alone ends no line, so a record behind one would never go out on its own:
    // such files are refused before anything is sent.
    QTest::newRow("only LF line ends")
        << WithLfLineEnds() << QStringList{"Error opening " + kPathMark + "."} << std::uint64_t(0) << "";
    QTest::newRow("binary") << BinaryImage() << QStringList{"Error opening " + kPathMark + "."} << std::uint64_t(0) << "";
    // The line count is 16-bit: one line too many ends the run before any record is sent.
    QTest::newRow("32,768 lines") << ManyLines(32768) << QStringList{kDownloadError} << std::uint64_t(0) << "";
    QTest::newRow("32,767 lines") << ManyLines(32767) << QStringList{kSuccess} << std::uint64_t(1) << "V2.10";
    QTest::newRow("a folder")
        << QByteArray() << QStringList{"Error opening " + kPathMark + "."} << std::uint64_t(0) << "";
    // clang-format on
}

void BadInputTest::updateFiles() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, boxes);
    QFETCH(std::uint64_t, units);
    QFETCH(QString, version);
    Rig rig;
    const QString path = rig.dir.filePath(QStringLiteral("firmware.upd"));
    if (content.isNull()) {
        QVERIFY(QDir().mkdir(path));
    } else {
        QVERIFY(WriteFile(path, content));
    }
    rig.SetFile(path);
    rig.answers = {MsgBoxResult::No};
    QVERIFY(rig.Update());
    boxes.replaceInStrings(kPathMark, path);
    QCOMPARE(rig.Texts(), boxes);
    // A file the run refuses is named below the message, with the reason.
    if (boxes.first().startsWith(QLatin1String("Error opening"))) {
        QVERIFY2(rig.Detail(0).startsWith(path + ": "), qPrintable(rig.Detail(0)));
    }
    QVERIFY(rig.Idle());
    QCOMPARE(rig.Stats().records + rig.Stats().garbage, units);
    if (!version.isEmpty()) {
        QVERIFY(rig.Label("Label18").startsWith("Update firmware version: " + version));
    }
}

void BadInputTest::fileChangesDuringTheRun_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("message");
    QTest::newRow("deleted before it is opened") << "delete"
                                                 << "Error opening " + kPathMark + ".";
    QTest::newRow("made unreadable before it is opened") << "chmod"
                                                         << "Error opening " + kPathMark + ".";
    // The open file keeps its content: the whole file as it was goes out.
    QTest::newRow("deleted after it was opened") << "delete later" << kSuccess;
}

void BadInputTest::fileChangesDuringTheRun() {
    // The file is opened after the handshake, which waits as long as the user takes to
    // restart the datalogger: time enough for the file to go away or change its mode.
    QFETCH(QString, change);
    QFETCH(QString, message);
    bootsim::Options options;
    options.restart_after_ms = 60 * 1000;
    Rig rig(options);
    const QString path = rig.dir.filePath(QStringLiteral("firmware.upd"));
    QVERIFY(QFile::copy(kSample, path));
    rig.SetFile(path);
    const bootsim::MemoryImage image = ImageOf(path);
    if (change == QLatin1String("delete later")) {
        rig.At([&] { return rig.Status() == kWaitingForRestart; }, [&] { rig.sim->Restart(); });
        rig.At([&] { return rig.AfterLine(20); }, [&] { QVERIFY(QFile::remove(path)); });
    } else {
        rig.At([&] { return rig.Status() == kWaitingForRestart; },
               [&] {
                   if (change == QLatin1String("delete")) {
                       QVERIFY(QFile::remove(path));
                   } else {
                       QVERIFY(QFile::setPermissions(path, {}));
                       QVERIFY2(!QFile(path).open(QIODevice::ReadOnly),
                                "mode 000 does not keep this user out");
                   }
                   rig.sim->Restart();
               });
    }
    {
        // As the field engineer's account: root reads a file of mode 000 all the same.
        WithoutCapabilities asUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
        QVERIFY(asUser.ok());
        QVERIFY(rig.Update());
    }
    QCOMPARE(rig.pending, 0);
    QCOMPARE(rig.Texts(), QStringList{QString(message).replace(kPathMark, path)});
    QVERIFY(rig.Idle());
    if (message == kSuccess) {
        QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
        QVERIFY(rig.sim->LastImage() == image);
    } else {
        QCOMPARE(rig.Outcome(), RunOutcome::FileOpenFailure);
        QCOMPARE(rig.Stats().records, std::uint64_t(0));
    }
}

void BadInputTest::prefsFiles_data() {
    QTest::addColumn<QByteArray>("content");  // null: a folder by the name
    QTest::addColumn<int>("mode");            // -1: as written
    QTest::addColumn<bool>("loadMessage");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("saveMessage");
    // clang-format off
    QTest::newRow("truncated before the first line end") << QByteArray("2") << -1 << true << 0 << "" << false;
    QTest::newRow("truncated inside the path") << QByteArray("2\r\n\"/fw/logg") << -1 << false << 2 << "/fw/logg" << false;
    QTest::newRow("control bytes in the path")
        << QByteArray("3\r\n\"/fw/a\x13\x01" "b.upd\"\r\n") << -1 << false << 3 << "/fw/a\x13\x01" "b.upd" << false;
    QTest::newRow("unreadable") << QByteArray("4\r\n\"/fw/a.upd\"\r\n") << 0 << true << 0 << "" << false;
    QTest::newRow("a folder") << QByteArray() << -1 << true << 0 << "" << true;
    QTest::newRow("1 GiB, sparse") << QByteArray("huge") << -1 << true << 0 << "" << false;
    // clang-format on
}

void BadInputTest::prefsFiles() {
    // Whatever prefs.txt holds, the window starts with its values or with the defaults and
    // the message, and its exit leaves a prefs.txt that reads back as what it showed, so a
    // damaged file is mended rather than kept.
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(bool, loadMessage);
    QFETCH(int, index);
    QFETCH(QString, path);
    QFETCH(bool, saveMessage);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("prefs.txt"));
    if (content.isNull()) {
        QVERIFY(QDir().mkdir(file));
    } else if (content == "huge") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(1) << 30));
    } else {
        QVERIFY(WriteFile(file, content));
    }
    if (mode >= 0) {
        QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(mode)));
    }
    QStringList boxes;
    long growthKb = 0;
    {
        WithoutCapabilities asUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
        QVERIFY(asUser.ok());
        Form1 form;
        form.MessageBox = [&boxes](QWidget*, const QString& text, int, const QString&, const QString&) {
            boxes << text;
            return MsgBoxResult::Ok;
        };
        form.SetPrefsPath(file);
        growthKb = PeakGrowthKb([&] { form.Form_Load(); });
        QCOMPARE(form.findChild<QComboBox*>("Combo1")->currentIndex(), index);
        QCOMPARE(form.findChild<QLineEdit*>("Text1")->text(), path);
        QCOMPARE(boxes, loadMessage ? QStringList{"An error occured while loading file " + file +
                                                  ". The default settings will be loaded instead."}
                                    : QStringList{});
        boxes.clear();
        form.close();
    }
    QCOMPARE(boxes, saveMessage ? QStringList{"An error occured while saving file " + file}
                                : QStringList{});
    QVERIFY2(growthKb < 8 * 1024,
             qPrintable(QStringLiteral("%1 kB for a prefs.txt").arg(growthKb)));
    if (!saveMessage) {
        const std::optional<PrefsRecord> saved = ReadPrefs(ReadAll(file));
        QVERIFY(saved);
        QCOMPARE(int(saved->portIndex), index);
        QCOMPARE(saved->path, path);
    }
}

QTEST_MAIN(BadInputTest)
#include "test_faults_bad_input.moc"
