#pragma once

#include "failure.h"

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// The file-open dialog: a title, a filter list in the "description|pattern|..." notation, a
// default extension, a longest file name, and a file name that survives between uses.
class CommonDialog {
public:
    // The longest path the platform's file functions take, in characters.
#if defined(Q_OS_WIN)
    static constexpr int kLongestPath = 260;
#elif defined(Q_OS_MACOS)
    static constexpr int kLongestPath = 1024;
#else
    static constexpr int kLongestPath = 4096;
#endif

    QString DialogTitle = QStringLiteral("Select File to Download");
    QString Filter = QStringLiteral("Hex Files (*.hex)|*.hex");
    QString DefaultExt = QStringLiteral(".hex");
    int MaxFileSize = kLongestPath;
    QString FileName;

    // Shows the modal dialog. A chosen file goes into FileName; Cancel returns normally and
    // leaves FileName as it was. Returns whether a file was chosen. A chosen name longer
    // than MaxFileSize raises FileNameTooLong and leaves FileName as it was.
    bool ShowOpen(QWidget* parent);

    // Qt's name filters for a filter list: "Update Files (*.upd)|*.upd" becomes
    // "Update Files (*.upd)"; "*.*" matches every file, also one without an extension.
    static QStringList NameFilters(const QString& filter);

    // What shows the dialog: given the title, the name filters (the first in force), the
    // default suffix and the file chosen last time, it returns the chosen path, or an empty
    // text on Cancel. Tests put a script in its place.
    using Chooser =
        std::function<QString(QWidget* parent, const QString& title, const QStringList& nameFilters,
                              const QString& defaultSuffix, const QString& last)>;
    Chooser Choose;
};

// The name the user chose is longer than MaxFileSize allows.
class FileNameTooLong : public Failure {
public:
    FileNameTooLong(int length, int limit)
        : Failure(QStringLiteral("File name too long")), length(length), limit(limit) {}
    const int length;
    const int limit;
};
