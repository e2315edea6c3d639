// Update files the program was never meant to get, through the real window: each gets its
// own message or a clear one, never a success; the window comes back idle, and memory stays
// bounded by the longest line. (prefs.txt files are test_prefs's.)

#include "window_rig.h"

#include <QProcess>

namespace {

const QString kSuccess = QStringLiteral("Datalogger successfully updated.");
const QString kDownloadError = QStringLiteral("Error encountered while downloading the firmware.");
const QString kWaitingForRestart = QStringLiteral("Waiting for Datalogger to Restart...");
const QString kPathMark = QStringLiteral("<path>");

// A version line, empty lines and the end-of-file record, `lines` lines in all.
QByteArray ManyLines(int lines) {
    return "V2.10\r\n" + QByteArray(lines - 2, '\r') + ":00000001FF\r\n";
}

}  // namespace

class BadInputTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void longLineWithoutLineEnds();
    void updateFiles_data();
    void updateFiles();
};

void BadInputTest::longLineWithoutLineEnds() {
    // 10 MB of text and not one line end, which the bootloader rejects. The file is never
    // held whole; the line is, with its copies on the way out: about seven times the line.
    // The bootloader runs in a process of its own, so that the memory is the program's alone.
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
    // Sent anyway after the question about its records, it is refused by the bootloader.
    rig.answers = {MsgBoxResult::Yes, MsgBoxResult::No};
    bool finished = false;
    const long growthKb = PeakGrowthKb([&] { finished = rig.Update(); });
    QVERIFY(finished);
    QCOMPARE(rig.boxes, QStringList({"Line 1 of the file is not a valid Intel HEX record: it does not begin with "
                                      "\":\" (2 faults in all). Send the file anyway?",
                                      "Checksum error at line 1. Continue with download?"}));
    QVERIFY(rig.Idle());
    bootloader.write("quit\n");
    QVERIFY(bootloader.waitForFinished(10000));
    QVERIFY2(
        growthKb < 8 * kLength / 1024,
        qPrintable(
            QStringLiteral("peak memory grew by %1 MB for a 10 MB line").arg(growthKb / 1024)));
}

void BadInputTest::updateFiles_data() {
    // Folders, empty, version-only and LF-only files (a binary image has a lone LF) are the
    // engine's and the file reader's tests; these need a real file and the whole run. A file
    // that cannot be sent is refused before the port is opened; the file is read again after
    // the handshake, which waits as long as the user takes to restart the datalogger: time
    // enough for it to go away or change its mode.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("box");
    const QString refused = "Error opening " + kPathMark + ".";
    const QByteArray sample = ReadAll(kSample);
    // The line count is 16-bit: too many lines end the run before any record is sent. (At
    // 32,768 the count's last step overflows too; 32,769 needs the first.)
    QTest::newRow("32,769 lines") << ManyLines(32769) << "" << kDownloadError;
    QTest::newRow("32,767 lines") << ManyLines(32767) << "" << kSuccess;
    QTest::newRow("deleted before it is opened") << sample << "delete" << refused;
    QTest::newRow("made unreadable before it is opened") << sample << "chmod" << refused;
    // Not the file the user was shown, though every record of it may be sound.
    QTest::newRow("changed after it was checked") << sample << "append" << refused;
    // The open file keeps its content: the whole file as it was goes out.
    QTest::newRow("deleted after it was opened") << sample << "delete later" << kSuccess;
}

void BadInputTest::updateFiles() {
    QFETCH(QByteArray, content);
    QFETCH(QString, change);
    QFETCH(QString, box);
    bootsim::Options options;
    options.restart_after_ms = 60 * 1000;
    Rig rig(options);
    const QString path = rig.dir.filePath(QStringLiteral("firmware.upd"));
    QVERIFY(WriteFile(path, content));
    rig.SetFile(path);
    const bootsim::MemoryImage image = ImageOf(path);
    // A file that cannot be sent never gets as far as the restart wait.
    if (!change.isEmpty() || !box.startsWith(QLatin1String("Error opening"))) {
        rig.At([&] { return rig.Status() == kWaitingForRestart; },
               [&] {
                   if (change == QLatin1String("delete")) {
                       QVERIFY(QFile::remove(path));
                   } else if (change == QLatin1String("append")) {
                       QFile file(path);
                       QVERIFY(file.open(QIODevice::Append) && file.write("\r\n") == 2);
                   } else if (change == QLatin1String("chmod")) {
                       QVERIFY(QFile::setPermissions(path, {}));
                       QVERIFY2(!QFile(path).open(QIODevice::ReadOnly), "mode 000 does not keep this user out");
                   }
                   rig.sim->Restart();
               });
    }
    if (change == QLatin1String("delete later")) {
        // 20 records received: the file has long been open.
        rig.At([&] { return rig.Stats().records >= 20; }, [&] { QVERIFY(QFile::remove(path)); });
    }
    {
        // As the field engineer's account: root reads a file of mode 000 all the same.
        WithoutCapabilities asUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
        QVERIFY(asUser.ok());
        QVERIFY(rig.Update());
    }
    QCOMPARE(rig.pending, 0);
    box.replace(kPathMark, path);
    QCOMPARE(rig.boxes, QStringList{box});
    // A file the run refuses is named below the message, with the reason.
    if (box.startsWith(QLatin1String("Error opening"))) {
        QVERIFY2(rig.Detail(0).startsWith(path + ": "), qPrintable(rig.Detail(0)));
        QCOMPARE(rig.Detail(0).endsWith("the file changed after it was checked"), change == "append");
    }
    QVERIFY(rig.Idle());
    if (box == kSuccess) {
        QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
        QVERIFY(rig.sim->LastImage() == image);
    } else {
        QCOMPARE(rig.Stats().records + rig.Stats().garbage, std::uint64_t(0));
    }
}

QTEST_MAIN(BadInputTest)
#include "test_faults_bad_input.moc"
