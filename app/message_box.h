#pragma once

#include "run_window.h"

#include <QString>

#include <functional>

class QWidget;

// Shows a modal message box. style is a sum of MsgBoxStyle values: OkOnly or YesNo (Yes is
// the default button), plus Exclamation for the warning icon. detail, when not empty, is
// shown below the prompt in the box's smaller informative text.
MsgBoxResult ShowMessageBox(QWidget* parent, const QString& prompt, int style, const QString& title,
                            const QString& detail);

// How the window shows its message boxes; tests put a script in its place so that no test
// ever blocks on a modal box.
using MessageBoxFunction =
    std::function<MsgBoxResult(QWidget* parent, const QString& prompt, int style,
                               const QString& title, const QString& detail)>;
