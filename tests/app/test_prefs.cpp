// prefs.txt through the real window: what each file gives on start, and what a save writes.

#include "fakes.h"
#include "main_window.h"
#include "prefs_file.h"

#include <QComboBox>
#include <QLineEdit>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char* const kMissing = "<missing>";

struct Started {
    int index;
    QString path;
    QStringList boxes;  // "style|title|text"
    QStringList details;
};

Started Start(const QString& prefsPath) {
    Form1 form;
    Started s;
    form.MessageBox = [&s](QWidget*, const QString& text, int style, const QString& title, const QString& detail) {
        s.boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text);
        s.details << detail;
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
    void installedCopyKeepsSettingsWithTheUser_data();
    void installedCopyKeepsSettingsWithTheUser();
    void installedCopyStartsFromTheFileBesideIt();

private:
    QTemporaryDir dir_;
};

void PrefsTest::load_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("why");  // empty: no message; else what the box says below it

    const QString unread = QStringLiteral("does not hold a port number and a quoted file name");
    // clang-format off
    QTest::newRow("missing")              << QByteArray(kMissing) << 0 << "" << "No such file";
    QTest::newRow("empty")                << QByteArray()         << 0 << "" << unread;
    QTest::newRow("only line 1")          << QByteArray("3\r\n")  << 0 << "" << unread;
    QTest::newRow("index 8")              << QByteArray("8\r\n\"/fw/a.upd\"\r\n") << 0 << "" << "the port index 8 is not one of -1 to 7";
    QTest::newRow("index -2")             << QByteArray("-2\r\n\"/fw/a.upd\"\r\n") << 0 << "" << "the port index -2 is not";
    QTest::newRow("index -1: no port")    << QByteArray("-1\r\n\"/fw/a.upd\"\r\n") << -1 << "/fw/a.upd" << "";
    QTest::newRow("beyond 16 bits")       << QByteArray("70000\r\n\"/fw/a.upd\"\r\n") << 0 << "" << unread;
    QTest::newRow("not a number")         << QByteArray("two\r\n\"/fw/a.upd\"\r\n") << 0 << "" << unread;
    QTest::newRow("commas and spaces")    << QByteArray("2\r\n\" a, b ,c \"\r\n") << 2 << " a, b ,c " << "";
    QTest::newRow("empty path")           << QByteArray("5\r\n\"\"\r\n") << 5 << "" << "";
    QTest::newRow("non-ASCII path")       << QString("7\r\n\"/fw/Grüße/ünf.upd\"\r\n").toUtf8() << 7 << "/fw/Grüße/ünf.upd" << "";
    QTest::newRow("quote inside the path") << QByteArray("1\r\n\"/fw/a\"b.upd\"\r\n") << 1 << "/fw/a\"b.upd" << "";
    QTest::newRow("unquoted, LF line ends") << QByteArray("4\n /fw/x.upd \n") << 4 << "/fw/x.upd" << "";
    QTest::newRow("both on one line")     << QByteArray("3,\"/fw/a b.upd\"") << 3 << "/fw/a b.upd" << "";
    QTest::newRow("binary")               << QByteArray("\x00\xff\x13\r\n", 5) << 0 << "" << unread;
    // clang-format on
}

void PrefsTest::load() {
    QFETCH(QByteArray, content);
    QFETCH(int, index);
    QFETCH(QString, path);
    QFETCH(QString, why);
    const QString file = dir_.filePath(QTest::currentDataTag() + QStringLiteral(".txt"));
    if (content != kMissing) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    const Started s = Start(file);
    QCOMPARE(s.index, index);
    QCOMPARE(s.path, path);
    QCOMPARE(s.boxes, why.isEmpty() ? QStringList{} : QStringList{LoadMessage(file)});
    if (!why.isEmpty()) {
        QVERIFY2(s.details.value(0).startsWith(file + ": ") && s.details.value(0).contains(why),
                 qPrintable(s.details.value(0)));
    }
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
    // An edited path is written as edited, not as the bytes it was read from.
    for (const PrefsRecord& r : {PrefsRecord{-1, "", ""}, PrefsRecord{7, " ,\"x\", ", ""},
                                 PrefsRecord{0, QString("/ü/ß/€.upd"), ""},
                                 PrefsRecord{1, "/new.upd", "/old/\xfc.upd"}}) {
        const std::optional<PrefsRecord> back = ReadPrefs(WritePrefs(r));
        QVERIFY(back);
        QCOMPARE(back->portIndex, r.portIndex);
        QCOMPARE(back->path, r.path);
    }

    // A path in another 8-bit encoding (Latin-1 here), which UTF-8 cannot decode, is written
    // back byte for byte.
    const QByteArray latin1("3\r\n\"/fw/Gr\xfc\xdf" "e.upd\"\r\n");
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(latin1);
    }
    QCOMPARE(Start(file).boxes, QStringList());
    {
        Form1 form;
        form.SetPrefsPath(file);
        form.Form_Load();
        form.close();
    }
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), latin1);
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
        form.MessageBox = [&boxes](QWidget*, const QString& text, int style, const QString& title,
                                   const QString& detail) {
            boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text) << detail;
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
    QCOMPARE(boxes.value(0), "48|Quorvel|An error occured while saving file " + file);
    // Below it, the file and the system's reason.
    QVERIFY2(boxes.value(1).startsWith(file + ": ") && boxes.value(1).size() > file.size() + 2,
             qPrintable(boxes.value(1)));
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), old);

    // A folder that cannot be made: a file stands in its place.
    boxes.clear();
    const QString nowhere = dir_.filePath(QStringLiteral("kept.txt/folder/prefs.txt"));
    save(nowhere);
    QCOMPARE(boxes.value(0), "48|Quorvel|An error occured while saving file " + nowhere);
}

void PrefsTest::installedCopyKeepsSettingsWithTheUser_data() {
    QTest::addColumn<QString>("programDir");  // "~" is a writable folder of the test's own
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("kept");  // beside the program, with the user, or in root's home

    // clang-format off
    QTest::newRow("portable copy")               << "~"              << ""          << "beside";
    QTest::newRow("in /usr/local/bin")           << "/usr/local/bin" << ""          << "user";
    QTest::newRow("in /opt")                     << "/opt"           << ""          << "user";
    QTest::newRow("in a folder that is not there") << "~/not/there"  << ""          << "user";
    QTest::newRow("in a read-only folder")       << "~"              << "read-only" << "user";
    QTest::newRow("as root with a user's HOME")  << "/usr/local/bin" << "sudo -E"   << "root";
    // clang-format on
}

void PrefsTest::installedCopyKeepsSettingsWithTheUser() {
    QFETCH(QString, programDir);
    QFETCH(QString, setting);
    QFETCH(QString, kept);
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir own;
    QVERIFY(own.isValid());
    programDir.replace('~', own.path());
    // HOME is a folder of the user the test runs as, or for sudo -E, of another user.
    const QString home = own.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    const QByteArray homeBefore = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    auto restore = qScopeGuard([&] {
        qputenv("HOME", homeBefore);
        QFile::setPermissions(own.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        umount(QFile::encodeName(own.path()).constData());
    });
    const QString userConfig = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);

    if (setting == QLatin1String("read-only")) {
        if (geteuid() != 0) {
            QFile::setPermissions(own.path(), QFile::ReadOwner | QFile::ExeOwner);
        } else {
            // Root writes any folder but one on a read-only mount: bind the folder onto
            // itself read-only, in a mount namespace of this process alone.
            const QByteArray dir = QFile::encodeName(own.path());
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(dir.constData(), dir.constData(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, dir.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                      nullptr) != 0) {
                QSKIP("no read-only mount can be made here");
            }
        }
    } else if (setting == QLatin1String("sudo -E")) {
        if (geteuid() != 0) {
            QSKIP("only root can run with another user's HOME");
        }
        QCOMPARE(chown(QFile::encodeName(home).constData(), 65534, 65534), 0);
    }

    const Form1::PrefsPlace place = Form1::PrefsPlaceFor(programDir);
    const QString beside = QDir::toNativeSeparators(programDir + "/prefs.txt");
    if (kept == QLatin1String("beside")) {
        QCOMPARE(place.file, beside);
        QCOMPARE(place.seed, QString());
        return;
    }
    const QString folder = kept == QLatin1String("user")
                               ? userConfig
                               : QString::fromLocal8Bit(getpwuid(0)->pw_dir) + "/.config/" +
                                     QCoreApplication::applicationName();
    QCOMPARE(place.file, QDir::toNativeSeparators(folder + "/prefs.txt"));
    QCOMPARE(place.seed, beside);
}

void PrefsTest::installedCopyStartsFromTheFileBesideIt() {
    // The first start reads the file beside the program and saves to the configuration
    // folder, which it makes; the file beside the program stays as it was.
    const QString seed = dir_.filePath(QStringLiteral("beside.txt"));
    const QString file = dir_.filePath(QStringLiteral("config/Quorvel/prefs.txt"));
    const QByteArray seedContent("3\r\n\"/fw/beside.upd\"\r\n");
    {
        QFile out(seed);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(seedContent);
    }
    auto start = [&](const QString& newPath) {
        Form1 form;
        QStringList boxes;
        form.MessageBox = [&boxes](QWidget*, const QString& text, int, const QString&, const QString&) {
            boxes << text;
            return MsgBoxResult::Ok;
        };
        form.SetPrefsPlace({file, seed});
        form.Form_Load();
        auto* text1 = form.findChild<QLineEdit*>("Text1");
        const QString started = QString::number(form.findChild<QComboBox*>("Combo1")->currentIndex()) +
                                " " + text1->text() + boxes.join('|');
        text1->setText(newPath);
        form.close();
        return started;
    };
    QCOMPARE(start(QStringLiteral("/fw/saved.upd")), QStringLiteral("3 /fw/beside.upd"));
    // Once saved, the configuration folder's file is the one read.
    QCOMPARE(start(QStringLiteral("/fw/saved.upd")), QStringLiteral("3 /fw/saved.upd"));
    QFile in(seed);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), seedContent);
}

QTEST_MAIN(PrefsTest)
#include "test_prefs.moc"
