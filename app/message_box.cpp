#include "message_box.h"

#include <QMessageBox>

MsgBoxResult ShowMessageBox(QWidget* parent, const QString& prompt, int style, const QString& title,
                            const QString& detail) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(prompt);
    box.setInformativeText(detail);
    box.setIcon((style & 0x70) == Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon);
    if ((style & 0x0F) == YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((style & DefaultButton2) != 0 ? QMessageBox::No : QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MsgBoxResult::Yes : MsgBoxResult::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return MsgBoxResult::Ok;
}
