#include "common_dialog.h"

#include <QFileDialog>
#include <QRegularExpression>

namespace {

QString ChooseWithQt(QWidget* parent, const QString& title, const QStringList& nameFilters,
                     const QString& defaultSuffix, const QString& last) {
    QFileDialog dialog(parent, title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters);
    if (!nameFilters.isEmpty()) {
        dialog.selectNameFilter(nameFilters.first());
    }
    dialog.setDefaultSuffix(defaultSuffix);
    // The dialog opens where the last chosen file lies, with that file selected.
    if (!last.isEmpty()) {
        dialog.selectFile(last);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
}

}  // namespace

QStringList CommonDialog::NameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList result;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        // The description usually repeats its pattern in parentheses; Qt reads the patterns
        // from a trailing parenthesis, so that part is rebuilt from the pattern field.
        static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
        QString description = parts[i];
        description.remove(trailingPatterns);
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString p = pattern.trimmed();
            patterns << (p == QLatin1String("*.*") ? QStringLiteral("*") : p);
        }
        result << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                      QStringLiteral(")");
    }
    return result;
}

bool CommonDialog::ShowOpen(QWidget* parent) {
    QString suffix = DefaultExt;
    if (suffix.startsWith(QLatin1Char('.'))) {
        suffix.remove(0, 1);
    }
    const Chooser& choose = Choose ? Choose : Chooser(ChooseWithQt);
    const QString chosen = choose(parent, DialogTitle, NameFilters(Filter), suffix, FileName);
    if (chosen.isEmpty()) {
        return false;
    }
    // Counted in characters, as the user reads them, not in UTF-16 units.
    const int length = static_cast<int>(chosen.toUcs4().size());
    if (length > MaxFileSize) {
        throw FileNameTooLong(length, MaxFileSize);
    }
    FileName = chosen;
    return true;
}
