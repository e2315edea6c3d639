// prefs.txt through the real window: what each file gives on start, and what a save writes.

#include "fakes.h"
#include "main_window.h"
#include "prefs_file.h"

#include <QComboBox>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char* const kMissing = "<missing>";

struct Started {
    int index;
    QString path;
    QStringList boxes;  // "style|title|text"
};

Started Start(const QString& prefsPath) {
    Form1 form;
    Started s;
    form.MessageBox = [&s](QWidget*, const QString& text, int style, const QString& title, const QString&) {
        s.boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text);
        return MsgBoxResult::Ok;
    };
    form.SetPrefsPath(prefsPath);
    form.Form_Load();
    s.index = form.findChild<QComboBox*>("Combo1")->currentIndex();
    s.path = form.findChild<QLineEdit*>("Text1")->text();
    return s;
}

QString LoadMessage(const QString& path) {
    return "48|Quorvel|An error occured while loading file " + path +
           ". The default settings will be loaded instead.";
}

}  // namespace

class PrefsTest : public QObject {
    Q_OBJECT
private slots:
    void load_data();
    void load();
    void savedFileReadsBack();
    void failedSaveKeepsTheOldFile();
    void installedCopyKeepsSettingsWithTheUser();

private:
    QTemporaryDir dir_;
};

void PrefsTest::load_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("message");

    // clang-format off
    QTest::newRow("missing")              << QByteArray(kMissing) << 0 << "" << true;
    QTest::newRow("empty")                << QByteArray()         << 0 << "" << true;
    QTest::newRow("only line 1")          << QByteArray("3\r\n")  << 0 << "" << true;
    QTest::newRow("index 8")              << QByteArray("8\r\n\"/fw/a.upd\"\r\n") << 0 << "" << true;
    QTest::newRow("index -2")             << QByteArray("-2\r\n\"/fw/a.upd\"\r\n") << 0 << "" << true;
    QTest::newRow("index -1: no port")    << QByteArray("-1\r\n\"/fw/a.upd\"\r\n") << -1 << "/fw/a.upd" << false;
    QTest::newRow("beyond 16 bits")       << QByteArray("70000\r\n\"/fw/a.upd\"\r\n") << 0 << "" << true;
    QTest::newRow("not a number")         << QByteArray("two\r\n\"/fw/a.upd\"\r\n") << 0 << "" << true;
    QTest::newRow("commas and spaces")    << QByteArray("2\r\n\" a, b ,c \"\r\n") << 2 << " a, b ,c " << false;
    QTest::newRow("empty path")           << QByteArray("5\r\n\"\"\r\n") << 5 << "" << false;
    QTest::newRow("non-ASCII path")       << QString("7\r\n\"/fw/Grüße/ünf.upd\"\r\n").toUtf8() << 7 << "/fw/Grüße/ünf.upd" << false;
    QTest::newRow("quote inside the path") << QByteArray("1\r\n\"/fw/a\"b.upd\"\r\n") << 1 << "/fw/a\"b.upd" << false;
    QTest::newRow("unquoted, LF line ends") << QByteArray("4\n /fw/x.upd \n") << 4 << "/fw/x.upd" << false;
    QTest::newRow("both on one line")     << QByteArray("3,\"/fw/a b.upd\"") << 3 << "/fw/a b.upd" << false;
    QTest::newRow("binary")               << QByteArray("\x00\xff\x13\r\n", 5) << 0 << "" << true;
    // clang-format on
}

void PrefsTest::load() {
    QFETCH(QByteArray, content);
    QFETCH(int, index);
    QFETCH(QString, path);
    QFETCH(bool, message);
    const QString file = dir_.filePath(QTest::currentDataTag() + QStringLiteral(".txt"));
    if (content != kMissing) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    const Started s = Start(file);
    QCOMPARE(s.index, index);
    QCOMPARE(s.path, path);
    QCOMPARE(s.boxes, message ? QStringList{LoadMessage(file)} : QStringList{});
}

void PrefsTest::savedFileReadsBack() {
    const QString file = dir_.filePath(QStringLiteral("saved.txt"));
    const QString path = QStringLiteral("C:\\fw\\logger.upd");
    {
        Form1 form;
        form.SetPrefsPath(file);
        form.MessageBox = [](QWidget*, const QString&, int, const QString&, const QString&) { return MsgBoxResult::Ok; };
        form.Form_Load();
        form.findChild<QComboBox*>("Combo1")->setCurrentIndex(2);
        form.findChild<QLineEdit*>("Text1")->setText(path);
        form.close();
    }
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), QByteArray("2\r\n\"C:\\fw\\logger.upd\"\r\n"));
    const Started s = Start(file);
    QCOMPARE(s.index, 2);
    QCOMPARE(s.path, path);
    QVERIFY(s.boxes.isEmpty());

    // Any index and path the window can hold read back unchanged.
    for (const PrefsRecord& r : {PrefsRecord{-1, ""}, PrefsRecord{7, " ,\"x\", "},
                                 PrefsRecord{0, QString("/ü/ß/€.upd")}}) {
        const std::optional<PrefsRecord> back = ReadPrefs(WritePrefs(r));
        QVERIFY(back);
        QCOMPARE(back->portIndex, r.portIndex);
        QCOMPARE(back->path, r.path);
    }
}

void PrefsTest::failedSaveKeepsTheOldFile() {
    const QString file = dir_.filePath(QStringLiteral("kept.txt"));
    const QByteArray old("6\r\n\"/fw/old.upd\"\r\n");
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(old);
    }
    QStringList boxes;
    auto save = [&](const QString& where) {
        Form1 form;
        form.SetPrefsPath(where);
        form.MessageBox = [&boxes](QWidget*, const QString& text, int style, const QString& title, const QString&) {
            boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text);
            return MsgBoxResult::Ok;
        };
        form.findChild<QLineEdit*>("Text1")->setText(QStringLiteral("/fw/a-much-longer-new-path.upd"));
        form.Form_Unload();
    };

    // A write that fails part way (here: the file size limit, which holds for root too).
    signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 8;
    setrlimit(RLIMIT_FSIZE, &small);
    save(file);
    setrlimit(RLIMIT_FSIZE, &before);
    QCOMPARE(boxes, QStringList{"48|Quorvel|An error occured while saving file " + file});
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), old);

    // A folder that cannot take the file.
    boxes.clear();
    const QString nowhere = dir_.filePath(QStringLiteral("no/such/folder/prefs.txt"));
    save(nowhere);
    QCOMPARE(boxes, QStringList{"48|Quorvel|An error occured while saving file " + nowhere});
}

void PrefsTest::installedCopyKeepsSettingsWithTheUser() {
    QStandardPaths::setTestModeEnabled(true);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    // A portable copy: beside the program.
    QCOMPARE(Form1::PrefsPathFor(dir_.path()), QDir::toNativeSeparators(dir_.filePath("prefs.txt")));
    // A folder the program cannot write to (here: one that is not there at all).
    const QString installed = Form1::PrefsPathFor(dir_.filePath(QStringLiteral("not/there")));
    QCOMPARE(installed, QDir::toNativeSeparators(config + "/prefs.txt"));
    QVERIFY(QFileInfo(config).isDir());
    if (geteuid() != 0) {
        QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::ExeOwner);
        QCOMPARE(Form1::PrefsPathFor(dir_.path()), installed);
        QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

QTEST_MAIN(PrefsTest)
#include "test_prefs.moc"
