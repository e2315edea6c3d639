#include "main_window.h"

#include "path_box.h"
#include "port_list.h"
#include "prefs_file.h"
#include "quorvel_version.h"
#include "serial_port_comm.h"
#include "window_font.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QProxyStyle>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QUrl>


const QString Form1::kAppTitle = QStringLiteral("Quorvel");

// The picture and the icon live in a static library; pull them in explicitly so that the
// linker keeps them.
static void InitResources() {
    Q_INIT_RESOURCE(quorvel);
}

namespace {

// Labels keep the look the layout was drawn for: text at the top left of the label, so that
// the labels of a row line up whatever their heights, and no wrapping.
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QGroupBox* MakeFrame(QWidget* parent, const char* name, const QString& title, QRect geometry) {
    auto* frame = new QGroupBox(title, parent);
    frame->setObjectName(QLatin1String(name));
    frame->setGeometry(geometry);
    return frame;
}

// A picture or the icon at both sizes the artwork tool draws; Qt takes the one that suits
// the screen's scaling, so that neither turns blurred at 200 %.
QIcon Artwork(const char* name) {
    QIcon icon;
    icon.addFile(QStringLiteral(":/quorvel/%1.png").arg(QLatin1String(name)));
    icon.addFile(QStringLiteral(":/quorvel/%1@2x.png").arg(QLatin1String(name)));
    return icon;
}

// Qt's default style opens a list over its box, centred on the selected item, so that the
// list jumps about with the selection; this one opens it below the box.
class ListBelowStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ComboBox_Popup) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};


}  // namespace

Form1::Form1(std::unique_ptr<MSComm> comm, std::unique_ptr<Clock> clock)
    : comm_(comm ? std::move(comm) : std::make_unique<SerialPortComm>()),
      clock_(clock ? std::move(clock) : std::make_unique<MonotonicClock>()),
      run_(vars_, *this, *comm_, *clock_) {
    InitResources();
    CreateControls();
}

Form1::~Form1() = default;

void Form1::CreateControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kAppTitle);
    setWindowIcon(Artwork("icon"));
    setFixedSize(550, 403);
    setFont(WindowFont());

    // In the order of creation; each container before its contents. Positions inside a
    // frame are measured from the frame's top-left corner, caption band included.
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setInterval(1000);

    Frame5 = MakeFrame(this, "Frame5", QString(), QRect(8, 256, 529, 89));
    Label14 = MakeLabel(Frame5, "Label14", QString(), QRect(232, 24, 57, 17));
    Label14->hide();
    Label18 = MakeLabel(Frame5, "Label18", QStringLiteral("Update:"), QRect(296, 48, 217, 25));
    Label17 = MakeLabel(Frame5, "Label17", QStringLiteral("Firmware:"), QRect(296, 24, 217, 25));
    Label16 = MakeLabel(Frame5, "Label16", QStringLiteral("Loader:"), QRect(8, 48, 177, 25));
    Label3 = MakeLabel(Frame5, "Label3", QStringLiteral("Status:"), QRect(8, 24, 33, 17));
    Label2 = MakeLabel(Frame5, "Label2", QStringLiteral("Idle"), QRect(48, 24, 233, 17));
    // The count reads as the end of the status line and hides whatever of the line runs
    // under it; see FitStatusLine.
    Label14->raise();
    Label14->installEventFilter(this);

    Frame4 = MakeFrame(this, "Frame4", QString(), QRect(8, 160, 529, 97));
    Command6 = MakeButton(Frame4, "Command6",
                          QStringLiteral("Select File, Press This Button, then Restart Datalogger"),
                          QRect(80, 56, 361, 33));
    Command4 = MakeButton(Frame4, "Command4", QStringLiteral("Cancel"), QRect(200, 56, 121, 33));
    Command4->hide();
    Command1 = MakeButton(Frame4, "Command1", QStringLiteral("&Browse"), QRect(464, 24, 49, 21));
    Text1 = new PathBox(Frame4);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(32, 24, 417, 19);

    Frame1 = MakeFrame(this, "Frame1", QStringLiteral("Connection"), QRect(32, 32, 121, 81));
    Combo1 = new PortList(Frame1);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(8, 40, 105, 21);
    Combo1->setEditable(false);
    auto* listBelow = new ListBelowStyle;
    listBelow->setParent(Combo1);
    Combo1->setStyle(listBelow);
    Label4 =
        MakeLabel(Frame1, "Label4", QStringLiteral("Com Port Selection:"), QRect(8, 24, 107, 17));

    Command3 = MakeButton(this, "Command3", QStringLiteral("E&xit"), QRect(208, 360, 129, 33));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(60);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(160, 0, 350, 150);
    Image1->setPixmap(Artwork("picture").pixmap(Image1->size(), devicePixelRatioF()));
    Image1->setScaledContents(false);

    pacer_ = new QTimer(this);

    // Tab order: Combo1, Browse, start, Cancel (while shown), Exit, the path box.
    setTabOrder(Combo1, Command1);
    setTabOrder(Command1, Command6);
    setTabOrder(Command6, Command4);
    setTabOrder(Command4, Command3);
    setTabOrder(Command3, Text1);
    Combo1->setFocus();

    // Escape presses Cancel, and only while Cancel is shown and enabled.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (Command4->isVisibleTo(this) && Command4->isEnabled()) {
            Command4->click();
        }
    });

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(Text1, &PathBox::GotFocus, this, &Form1::Text1_GotFocus);
    connect(Text1, &PathBox::FilesDropped, this, &Form1::Text1_OLEDragDrop);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer3, &QTimer::timeout, this, &Form1::Timer3_Timer);
    Timer1->start();

    // Centred on the screen it opens on.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label14 &&
        (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)) {
        FitStatusLine();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::FitStatusLine() {
    // A background of the count's own would stand out as a lighter patch on the frame
    // (Qt's default style shades the inside of a frame), so the count paints none: while it
    // is shown, the status line is cut off where the count begins.
    if (Label14->isVisibleTo(Frame5)) {
        Label2->setMask(QRegion(Label2->rect())
                            .subtracted(QRegion(Label14->geometry().translated(-Label2->pos()))));
    } else {
        Label2->clearMask();
    }
}

void Form1::Form_Load() {
    run_.SetupPortList();
    Combo1->RefreshDevices();
    setWindowTitle(windowTitle() + QStringLiteral(" - V ") +
                   QString::number(QUORVEL_VERSION_MAJOR) + QStringLiteral(".") +
                   QString::number(QUORVEL_VERSION_MINOR));
    // Until its first save an installed copy starts from the seed beside the program. Where
    // neither file is there, no settings were ever saved: that is a first start, not a
    // failure, and the defaults come without a box.
    const bool noFile = NothingAt(prefs_.file);
    if (noFile && (prefs_.seed.isEmpty() || NothingAt(prefs_.seed))) {
        LoadDefaults();
        return;
    }
    LoadPrefs(noFile ? prefs_.seed : prefs_.file);
}

void Form1::Form_Unload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    run_.ClosePort();
    SavePrefs(prefs_.file);
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void Form1::Command1_Click() {
    // Cancel ends Browse with the path box as it was: the path the user typed or dropped is
    // not replaced by an older one. So does a name the window cannot take, after saying why,
    // and any other failure of the dialog, quietly.
    const QString last = BrowseDialog.FileName;
    try {
        BrowseDialog.DialogTitle = QStringLiteral("Select File to Download");
        BrowseDialog.Filter = QStringLiteral(
            "Update Files (*.upd)|*.upd|Hex Files (*.hex)|*.hex|All Files (*.*)|*.*");
        if (BrowseDialog.ShowOpen(this)) {
            if (PathUsable(BrowseDialog.FileName)) {
                Text1->setText(BrowseDialog.FileName);
            } else {
                BrowseDialog.FileName = last;
            }
        }
    } catch (const FileNameTooLong& tooLong) {
        MessageBox(this,
                   QStringLiteral("The file name is too long: %1 characters, at most %2.")
                       .arg(tooLong.length)
                       .arg(tooLong.limit),
                   OkOnly + Exclamation, Caption(), QString());
    } catch (const std::exception&) {
    }
}

bool Form1::PathUsable(const QString& path) {
    // prefs.txt holds the path on one line: a line break inside it would not read back.
    if (path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n'))) {
        MessageBox(this, QStringLiteral("A file name with a line break cannot be used."),
                   OkOnly + Exclamation, Caption(), QString());
        return false;
    }
    return true;
}

void Form1::Command3_Click() {
    close();
    QCoreApplication::exit(0);
}

void Form1::Command4_Click() {
    run_.Command4_Click();
}

void Form1::Command6_Click() {
    run_.Command6_Click();
    pacer_->stop();
}

void Form1::Text1_GotFocus() {
    AutoSelect(Text1);
}

void Form1::Text1_OLEDragDrop(const QMimeData* data) {
    if (!PathBox::OffersFileList(data)) {
        return;
    }
    // Of several files the last one is taken.
    QString dropped;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            dropped = QDir::toNativeSeparators(url.toLocalFile());
        }
    }
    if (PathUsable(dropped)) {
        Text1->setText(dropped);
    }
}

void Form1::Timer1_Timer() {
    run_.Timer1_Timer();
}

void Form1::Timer3_Timer() {
    run_.Timer3_Timer();
}

void Form1::AutoSelect(QWidget* SelObject) {
    if (auto* box = qobject_cast<QLineEdit*>(SelObject)) {
        box->setCursorPosition(0);
        box->setSelection(0, static_cast<int>(box->text().size()));
    }
}

void Form1::LoadDefaults() {
    Combo1->setCurrentIndex(0);
    Text1->setText(QString());
    loadedPathBytes_.clear();
    vars_.Tokens = ProtocolTokens::Defaults();
}

void Form1::LoadPrefs(const QString& path) {
    LoadDefaults();
    // The settings are taken only when the whole file reads well, so a damaged file leaves
    // the defaults in place, not half of its values.
    std::optional<PrefsRecord> prefs;
    QString why;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
    } else {
        const QByteArray content = file.read(kMaxPrefsBytes + 1);
        if (content.size() > kMaxPrefsBytes) {
            why = QStringLiteral("larger than %1 KiB, so not a file this program wrote")
                      .arg(kMaxPrefsBytes / 1024);
        } else if (!(prefs = ReadPrefs(content))) {
            why = QStringLiteral(
                "it does not hold a port number and a quoted file name on two lines");
        } else if (prefs->portIndex < -1 || prefs->portIndex >= Combo1->count()) {
            why = QStringLiteral("the port index %1 is not one of -1 to %2")
                      .arg(prefs->portIndex)
                      .arg(Combo1->count() - 1);
        }
    }
    if (why.isEmpty()) {
        Combo1->setCurrentIndex(prefs->portIndex);
        Text1->setText(prefs->path);
        loadedPathBytes_ = prefs->pathBytes;
        return;
    }
    MessageBox(this,
               QStringLiteral("An error occured while loading file ") + path + QStringLiteral(".") +
                   QStringLiteral(" The default settings will be loaded instead."),
               OkOnly + Exclamation, kAppTitle, path + QStringLiteral(": ") + why);
}

void Form1::SavePrefs(const QString& path) {
    // Written beside the old file and renamed over it, so a failed save (a full disk, a
    // folder without write access) leaves the last good settings whole. Unbuffered, so
    // that a short write shows here: a buffered one can be cut short at commit without
    // the commit failing.
    const QByteArray bytes =
        WritePrefs({static_cast<qint16>(Combo1->currentIndex()), Text1->text(), loadedPathBytes_});
    // The configuration folder of an installed copy does not exist before its first save.
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        MessageBox(this, QStringLiteral("An error occured while saving file ") + path,
                   OkOnly + Exclamation, kAppTitle,
                   path + QStringLiteral(": ") + file.errorString());
    }
}
