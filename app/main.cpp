#include "main_window.h"
#include "platform.h"
#include "quorvel_version.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(Form1::kAppTitle);
    QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION_TEXT));

    Form1 form;
    // A logout, a shutdown or Ctrl-C in the terminal that started the program closes the
    // window as the user would: the port is closed and the settings are saved.
    bool ended = false;
    StopRequests endings(StopRequests::Again::EndsProgram);
    QObject::connect(&endings, &StopRequests::Requested, &form, [&form, &ended] {
        ended = true;
        form.close();
        QCoreApplication::exit(0);
    });

    form.Form_Load();
    if (ended) {
        return 0;
    }
    form.show();
    return QApplication::exec();
}
