// The window outside an update: Browse, the selection on focus, Exit and closing.

#include "fakes.h"
#include "main_window.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Dialog {
    QStringList answers;  // what the user picks, "" for Cancel
    QStringList lastSeen;
    QStringList titles;
    QList<QStringList> filters;
    CommonDialog::Chooser Chooser() {
        return [this](QWidget*, const QString& title, const QStringList& nameFilters,
                      const QString& suffix, const QString& last) {
            titles << title + "|" + suffix;
            filters << nameFilters;
            lastSeen << last;
            return answers.isEmpty() ? QString() : answers.takeFirst();
        };
    }
};

}  // namespace

class FormBehaviourTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { form_.reset(); }
    void browse();
    void selectionOnFocus();
    void exitClosesThePortBeforeSaving_data();
    void exitClosesThePortBeforeSaving();

private:
    QTemporaryDir dir_;
    QStringList boxes_;
    std::unique_ptr<Form1> form_;
    QLineEdit* text1_ = nullptr;
};

void FormBehaviourTest::init() {
    form_ = std::make_unique<Form1>();
    boxes_.clear();
    form_->MessageBox = [this](QWidget*, const QString& text, int, const QString&) {
        boxes_ << text;
        return MsgBoxResult::Ok;
    };
    form_->SetPrefsPath(dir_.filePath(QStringLiteral("prefs.txt")));
    form_->Form_Load();
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QApplication::setActiveWindow(form_.get());
    text1_ = form_->findChild<QLineEdit*>("Text1");
}

void FormBehaviourTest::browse() {
    Dialog dialog;
    form_->BrowseDialog.Choose = dialog.Chooser();
    auto* browse = form_->findChild<QPushButton*>("Command1");

    text1_->setText(QStringLiteral("/typed/by/hand.upd"));
    dialog.answers = {QString(), QStringLiteral("/fw/chosen.upd"), QString(), QString(270, 'x')};
    browse->click();  // Cancel before any choice
    QCOMPARE(text1_->text(), QStringLiteral("/typed/by/hand.upd"));
    browse->click();  // a file is chosen
    QCOMPARE(text1_->text(), QStringLiteral("/fw/chosen.upd"));
    text1_->setText(QStringLiteral("/dropped/later.upd"));
    browse->click();  // Cancel keeps what the user put there since
    QCOMPARE(text1_->text(), QStringLiteral("/dropped/later.upd"));
    browse->click();  // a name too long for the dialog: Browse ends quietly
    QCOMPARE(text1_->text(), QStringLiteral("/dropped/later.upd"));

    QCOMPARE(dialog.titles.first(), QStringLiteral("Select File to Download|hex"));
    QCOMPARE(dialog.filters.first(),
             QStringList({"Update Files (*.upd)", "Hex Files (*.hex)", "All Files (*)"}));
    // The dialog remembers the last chosen file, never what the path box holds.
    QCOMPARE(dialog.lastSeen, QStringList({"", "", "/fw/chosen.upd", "/fw/chosen.upd"}));
    QVERIFY(boxes_.isEmpty() || boxes_.size() == 1);  // only the first start's prefs message
}

void FormBehaviourTest::selectionOnFocus() {
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

    text1_->clear();
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Tab);
    QVERIFY(text1_->selectedText().isEmpty());
    QCOMPARE(text1_->cursorPosition(), 0);
}

void FormBehaviourTest::exitClosesThePortBeforeSaving_data() {
    QTest::addColumn<bool>("byExit");
    QTest::newRow("Exit") << true;
    QTest::newRow("closing the window") << false;
}

void FormBehaviourTest::exitClosesThePortBeforeSaving() {
    QFETCH(bool, byExit);
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
    form.MessageBox = [](QWidget*, const QString&, int, const QString&) { return MsgBoxResult::Ok; };
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

QTEST_MAIN(FormBehaviourTest)
#include "test_form_behaviour.moc"
