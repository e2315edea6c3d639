#include "prefs_place.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// The configuration folder of the user the program runs as. sudo -E leaves HOME, and with it
// Qt's folder, at the home of the user who called it: root's settings would land there in a
// file that user could no longer change, so root keeps them in its own home.
QString ConfigFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
#ifdef Q_OS_UNIX
    const QByteArray home = qgetenv("HOME");
    struct stat homeStat {};
    if (geteuid() == 0 && !home.isEmpty() && stat(home.constData(), &homeStat) == 0 &&
        homeStat.st_uid != 0) {
        if (const passwd* root = getpwuid(0)) {
            const QString generic =
                QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
            folder = QFile::decodeName(root->pw_dir) + QStringLiteral("/.config/") +
                     QDir(generic).relativeFilePath(folder);
        }
    }
#endif
    return folder;
}

}  // namespace

bool IsInstalledIn(const QString& programDir) {
    // The folders a package or an installer puts programs in; root can write them, and yet
    // the settings of each user belong with that user.
    const QFileInfo info(programDir);
    const QString canonical = info.canonicalFilePath();
    const QString dir = canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
    for (const char* system : {"/usr", "/usr/local", "/opt"}) {
        const QString prefix = QLatin1String(system);
        if (dir == prefix || dir.startsWith(prefix + QLatin1Char('/'))) {
            return true;
        }
    }
    // Elsewhere, a folder its users cannot write: every exit would fail to save.
    return !info.isDir() || !info.isWritable();
}

PrefsPlace PrefsPlaceFor(const QString& programDir) {
    const QString beside = QDir::toNativeSeparators(programDir + QStringLiteral("/prefs.txt"));
    if (!IsInstalledIn(programDir)) {
        return {beside, QString()};
    }
    return {QDir::toNativeSeparators(ConfigFolder() + QStringLiteral("/prefs.txt")), beside};
}

// Whether nothing at all is at path. Anything that is there is taken for settings the user
// may want back, and its failure to load is told: a file that cannot be read, a folder, a
// link to a file that is gone, or a folder on the way that cannot be searched, where the
// file may well be.
bool NothingAt(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat info {};
    return lstat(QFile::encodeName(path).constData(), &info) != 0 && errno == ENOENT;
#else
    const QFileInfo info(path);
    return !info.exists() && !info.isSymLink();
#endif
}
