#pragma once

#include "clock.h"
#include "common_dialog.h"
#include "form_variables.h"
#include "message_box.h"
#include "mscomm.h"
#include "prefs_place.h"
#include "run_window.h"
#include "update_run.h"

#include <QCoreApplication>
#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QMimeData;
class QPushButton;
class QTimer;
class PathBox;
class PortList;

// The program's one window. It owns every control, the serial control MSComm1, the file
// dialog BrowseDialog, the variables an update run shares with the event handlers, and the
// protocol tokens. Every piece of work runs inside one of its event handlers on the one
// thread; the update run (UpdateRun) reaches the controls through RunWindow.
class Form1 : public QWidget, public RunWindow {
    Q_OBJECT
public:
    // The caption the window is created with; the message boxes of the preferences file
    // carry it alone.
    static const QString kAppTitle;

    // comm and clock default to the real serial port and the monotonic clock.
    explicit Form1(std::unique_ptr<MSComm> comm = nullptr, std::unique_ptr<Clock> clock = nullptr);
    ~Form1() override;

    // Event handlers.
    void Form_Load();
    void Form_Unload();
    void Command1_Click();
    void Command3_Click();
    void Command4_Click();
    void Command6_Click();
    void Text1_GotFocus();
    void Text1_OLEDragDrop(const QMimeData* data);
    void Timer1_Timer();
    void Timer3_Timer();

    // Selects the whole text of a text box; other controls are left alone.
    void AutoSelect(QWidget* SelObject);

    // A prefs.txt larger than this is not one the program wrote: it is refused whole.
    static constexpr qint64 kMaxPrefsBytes = 64 * 1024;

    void LoadDefaults();
    void LoadPrefs(const QString& path);
    void SavePrefs(const QString& path);
    // Where the window keeps its preferences (see PrefsPlaceFor).
    void SetPrefsPlace(const PrefsPlace& place) { prefs_ = place; }
    void SetPrefsPath(const QString& path) { prefs_ = {path, QString()}; }

    FormVariables& Variables() { return vars_; }
    UpdateRun& Run() { return run_; }
    MSComm& MSComm1() { return *comm_; }
    CommonDialog BrowseDialog;
    // How the window shows message boxes; tests answer them from a script.
    MessageBoxFunction MessageBox = ShowMessageBox;

    bool Unloaded() const { return unloaded_; }
    bool Running() const { return run_.Running(); }

    // RunWindow
    QString Caption() const override;
    void SetCaption(Control control, const QString& text) override;
    void SetEnabled(Control control, bool enabled) override;
    void SetVisible(Control control, bool visible) override;
    void ZOrder(Control control) override;
    void SetFocus(Control control) override;
    QString Text(Control control) const override;
    int ListIndex(Control control) const override;
    void AddItem(Control control, const QString& item) override;
    MsgBoxResult Ask(const QString& prompt, int style, const PromptFacts& facts) override;
    void Tell(const QString& text, int style, const OutcomeFacts& facts) override;
    void DoEvents(YieldMode mode) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // Says why and returns false when the path cannot be used.
    bool PathUsable(const QString& path);
    void FitStatusLine();
    QWidget* Widget(Control control) const;

    FormVariables vars_;
    std::unique_ptr<MSComm> comm_;
    std::unique_ptr<Clock> clock_;
    UpdateRun run_;
    bool unloaded_ = false;
    PrefsPlace prefs_ = PrefsPlaceFor(QCoreApplication::applicationDirPath());
    // The path as prefs.txt held it, so that a path the system's encoding cannot decode is
    // written back unchanged.
    QByteArray loadedPathBytes_;

    QTimer* Timer3 = nullptr;
    QGroupBox* Frame5 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label18 = nullptr;
    QLabel* Label17 = nullptr;
    QLabel* Label16 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label2 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QPushButton* Command6 = nullptr;
    QPushButton* Command4 = nullptr;
    QPushButton* Command1 = nullptr;
    PathBox* Text1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    PortList* Combo1 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* Command3 = nullptr;
    QTimer* Timer1 = nullptr;
    QLabel* Image1 = nullptr;
    // Wakes a yield that sleeps until the next event at least this often, so that the
    // run's clock waits end on time.
    QTimer* pacer_ = nullptr;
};
