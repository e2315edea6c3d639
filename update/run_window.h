#pragma once

#include <QString>

// The controls of the window that an update run touches, by their names on the window.
enum class Control {
    Label2,    // status line
    Label14,   // lines remaining
    Label16,   // loader version
    Label17,   // old firmware version
    Label18,   // firmware version line of the update file
    Command1,  // Browse
    Command3,  // Exit
    Command4,  // Cancel
    Command6,  // start button
    Text1,     // path of the update file
    Combo1,    // port list
    Timer3,    // copies the lines remaining into Label14 once a second
};

// Message box styles and answers; a style adds one button set, at most one icon and at
// most one default button (the first, unless DefaultButton2 makes it the second).
enum MsgBoxStyle : int { OkOnly = 0, YesNo = 4, Exclamation = 48, DefaultButton2 = 256 };
enum class MsgBoxResult { Ok = 1, Yes = 6, No = 7 };

// How a yield to the event loop may wait. After a read that brought nothing there is nothing
// to do until the next event (serial data, a click, a timer), so the yield may sleep until
// one arrives; after a read that brought data it only runs what is pending.
enum class YieldMode { Poll, UntilEvent };

// Raised by the window once it has been unloaded while a run was still on the stack: the
// run then stops at once, without another message box, port operation or window update.
struct WindowClosed {};

// What the transfer does with each data line, for a front end that keeps a record of the
// session (the command line's verbose output, log and summary). The window keeps none.
struct TransferEvent {
    enum class Kind {
        Send,    // a data line went out: line, and send (1 for the first, 2 and 3 resends)
        Answer,  // an answer token paid a send of line (0: it came when nothing was owed)
        Held,    // the datalogger holds the program's bytes back with XOFF; line: the
                 // latest line sent
        Released,  // the held bytes have left
    };
    Kind kind;
    int line;  // the data line's position among the file's data lines, from 1
    int send = 0;
    QString token;
};

// The window's share of an update run. The window implements it with widgets; tests
// implement it with a recorder that checks the order of changes and answers prompts.
class RunWindow {
public:
    virtual ~RunWindow() = default;

    // The window's current caption; every message box of a run takes it as its title.
    virtual QString Caption() const = 0;
    // The caption of a label.
    virtual void SetCaption(Control control, const QString& text) = 0;
    // Enabled for a control; for Timer3, whether it runs.
    virtual void SetEnabled(Control control, bool enabled) = 0;
    virtual void SetVisible(Control control, bool visible) = 0;
    // Brings a control to the front of its siblings.
    virtual void ZOrder(Control control) = 0;
    virtual void SetFocus(Control control) = 0;
    // The text of Text1.
    virtual QString Text(Control control) const = 0;
    // The list index of Combo1, -1 when no item is selected.
    virtual int ListIndex(Control control) const = 0;
    virtual void AddItem(Control control, const QString& item) = 0;

    // A modal message box; style is a sum of MsgBoxStyle values. detail, shown below the
    // prompt when not empty, names the device or file and the reason of a failure. Raises
    // WindowClosed when the window was unloaded while the box was open.
    virtual MsgBoxResult MsgBox(const QString& prompt, int style, const QString& title,
                                const QString& detail) = 0;
    // Processes pending window events once and returns. Raises WindowClosed when the
    // window was unloaded meanwhile.
    virtual void DoEvents(YieldMode mode) = 0;
    // Told of every send of a data line and every answer, as they happen.
    virtual void Note(const TransferEvent& event) { (void)event; }
};
