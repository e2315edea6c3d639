#include "reporter.h"

#include "progress.h"
#include "platform.h"

#include <QJsonDocument>

namespace {

// Without a terminal a progress line every ten seconds, and the last, is enough.
constexpr qint64 kPlainProgressMs = 10000;

}  // namespace

void Put(FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString ProgressText(const ProgressFigures& f) {
    QString text = QStringLiteral("Lines remaining: %1  %2%").arg(f.linesRemaining).arg(f.percent);
    if (f.rate >= 0.0) {
        text += QStringLiteral("  %1 lines/s").arg(f.rate, 0, 'f', 0);
    }
    if (f.held) {
        // The rate and the time left would only fall while nothing moves.
        return text + QStringLiteral("  held by the datalogger (XOFF)");
    }
    if (f.secondsLeft >= 0) {
        text += QStringLiteral("  %1 left").arg(FormatDuration(f.secondsLeft));
    }
    return text;
}

StreamReporter::StreamReporter(const CliOptions& options, FILE* out, FILE* err)
    : out_(out),
      err_(err),
      talk_(options.json ? err : out),
      quiet_(options.verbosity == CliOptions::Verbosity::Quiet),
      verbose_(options.verbosity == CliOptions::Verbosity::Verbose),
      json_(options.json),
      terminal_(IsTerminal(talk_)) {
    since_.start();
}

void StreamReporter::Print(FILE* stream, const QString& text) {
    EndProgress();
    QString line = text;
    if (verbose_) {
        line = QStringLiteral("[%1] ").arg(double(since_.elapsed()) / 1000.0, 8, 'f', 3) + line;
    }
    Put(stream, (line + QLatin1Char('\n')).toLocal8Bit());
}

void StreamReporter::EndProgress() {
    if (progressOpen_) {
        Put(talk_, "\n");
        progressOpen_ = false;
    }
}

void StreamReporter::Say(Kind kind, const QString& text) {
    switch (kind) {
        case Kind::Status:
            if (!quiet_) {
                Print(talk_, text);
            }
            break;
        case Kind::Event:
            if (verbose_) {
                Print(talk_, text);
            }
            break;
        case Kind::Outcome:
            Print(talk_, text);
            break;
        case Kind::Problem:
            Print(err_, text);
            break;
    }
}

void StreamReporter::ShowProgress(const ProgressFigures& figures, bool last) {
    if (quiet_) {
        return;
    }
    const QString text = ProgressText(figures);
    if (terminal_ && !verbose_) {
        Put(talk_, ("\r" + text + "\033[K").toLocal8Bit());
        progressOpen_ = true;
        if (last) {
            EndProgress();
        }
    } else if (last || !sincePlainProgress_.isValid() ||
               sincePlainProgress_.elapsed() >= kPlainProgressMs) {
        sincePlainProgress_.start();
        Print(talk_, text);
    }
}

void StreamReporter::Result(const QJsonObject& result) {
    EndProgress();
    if (json_) {
        Put(out_, QJsonDocument(result).toJson(QJsonDocument::Indented));
    }
}

void ParentReporter::Tagged(const char* tag, const QString& text) {
    // One item, one line: a text never carries a line end of its own.
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    Put(out_, QByteArray(tag) + '\t' + flat.toUtf8() + '\n');
}

void ParentReporter::Say(Kind kind, const QString& text) {
    switch (kind) {
        case Kind::Status:
            Tagged("status", text);
            break;
        case Kind::Outcome:
            Tagged("outcome", text);
            break;
        case Kind::Problem:
            Tagged("problem", text);
            break;
        case Kind::Event:
            Tagged("event", text);
            break;
    }
}

void ParentReporter::ShowProgress(const ProgressFigures& f, bool) {
    Tagged("progress", QStringLiteral("%1\t%2\t%3\t%4\t%5")
                           .arg(f.linesRemaining)
                           .arg(f.percent)
                           .arg(f.rate, 0, 'f', 1)
                           .arg(f.secondsLeft)
                           .arg(f.held ? 1 : 0));
}

void ParentReporter::Result(const QJsonObject& result) {
    Tagged("result", QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
}
