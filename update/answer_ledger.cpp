#include "answer_ledger.h"

#include <map>

namespace {

// A reason line names this many lines at most; the JSON lists them all.
constexpr int kNamedLines = 20;

QString LineList(const std::vector<int>& lines) {
    QStringList names;
    for (int line : lines) {
        if (names.size() == kNamedLines) {
            names.last() += QStringLiteral(" and %1 more").arg(lines.size() - kNamedLines);
            break;
        }
        names << QString::number(line);
    }
    return names.join(QStringLiteral(", "));
}

}  // namespace

AnswerLedger::LineBook& AnswerLedger::Book(int line) {
    if (line > int(lines_.size())) {
        lines_.resize(size_t(line));
    }
    return lines_[size_t(line - 1)];
}

void AnswerLedger::Sent(int line, qint64 at) {
    anySent_ = true;
    afterUpdateOk_ = false;
    LineBook& book = Book(line);
    owed_.push_back({line, ++book.sends, at, true});
}

AnswerLedger::Paid AnswerLedger::Answered(Answer answer) {
    if (answer == Answer::UpdateEnd && afterUpdateOk_) {
        afterUpdateOk_ = false;
        return okPaid_;
    }
    afterUpdateOk_ = answer == Answer::UpdateOk;
    Paid paid;
    if (!anySent_) {
        // Text left over from the handshake: no answer to anything of the transfer.
        okPaid_ = paid;
        return paid;
    }
    if (answer == Answer::UpdateOk || answer == Answer::UpdateEnd) {
        ended_ = true;
    }
    if (owed_.empty()) {
        outOfStep_ = true;
        okPaid_ = paid;
        return paid;
    }
    const Owed send = owed_.front();
    owed_.pop_front();
    LineBook& book = Book(send.line);
    paid = {send.line, send.at, send.timed, send.send == book.sends};
    switch (answer) {
        case Answer::LineAck:
        case Answer::UpdateOk:
            book.accepted = true;
            break;
        case Answer::ChecksumError:
            book.checksumError = true;
            break;
        case Answer::FlashError:
            book.flashError = true;
            break;
        case Answer::UpdateEnd:
            book.updateEnd = true;
            break;
    }
    okPaid_ = paid;
    return paid;
}

void AnswerLedger::Restarted(int line) {
    if (anySent_ && !ended_ && restartedAt_ == 0) {
        restartedAt_ = line;
    }
}

void AnswerLedger::WriteOff() {
    owed_.clear();
    afterUpdateOk_ = false;
}

void AnswerLedger::Untime() {
    for (Owed& send : owed_) {
        send.timed = false;
    }
}

void AnswerLedger::WentOn(int line, NotAcceptedWhy why) {
    LineBook& book = Book(line);
    book.wentOn = true;
    book.wentOnWhy = why;
}

bool AnswerLedger::WentOnAfterFlashError(int line) const {
    return line >= 1 && line <= int(lines_.size()) && lines_[size_t(line - 1)].wentOn &&
           lines_[size_t(line - 1)].wentOnWhy == NotAcceptedWhy::FlashError;
}

std::vector<LineNotAccepted> AnswerLedger::NotAccepted(int lines) const {
    std::vector<LineNotAccepted> out;
    const LineBook never;
    for (int line = 1; line <= lines; ++line) {
        const LineBook& b = line <= int(lines_.size()) ? lines_[size_t(line - 1)] : never;
        // A flash error spoils a line that another send got accepted: the bootloader may
        // have left its bytes half written.
        if (b.accepted && !b.flashError) {
            continue;
        }
        NotAcceptedWhy why = NotAcceptedWhy::NoAnswer;
        if (b.flashError) {
            why = NotAcceptedWhy::FlashError;
        } else if (b.wentOn) {
            why = b.wentOnWhy;
        } else if (b.checksumError) {
            why = NotAcceptedWhy::ChecksumError;
        } else if (b.updateEnd) {
            why = NotAcceptedWhy::UpdateEnd;
        }
        out.push_back({line, why, b.wentOn});
    }
    return out;
}

bool AnswerLedger::Whole(int lines) const {
    return !outOfStep_ && restartedAt_ == 0 && NotAccepted(lines).empty();
}

void AnswerLedger::OweRecords(int count, qint64 lastRequestAt) {
    owedRecords_ = qMax(0, count);
    lastRequestAt_ = lastRequestAt;
}

QStringList IncompleteReasons(const AnswerLedger& ledger, int lines) {
    std::vector<int> prompted;
    std::map<NotAcceptedWhy, std::vector<int>> unprompted;
    for (const LineNotAccepted& l : ledger.NotAccepted(lines)) {
        // A "#" to the last line is the bootloader's final reply, which the outcome reports.
        if (l.why == NotAcceptedWhy::UpdateEnd && l.line == lines) {
            continue;
        }
        if (l.prompted) {
            prompted.push_back(l.line);
        } else {
            unprompted[l.why].push_back(l.line);
        }
    }
    QStringList reasons;
    if (!prompted.empty()) {
        reasons << QStringLiteral("Lines not accepted: %1 (the update went on after the prompt).")
                       .arg(LineList(prompted));
    }
    // A bad answer without a prompt came after its line's wait, with no prompt left to come
    // (the final wait asks nothing).
    for (const auto& [why, list] : unprompted) {
        switch (why) {
            case NotAcceptedWhy::ChecksumError:
                reasons << QStringLiteral(
                               "Lines not accepted: %1 (a checksum error came too late for a "
                               "prompt).")
                               .arg(LineList(list));
                break;
            case NotAcceptedWhy::FlashError:
                reasons << QStringLiteral(
                               "Lines not accepted: %1 (a flash error came too late for a "
                               "prompt).")
                               .arg(LineList(list));
                break;
            case NotAcceptedWhy::UpdateEnd:
                reasons << QStringLiteral(
                               "Lines not accepted: %1 (answered \"#\", the end of the update, "
                               "which accepts nothing).")
                               .arg(LineList(list));
                break;
            case NotAcceptedWhy::NoResponse:
            case NotAcceptedWhy::NoAnswer:
                reasons << (list.size() == 1
                                ? QStringLiteral("1 line had no answer from the bootloader "
                                                 "(answers are matched in order, so which one "
                                                 "cannot be told).")
                                : QStringLiteral("%1 lines had no answer from the bootloader "
                                                 "(answers are matched in order, so which ones "
                                                 "cannot be told).")
                                      .arg(list.size()));
                break;
        }
    }
    if (ledger.OutOfStep()) {
        reasons << QStringLiteral(
            "Answers came out of step with the lines sent: a late answer was taken for a later "
            "line's.");
    }
    return reasons;
}

QString WhyName(NotAcceptedWhy why) {
    switch (why) {
        case NotAcceptedWhy::ChecksumError:
            return QStringLiteral("checksumError");
        case NotAcceptedWhy::FlashError:
            return QStringLiteral("flashError");
        case NotAcceptedWhy::NoResponse:
            return QStringLiteral("noResponse");
        case NotAcceptedWhy::NoAnswer:
            return QStringLiteral("noAnswer");
        case NotAcceptedWhy::UpdateEnd:
            break;
    }
    return QStringLiteral("updateEnd");
}
