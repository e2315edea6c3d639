#include "visible_bytes.h"

QString VisibleBytes(const QString& text) {
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\r') {
            out += QLatin1String("\\r");
        } else if (u == '\n') {
            out += QLatin1String("\\n");
        } else if (u == '\\' || u == '"') {
            out += QLatin1Char('\\');
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            out += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}
