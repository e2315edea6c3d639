#pragma once

#include <QString>

// Where the window keeps its preferences: file is read when the window loads and written
// when it unloads. While file does not exist yet, the window reads seed instead, when there
// is one; with neither, it loads the defaults, as a first start does.
struct PrefsPlace {
    QString file;
    QString seed;
};

// A portable copy keeps prefs.txt beside the executable. An installed copy (one in /usr,
// /usr/local or /opt, or in a folder it cannot write) keeps it in the configuration folder
// of the user it runs as and starts from the one beside the executable.
PrefsPlace PrefsPlaceFor(const QString& programDir);
bool IsInstalledIn(const QString& programDir);

// Whether nothing at all is at path. Anything that is there is taken for settings the user
// may want back, and its failure to load is told: a file that cannot be read, a folder, a
// link to a file that is gone, or a folder on the way that cannot be searched, where the
// file may well be.
bool NothingAt(const QString& path);
