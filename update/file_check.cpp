#include "file_check.h"

#include "failure.h"
#include "update_file.h"

UpdateFileFacts CheckUpdateFile(const QString& path) {
    UpdateFile file;
    file.Open(path);
    UpdateFileFacts facts;
    while (!file.AtEnd()) {
        const QByteArray line = file.ReadLine();
        ++facts.lines;
        // The reader ends lines at CR and CR LF only, so a line feed it hands over is one
        // that follows no carriage return.
        if (line.contains('\n')) {
            throw Failure(path + QStringLiteral(": line %1 holds a line feed without carriage "
                                                "return: save the file with CR LF line ends")
                                     .arg(facts.lines));
        }
        facts.dataLines += KindOfLine(line) == LineKind::Data ? 1 : 0;
    }
    if (facts.dataLines == 0) {
        throw Failure(path + QStringLiteral(": holds no data lines (Intel HEX records)"));
    }
    return facts;
}
