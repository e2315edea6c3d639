#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <vector>

// What the bootloader answers a data line with: one token each.
enum class Answer { LineAck, ChecksumError, FlashError, UpdateOk, UpdateEnd };

// Why a data line of a finished transfer was not accepted.
enum class NotAcceptedWhy {
    ChecksumError,  // its last answer was a checksum error
    FlashError,     // the bootloader could not write it
    NoResponse,     // it was never answered in the normal mode
    NoAnswer,       // no answer came for it: an old loader's send still unpaid at the end
    UpdateEnd,      // answered with the end of the update ("#") alone
};

struct LineNotAccepted {
    int line;  // its position among the data lines, from 1
    NotAcceptedWhy why;
    bool prompted;  // the update went on past a prompt about it
};

// The run's books. The protocol has no line numbers and no read-back, so the program keeps
// count: every send of a data line owes one answer, each answer pays the oldest send still
// owed (a bootloader answers in order), and each data line ends accepted (a "~" or an "@"
// paid one of its sends, and no flash error did) or not, with why. Over the whole run it
// keeps two facts that no single line shows: an answer that came when nothing was owed
// (so an earlier answer was credited to a later send: the answers are out of step), and a
// restart of the bootloader during the transfer. Only a run with every line accepted,
// neither out of step nor restarted, has put the whole image into the datalogger.
//
// It also keeps the version records the handshake's extra ready requests are still owed.
// It knows no port and no clock: times are whatever the caller reads off its clock.
class AnswerLedger {
public:
    // What an answer paid.
    struct Paid {
        int line = 0;        // the data line; 0 when nothing was owed
        qint64 sentAt = 0;   // when the send it paid went out
        bool timed = false;  // the time since then is the bootloader's alone
        bool latest = false;  // no later send of the same line went out after it
    };

    // A send of data line `line` (from 1) went out at `at`.
    void Sent(int line, qint64 at);
    // An answer arrived. The "#" that follows an "@" belongs to it: "@", "#" and "@#" are
    // each one answer.
    Paid Answered(Answer answer);
    // The bootloader announced a restart while line `line` was the latest sent. Before the
    // first send (the transfer has not begun) and after the update's end was announced
    // (the datalogger starting its new firmware) a restart is none of the transfer's.
    void Restarted(int line);

    bool Owes() const { return !owed_.empty(); }
    // The sends still owed are given up as lost: an answer to one of them that comes after
    // all finds nothing owed, and the answers are out of step from then on.
    void WriteOff();
    // A person (at a prompt) or the datalogger's XOFF held the run up: the time the owed
    // sends' answers take says nothing of how fast the bootloader answers.
    void Untime();
    // The update went on past the prompt about line `line`.
    void WentOn(int line, NotAcceptedWhy why);

    bool OutOfStep() const { return outOfStep_; }
    // The line at which the bootloader restarted; 0 when it did not.
    int RestartedAt() const { return restartedAt_; }
    bool WentOnAfterFlashError(int line) const;
    // The lines of 1 to `lines` not accepted, in order. A line no answer accepted or
    // rejected had none: its send is unpaid, or was written off.
    std::vector<LineNotAccepted> NotAccepted(int lines) const;
    // The whole image went in: every one of the `lines` data lines was accepted, and the
    // run was neither out of step nor restarted.
    bool Whole(int lines) const;

    // Version records owed to ready requests, and the time the last request went out.
    void OweRecords(int count, qint64 lastRequestAt);
    int OwedRecords() const { return owedRecords_; }
    qint64 LastRequestAt() const { return lastRequestAt_; }
    void RecordArrived() { owedRecords_ = qMax(0, owedRecords_ - 1); }
    void DropRecords() { owedRecords_ = 0; }

private:
    struct Owed {
        int line;
        int send;  // of the line's sends, from 1
        qint64 at;
        bool timed;
    };
    // What one data line's sends were paid with.
    struct LineBook {
        int sends = 0;
        bool accepted = false;
        bool checksumError = false;
        bool flashError = false;
        bool updateEnd = false;
        bool wentOn = false;
        NotAcceptedWhy wentOnWhy = NotAcceptedWhy::NoResponse;
    };
    LineBook& Book(int line);

    std::deque<Owed> owed_;
    std::vector<LineBook> lines_;  // index line - 1
    bool anySent_ = false;
    bool ended_ = false;  // an "@" or "#" came: the bootloader has announced the update's end
    // The last answer was an "@"; what it paid, which the "#" behind it shares.
    bool afterUpdateOk_ = false;
    Paid okPaid_;
    bool outOfStep_ = false;
    int restartedAt_ = 0;
    int owedRecords_ = 0;
    qint64 lastRequestAt_ = 0;
};

// The reason a finished transfer is not the whole image, one sentence a line, for the
// outcome box's informative text and the command line's second line; empty when it is.
QStringList IncompleteReasons(const AnswerLedger& ledger, int lines);
// "checksumError", "flashError", "noResponse", "noAnswer", "updateEnd": the command line's
// JSON.
QString WhyName(NotAcceptedWhy why);
