// The window outside an update: the port list, whether every caption can be read in full,
// the keyboard (Tab, Escape, Enter, access keys), drops onto the path box, Browse, the
// selection on focus, Exit and closing.

#include "fakes.h"
#include "main_window.h"
#include "path_box.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

template <typename T = QWidget>
T* Find(Form1& form, const char* name) {
    return form.findChild<T*>(QLatin1String(name));
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void portList();
    void window();
    void captionsAreReadable();
    void countEndsTheStatusLine();
    void timers();
    void keyboard_data();
    void keyboard();
    void drops();
    void browse();
    void selectionOnFocus();
    void exitClosesThePortBeforeSaving();

private:
    QTemporaryDir dir_;
    QStringList boxes_;
    std::unique_ptr<Form1> form_;
    QLineEdit* text1_ = nullptr;
};

void FormTest::init() {
    // Port 1 is an adapter pinned by its long by-id name; the others are whatever this
    // machine has, which no test looks at.
    qputenv("QUORVEL_COM1", "/dev/serial/by-id/usb-Logger_Serial_Adapter_A1B2C3D4-if00-port0");
    form_ = std::make_unique<Form1>();
    boxes_.clear();
    form_->MessageBox = [this](QWidget*, const QString& prompt, int style, const QString& title, const QString&) {
        boxes_ << QStringLiteral("%1|%2|%3").arg(style).arg(title, prompt);
        return MsgBoxResult::Ok;
    };
    form_->SetPrefsPath(dir_.filePath(QStringLiteral("prefs.txt")));
    form_->Form_Load();
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QApplication::setActiveWindow(form_.get());
    text1_ = Find<QLineEdit>(*form_, "Text1");
}

void FormTest::cleanup() { form_.reset(); }

void FormTest::portList() {
    // Eight numbered ports, each with its device; the pinned adapter's long name is elided in
    // the middle, so that its end, which tells adapters apart, stays readable.
    auto* list = Find<QComboBox>(*form_, "Combo1");
    QCOMPARE(list->count(), 8);
    QVERIFY(!list->isEditable());
    QVERIFY(list->hasFocus());
    QVERIFY2(list->currentText().startsWith("1  usb-") && list->currentText().contains(QChar(0x2026)) &&
                 list->currentText().endsWith("port0"),
             qPrintable(list->currentText()));
    // The list opens below the box whatever item is selected, with the devices behind the
    // numbers as they are now, and the selection kept.
    list->setCurrentIndex(5);
    qputenv("QUORVEL_COM6", dir_.filePath(QStringLiteral("ttyUSB7")).toLocal8Bit());
    list->showPopup();
    qunsetenv("QUORVEL_COM6");
    QCOMPARE(list->view()->window()->geometry().top(), list->mapToGlobal(list->rect().bottomLeft()).y());
    QCOMPARE(list->currentIndex(), 5);
    QCOMPARE(list->itemText(5), QStringLiteral("6  ttyUSB7"));
    list->hidePopup();
}

void FormTest::window() {
    QCOMPARE(form_->minimumSize(), form_->maximumSize());
    QCOMPARE(form_->windowTitle(), QStringLiteral("Quorvel - V 1.0"));
    // The picture and the icon have pixels for a screen at 200 % (test_form_200 runs this).
    const QList<QSize> iconSizes = form_->windowIcon().availableSizes();
    QVERIFY(iconSizes.contains(QSize(32, 32)) && iconSizes.contains(QSize(64, 64)));
    const QPixmap picture = Find<QLabel>(*form_, "Image1")->pixmap();
    QCOMPARE(picture.deviceIndependentSize(), QSizeF(350, 150));
    QCOMPARE(picture.size(), QSize(350, 150) * form_->devicePixelRatioF());
}

void FormTest::countEndsTheStatusLine() {
    // The count hides the end of the status line, and around its digits shows the frame's
    // own background (here: all of it, the count being empty).
    form_->SetCaption(Control::Label2, QStringLiteral("Sending FLASH File - lines remaining WWWWWWWWWW"));
    form_->SetCaption(Control::Label14, QString());
    auto countArea = [this] {
        const QImage frame = Find(*form_, "Frame5")->grab().toImage();
        const qreal r = frame.devicePixelRatio();
        const QRgb background = frame.pixel(QPoint(240, 60) * r);  // between Label16 and Label18
        QSet<QRgb> seen;
        for (int y = 24 * r; y < 41 * r; ++y) {
            for (int x = 232 * r; x < 289 * r; ++x) {
                seen << frame.pixel(x, y);
            }
        }
        return seen == QSet<QRgb>{background};
    };
    form_->SetVisible(Control::Label14, true);
    QVERIFY(countArea());
    form_->SetVisible(Control::Label14, false);
    QVERIFY(!countArea());  // the whole line again
}

void FormTest::captionsAreReadable() {
    // Every fixed caption fits its control, and the status line of the transfer ends before
    // the count that lies over its right end.
    for (QLabel* label : form_->findChildren<QLabel*>()) {
        if (label->objectName() != QLatin1String("Image1")) {
            const QFontMetrics m(label->font());
            QVERIFY2(m.horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
            QVERIFY2(m.height() <= label->height(), qPrintable(label->objectName()));
        }
    }
    for (QPushButton* button : form_->findChildren<QPushButton*>()) {
        QVERIFY2(button->fontMetrics().horizontalAdvance(button->text().remove('&')) <=
                     button->width() - 8,
                 qPrintable(button->text()));
    }
    const QFontMetrics m(Find<QLabel>(*form_, "Label2")->font());
    QVERIFY(m.horizontalAdvance(QStringLiteral("Sending FLASH File - lines remaining ")) <= 232 - 48);
    QVERIFY(m.horizontalAdvance(QStringLiteral("Requesting Datalogger Ready.  Try #3")) <= 233);
    QVERIFY(m.horizontalAdvance(QStringLiteral("-32768")) <= 57);
    auto* frame = Find<QGroupBox>(*form_, "Frame1");
    QVERIFY(frame->fontMetrics().horizontalAdvance(frame->title()) < frame->width() - 10);
}

void FormTest::timers() {
    // TickCount climbs to 5 and stays there; Timer3, the count's, runs only in a transfer.
    QTRY_COMPARE_WITH_TIMEOUT(form_->Variables().TickCount, qint16(5), 2000);
    form_->Timer1_Timer();
    form_->Timer1_Timer();
    QCOMPARE(form_->Variables().TickCount, qint16(5));
    auto* timer3 = Find<QTimer>(*form_, "Timer3");
    QCOMPARE(timer3->interval(), 1000);
    QVERIFY(!timer3->isActive());
}

void FormTest::keyboard_data() {
    QTest::addColumn<QString>("state");  // idle, busy, idle after a cancelled run, or busy again
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QList<QKeyCombination>>("keys");
    QTest::addColumn<QString>("effect");  // per key: where Tab takes the focus, or what was pressed
    const QKeyCombination tab(Qt::Key_Tab), escape(Qt::Key_Escape);
    // clang-format off
    QTest::newRow("Tab")                  << "idle" << "Combo1" << QList{tab, tab, tab, tab, tab}
                                          << "Command1 Command6 Command3 Text1 Combo1";
    QTest::newRow("Tab in a run: only Cancel") << "busy" << "Command4" << QList{tab, tab} << "Command4 Command4";
    QTest::newRow("Tab after a run")      << "idle after" << "Command6" << QList{tab} << "Command3";
    QTest::newRow("Escape while idle")    << "idle" << "Combo1" << QList{escape} << "-";
    // Once pressed, Cancel is greyed out and Escape does nothing more; the next run has it back.
    QTest::newRow("Escape in a run")      << "busy" << "Command4" << QList{escape, escape} << "Command4 -";
    QTest::newRow("Escape in the next run") << "busy again" << "Command4" << QList{escape} << "Command4";
    QTest::newRow("Enter presses no button") << "idle" << "Command6" << QList{QKeyCombination(Qt::Key_Return)} << "-";
    QTest::newRow("Alt+B")                << "idle" << "Combo1" << QList{Qt::AltModifier | Qt::Key_B} << "Command1";
    QTest::newRow("Alt+X")                << "idle" << "Combo1" << QList{Qt::AltModifier | Qt::Key_X} << "Command3";
    // clang-format on
}

void FormTest::keyboard() {
    QFETCH(QString, state);
    QFETCH(QString, focus);
    QFETCH(QList<QKeyCombination>, keys);
    QFETCH(QString, effect);
    form_->BrowseDialog.Choose = [](QWidget*, const QString&, const QStringList&, const QString&, const QString&) {
        return QString();
    };
    if (state != QLatin1String("idle")) {
        form_->Run().SetBusyState();
        if (state != QLatin1String("busy")) {
            Find<QPushButton>(*form_, "Command4")->click();
            form_->Run().SetIdleState();
        }
        if (state == QLatin1String("busy again")) {
            form_->Run().SetBusyState();
        }
    }
    QObject context;
    QStringList pressed;
    const QList<QPushButton*> buttons = form_->findChildren<QPushButton*>();
    for (QPushButton* button : buttons) {
        connect(button, &QPushButton::clicked, &context, [&pressed, button] { pressed << button->objectName(); });
    }
    Find(*form_, focus.toLatin1())->setFocus();
    QStringList seen;
    for (const QKeyCombination key : keys) {
        QWidget* to = QApplication::focusWidget();
        QTest::keyClick(to ? to : form_.get(), key.key(), key.keyboardModifiers());
        // An access key shows its button down for a moment, and presses it once let go.
        QTRY_VERIFY(std::none_of(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isDown(); }));
        const QWidget* now = QApplication::focusWidget();
        seen << (key.key() == Qt::Key_Tab ? (now ? now->objectName() : QStringLiteral("-"))
                 : pressed.isEmpty()      ? QStringLiteral("-")
                                          : pressed.join('+'));
        pressed.clear();
    }
    QCOMPARE(seen.join(' '), effect);
}

void FormTest::drops() {
    auto* text1 = Find<PathBox>(*form_, "Text1");
    text1->setText(QStringLiteral("/before.upd"));
    // Offered as copy or move with the move proposed, as a file manager does while Shift is
    // held: the box takes a copy, so that the source never deletes the file.
    auto drop = [text1](QMimeData* data) {
        const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
        QDragEnterEvent enter(QPoint(5, 5), offered, data, Qt::LeftButton, Qt::ShiftModifier);
        enter.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(text1, &enter);
        QDropEvent event(QPointF(5, 5), offered, data, Qt::LeftButton, Qt::ShiftModifier);
        event.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(text1, &event);
        return enter.isAccepted() && enter.dropAction() == Qt::CopyAction &&
               event.dropAction() == Qt::CopyAction;
    };

    QMimeData text;
    text.setText(QStringLiteral("/dropped/as/text.upd"));
    QVERIFY(!drop(&text));
    QCOMPARE(text1->text(), QStringLiteral("/before.upd"));

    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/fw/a.upd"), QUrl::fromLocalFile("/fw/b.hex"),
                   QUrl::fromLocalFile("/fw/c d.upd")});
    QVERIFY(drop(&files));
    QCOMPARE(text1->text(), QStringLiteral("/fw/c d.upd"));

    boxes_.clear();
    QMimeData broken;
    broken.setUrls({QUrl::fromLocalFile("/fw/line\nbreak.upd")});
    QVERIFY(drop(&broken));
    QCOMPARE(text1->text(), QStringLiteral("/fw/c d.upd"));
    QCOMPARE(boxes_, QStringList{"48|Quorvel - V 1.0|A file name with a line break cannot be used."});

    // Nothing else on the window takes a drop.
    for (QWidget* w : form_->findChildren<QWidget*>()) {
        QCOMPARE(w->acceptDrops(), w == text1);
    }
    QVERIFY(!form_->acceptDrops());
}

void FormTest::browse() {
    // What the user picks at each click, "" for Cancel; what the dialog was given.
    QStringList answers = {QString(), "/fw/chosen.upd", QString(), QString(4097, 'x'), "/fw/a\rb.upd", QString(4096, 'x')};
    QStringList seen;
    form_->BrowseDialog.Choose = [&](QWidget*, const QString& title, const QStringList& filters,
                                     const QString& suffix, const QString& last) {
        seen << title + "|" + suffix + "|" + filters.join(';') + "|" + last;
        return answers.takeFirst();
    };
    auto* browse = form_->findChild<QPushButton*>("Command1");
    boxes_.clear();
    text1_->setText(QStringLiteral("/typed/by/hand.upd"));
    browse->click();  // Cancel before any choice
    QCOMPARE(text1_->text(), QStringLiteral("/typed/by/hand.upd"));
    browse->click();  // a file is chosen
    QCOMPARE(text1_->text(), QStringLiteral("/fw/chosen.upd"));
    text1_->setText(QStringLiteral("/dropped/later.upd"));
    browse->click();  // Cancel keeps what the user put there since
    QCOMPARE(text1_->text(), QStringLiteral("/dropped/later.upd"));
    browse->click();  // names too long for the platform, or holding a line break, are refused
    browse->click();
    QCOMPARE(text1_->text(), QStringLiteral("/dropped/later.upd"));
    QCOMPARE(boxes_, QStringList({"48|Quorvel - V 1.0|The file name is too long: 4097 characters, at most 4096.",
                                  "48|Quorvel - V 1.0|A file name with a line break cannot be used."}));
    browse->click();  // the longest name the platform takes
    QCOMPARE(text1_->text().size(), 4096);

    // The dialog remembers the last chosen file, never what the path box holds.
    const QString dialog("Select File to Download|hex|Update Files (*.upd);Hex Files (*.hex);All Files (*)|");
    QCOMPARE(seen, QStringList({dialog, dialog, dialog + "/fw/chosen.upd", dialog + "/fw/chosen.upd",
                                dialog + "/fw/chosen.upd", dialog + "/fw/chosen.upd"}));
}

void FormTest::selectionOnFocus() {
    auto* exit = form_->findChild<QPushButton*>("Command3");
    text1_->setText(QStringLiteral("/fw/logger.upd"));
    text1_->setCursorPosition(3);
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Tab);
    QVERIFY(text1_->hasFocus());
    QCOMPARE(text1_->selectedText(), QStringLiteral("/fw/logger.upd"));

    // By mouse too: the click that brings the focus keeps the selection.
    exit->setFocus();
    QTest::mouseClick(text1_, Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    QVERIFY(text1_->hasFocus());
    QCOMPARE(text1_->selectedText(), QStringLiteral("/fw/logger.upd"));
    // The next click edits as usual.
    QTest::mouseClick(text1_, Qt::LeftButton, Qt::NoModifier, QPoint(20, 8));
    QVERIFY(text1_->selectedText().isEmpty());
}

void FormTest::exitClosesThePortBeforeSaving() {
    for (const bool byExit : {true, false}) {  // Exit, or closing the window
        VirtualTime time;
        auto comm = std::make_unique<FakeComm>(time);
        FakeComm* port = comm.get();
        const QString prefs = dir_.filePath(QStringLiteral("exit-prefs.txt"));
        QFile::remove(prefs);
        bool savedBeforeClose = true;
        port->onOp = [&](const QString& op) {
            if (op == QLatin1String("PortOpen=0")) {
                savedBeforeClose = QFile::exists(prefs);
            }
        };
        Form1 form(std::move(comm));
        form.MessageBox = [](QWidget*, const QString&, int, const QString&, const QString&) { return MsgBoxResult::Ok; };
        form.SetPrefsPath(prefs);
        form.Form_Load();
        form.findChild<QComboBox*>("Combo1")->setCurrentIndex(4);
        form.show();
        port->PortOpen(true);  // as only an update run leaves it
        if (byExit) {
            form.findChild<QPushButton*>("Command3")->click();
        } else {
            form.close();
        }
        QVERIFY(!port->PortOpen());
        QVERIFY(!savedBeforeClose);
        QVERIFY(QFile::exists(prefs));
        QVERIFY(form.Unloaded());
        QVERIFY(!form.isVisible());
    }
}

QTEST_MAIN(FormTest)
#include "test_form.moc"
