#include "main_window.h"
#include "quorvel_version.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(Form1::kAppTitle);
    QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION_TEXT));

    Form1 form;
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
