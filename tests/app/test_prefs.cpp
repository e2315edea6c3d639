// prefs.txt through the real window: what each file gives on start, and what a save writes.

#include "prefs_file.h"
#include "window_rig.h"

#include <QScopeGuard>
#include <QStandardPaths>

#include <csignal>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {

// Contents that are no bytes to write.
const QByteArray kMissing("<missing>");
const QByteArray kFolder("<folder>");
const QByteArray kUnreadable("<mode 000>");
const QByteArray kHuge("<1 GiB, sparse>");
const QByteArray kLocked("<in a folder of mode 000>");
const QByteArray kDangling("<a link to nothing>");

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
    // Nothing at the path: no settings were ever saved, so a first start is no failure.
    QTest::newRow("missing")              << kMissing             << 0 << "" << "";
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
    QTest::newRow("truncated inside the path") << QByteArray("2\r\n\"/fw/logg") << 2 << "/fw/logg" << "";
    QTest::newRow("control bytes in the path")
        << QByteArray("3\r\n\"/fw/a\x13\x01" "b.upd\"\r\n") << 3 << "/fw/a\x13\x01" "b.upd" << "";
    // As a user's account: root reads a file of mode 000 all the same.
    QTest::newRow("unreadable")           << kUnreadable          << 0 << "" << "Permission denied";
    QTest::newRow("a folder")             << kFolder              << 0 << "" << "is a directory";
    // A link whose file has gone is something there all the same.
    QTest::newRow("a link to nothing")    << kDangling            << 0 << "" << "No such file";
    QTest::newRow("1 GiB, sparse")        << kHuge                << 0 << "" << "larger than";
    // An installed copy's first start reads the file beside the program and saves to the
    // configuration folder, which it makes; once saved, that folder's file is the one read.
    QTest::newRow("installed, first start") << kMissing           << 3 << "/fw/beside.upd" << "";
    QTest::newRow("installed, first start, nothing beside it") << kMissing << 0 << "" << "";
    QTest::newRow("installed, once saved") << QByteArray("5\r\n\"/fw/saved.upd\"\r\n") << 5 << "/fw/saved.upd" << "";
    // The saved file may well be there, behind a folder the program cannot search.
    QTest::newRow("installed, folder locked") << kLocked          << 0 << "" << "Permission denied";
    // clang-format on
}

void PrefsTest::load() {
    // Whatever prefs.txt holds, the window starts with its values or with the defaults and
    // the message, reading no more than a small file's worth; its exit leaves a prefs.txt
    // that reads back as what it showed, so a damaged file is mended rather than kept.
    QFETCH(QByteArray, content);
    QFETCH(int, index);
    QFETCH(QString, path);
    QFETCH(QString, why);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString file = dir_.filePath(tag + (tag.startsWith("installed") ? "/Quorvel/prefs.txt" : ".txt"));
    const QString seed = dir_.filePath(tag + ".beside.txt");  // the file beside an installed copy
    const QByteArray seedContent(tag.endsWith("nothing beside it") ? ""
                                                                   : "3\r\n\"/fw/beside.upd\"\r\n");
    if (tag.startsWith("installed")) {
        QVERIFY((seedContent.isEmpty() || WriteFile(seed, seedContent)) &&
                (content == kMissing || QDir().mkpath(QFileInfo(file).path())));
    }
    if (content == kFolder) {
        QVERIFY(QDir().mkdir(file));
    } else if (content == kDangling) {
        QVERIFY(QFile::link(file + ".gone", file));
    } else if (content == kHuge) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(qint64(1) << 30));
    } else if (content != kMissing) {
        QVERIFY(WriteFile(file, content == kUnreadable || content == kLocked
                                    ? "4\r\n\"/fw/a.upd\"\r\n"
                                    : content));
        QVERIFY(content != kUnreadable || QFile::setPermissions(file, {}));
        QVERIFY(content != kLocked || QFile::setPermissions(QFileInfo(file).path(), {}));
    }
    auto unlock = qScopeGuard([&] {
        QFile::setPermissions(QFileInfo(file).path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    QStringList boxes;
    QStringList details;
    {
        WithoutCapabilities asUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
        QVERIFY(asUser.ok());
        Form1 form;
        form.MessageBox = [&](QWidget*, const QString& text, int style, const QString& title, const QString& detail) {
            boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text);
            details << detail;
            return MsgBoxResult::Ok;
        };
        form.SetPrefsPlace({file, tag.startsWith("installed") ? seed : QString()});
        const long growthKb = PeakGrowthKb([&] { form.Form_Load(); });
        QVERIFY2(growthKb < 8 * 1024, qPrintable(QStringLiteral("%1 kB for a prefs.txt").arg(growthKb)));
        QCOMPARE(form.findChild<QComboBox*>("Combo1")->currentIndex(), index);
        QCOMPARE(form.findChild<QLineEdit*>("Text1")->text(), path);
        QCOMPARE(boxes, why.isEmpty() ? QStringList{} : QStringList{LoadMessage(file)});
        QVERIFY2(why.isEmpty() || (details.value(0).startsWith(file + ": ") && details.value(0).contains(why)),
                 qPrintable(details.value(0)));
        boxes.clear();
        form.close();
    }
    if (content == kFolder || content == kLocked) {
        QCOMPARE(boxes, QStringList{"48|Quorvel|An error occured while saving file " + file});
        return;
    }
    QCOMPARE(boxes, QStringList{});
    const std::optional<PrefsRecord> saved = ReadPrefs(ReadAll(file));
    QVERIFY(saved);
    QCOMPARE(int(saved->portIndex), index);
    QCOMPARE(saved->path, path);
    // Nothing is ever written beside an installed copy.
    QVERIFY(!tag.startsWith("installed") ||
            (seedContent.isEmpty() ? !QFileInfo::exists(seed) : ReadAll(seed) == seedContent));
}

void PrefsTest::savedFileReadsBack() {
    // The exit writes CR LF line ends and the path in quotes; a path in another 8-bit encoding
    // (Latin-1 here), which UTF-8 cannot decode, goes back byte for byte.
    const QString file = dir_.filePath(QStringLiteral("saved.txt"));
    auto startAndExit = [&](int index, const QString& path) {
        Form1 form;
        form.MessageBox = [](QWidget*, const QString&, int, const QString&, const QString&) { return MsgBoxResult::Ok; };
        form.SetPrefsPath(file);
        form.Form_Load();
        if (index >= 0) {
            form.findChild<QComboBox*>("Combo1")->setCurrentIndex(index);
            form.findChild<QLineEdit*>("Text1")->setText(path);
        }
        form.close();
        return ReadAll(file);
    };
    QCOMPARE(startAndExit(2, QStringLiteral("C:\\fw\\logger.upd")), QByteArray("2\r\n\"C:\\fw\\logger.upd\"\r\n"));
    const QByteArray latin1("3\r\n\"/fw/Gr\xfc\xdf" "e.upd\"\r\n");
    QVERIFY(WriteFile(file, latin1));
    QCOMPARE(startAndExit(-2, QString()), latin1);

    // An edited path is written as edited, not as the bytes it was read from.
    const std::optional<PrefsRecord> back = ReadPrefs(WritePrefs({1, "/new.upd", "/old/\xfc.upd"}));
    QVERIFY(back && back->portIndex == 1 && back->path == QLatin1String("/new.upd"));
}

void PrefsTest::failedSaveKeepsTheOldFile() {
    const QString file = dir_.filePath(QStringLiteral("kept.txt"));
    const QByteArray old("6\r\n\"/fw/old.upd\"\r\n");
    QVERIFY(WriteFile(file, old));
    QStringList boxes;
    Form1 form;
    form.SetPrefsPath(file);
    form.MessageBox = [&boxes](QWidget*, const QString& text, int style, const QString& title, const QString& detail) {
        boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text) << detail;
        return MsgBoxResult::Ok;
    };
    form.findChild<QLineEdit*>("Text1")->setText(QStringLiteral("/fw/a-much-longer-new-path.upd"));
    // A write that fails part way (here: the file size limit, which holds for root too).
    signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 8;
    setrlimit(RLIMIT_FSIZE, &small);
    form.Form_Unload();
    setrlimit(RLIMIT_FSIZE, &before);
    QCOMPARE(boxes.value(0), "48|Quorvel|An error occured while saving file " + file);
    // Below it, the file and the system's reason.
    QVERIFY2(boxes.value(1).startsWith(file + ": ") && boxes.value(1).size() > file.size() + 2,
             qPrintable(boxes.value(1)));
    QCOMPARE(ReadAll(file), old);
}

void PrefsTest::installedCopyKeepsSettingsWithTheUser_data() {
    QTest::addColumn<QString>("programDir");  // "~" is a writable folder of the test's own
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("kept");  // beside the program, with the user, or in root's home

    // clang-format off
    QTest::newRow("portable copy")               << "~"              << ""          << "beside";
    QTest::newRow("in /usr/local/bin")           << "/usr/local/bin" << ""          << "user";
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

    const PrefsPlace place = PrefsPlaceFor(programDir);
    const QString beside = QDir::toNativeSeparators(programDir + "/prefs.txt");
    const QString folder = kept == QLatin1String("beside") ? programDir
                           : kept == QLatin1String("user")
                               ? userConfig
                               : QString::fromLocal8Bit(getpwuid(0)->pw_dir) + "/.config/" + QCoreApplication::applicationName();
    QCOMPARE(place.file, QDir::toNativeSeparators(folder + "/prefs.txt"));
    QCOMPARE(place.seed, kept == QLatin1String("beside") ? QString() : beside);
}

QTEST_MAIN(PrefsTest)
#include "test_prefs.moc"
