#pragma once

#include "answer_ledger.h"

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

// How a run ended. The window shows it in its message boxes; other front ends (the command
// line) report it in their own way.
enum class RunOutcome {
    None,             // no run yet, or still running
    PathRefused,      // "Select Firmware Update File."
    Updated,          // "Datalogger successfully updated."
    Incomplete,       // "The datalogger's firmware is incomplete.": the final reply said
                      // success, but not every line is accounted for
    Restarted,        // "The datalogger restarted during the update (at line n). ..."
    UpdateFailed,     // "Error encountered while updating."
    NoFinalReply,     // "... No response from Datalogger at end of file."
    NoResponse,       // "No response from Datalogger."
    NoRestart,        // the same box: no restart within the front's time-out
    Cancelled,        // Cancel, no message
    Declined,         // a prompt after a bad line answered No
    PortFailure,      // "Error encountered while accessing the com port."
    FileOpenFailure,  // "Error opening <path>."
    FileRefused,      // the file's records are not sound, and the user chose not to send it
    DownloadFailure,  // "Error encountered while downloading the firmware."
    ClosingFailure,   // "Error encountered while closing the com port."
    WindowClosed,     // the window went away during the run
};

// What a question of the run is about, for a front that answers it by a rule of its own.
struct PromptFacts {
    enum class Kind {
        ChecksumError,   // "Checksum error at line n. Continue with download?"
        FlashError,      // "Error writing to flash at line n. Continue with download?"
        NoResponse,      // "Did not receive a response after sending line n. ..."
        UnsoundRecords,  // the file's records are not all sound: send it anyway?
    };
    Kind kind;
    int line;  // the data line's position n; for UnsoundRecords the file's line of the first fault
};

// What a message of the run reports: how the run ends, and why when it is no success.
struct OutcomeFacts {
    RunOutcome outcome;
    QString reason;  // the device or file and what went wrong, one line a reason
};

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
    Answer answer = Answer::LineAck;  // for Answer: what the token says
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

    // A question with Yes and No (a modal message box titled with the caption; style is a
    // sum of MsgBoxStyle values). The text is the window's; the facts say what it asks, so
    // that no front need read the text. Raises WindowClosed when the window was unloaded
    // while the box was open.
    virtual MsgBoxResult Ask(const QString& prompt, int style, const PromptFacts& facts) = 0;
    // A message with OK that tells how the run ends (or, for a failure, that it does): the
    // window shows the text with the reason below it; the facts carry both as values.
    virtual void Tell(const QString& text, int style, const OutcomeFacts& facts) = 0;
    // Processes pending window events once and returns. Raises WindowClosed when the
    // window was unloaded meanwhile.
    virtual void DoEvents(YieldMode mode) = 0;
    // Told of every send of a data line and every answer, as they happen.
    virtual void Note(const TransferEvent& event) { (void)event; }
};
