#pragma once

#include <QString>

// Text for a log, a terminal or a message with every byte visible: "\r", "\n", "\x1b",
// a backslash and a quote escaped, so that what went over the line can be told exactly.
QString VisibleBytes(const QString& text);
