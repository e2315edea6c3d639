#include "fleet.h"

#include "platform.h"
#include "port_names.h"
#include "progress.h"
#include "reporter.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <memory>
#include <vector>

namespace {

constexpr int kRedrawMs = 250;
constexpr qint64 kPlainProgressMs = 10000;

void Put(FILE* stream, const QString& text) {
    ::Put(stream, text.toLocal8Bit());
}

// A short name for a port: its device without "/dev/", or "port N" when no device is
// behind the number.
QString NameOf(const PortArgument& port) {
    const QString device = port.device.isEmpty() ? PortDeviceName(port.number) : port.device;
    if (device.isEmpty()) {
        return QStringLiteral("port%1").arg(port.number);
    }
    return device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : QFileInfo(device).fileName();
}

struct Member {
    PortArgument port;
    QString name;
    std::unique_ptr<QProcess> process;
    QByteArray pending;
    QString status;
    ProgressFigures progress;
    bool hasProgress = false;
    QElapsedTimer sincePlainProgress;
    QJsonObject result;
    bool finished = false;
};

class Fleet {
public:
    Fleet(const CliOptions& options, const QString& program, FILE* out, FILE* err)
        : options_(options),
          program_(program),
          out_(out),
          err_(err),
          talk_(options.json ? err : out),
          quiet_(options.verbosity == CliOptions::Verbosity::Quiet),
          verbose_(options.verbosity == CliOptions::Verbosity::Verbose),
          block_(IsTerminal(talk_) && options.verbosity == CliOptions::Verbosity::Normal) {}

    int Run();

private:
    void Start(Member& member);
    void Read(Member& member);
    void Take(Member& member, const QByteArray& line);
    void Finished(Member& member, int code, QProcess::ExitStatus how);
    void Say(Member& member, FILE* stream, const QString& text);
    void ClearBlock();
    void DrawBlock();
    void Interrupt();
    void Summary();

    const CliOptions& options_;
    QString program_;
    FILE* out_;
    FILE* err_;
    FILE* talk_;
    bool quiet_;
    bool verbose_;
    bool block_;  // one progress line per port, redrawn in place
    int drawn_ = 0;
    bool interrupted_ = false;
    std::vector<Member> members_;
    QEventLoop loop_;
    int running_ = 0;
    QElapsedTimer since_;
};

int Fleet::Run() {
    since_.start();
    members_.resize(size_t(options_.ports.size()));
    QStringList names;
    for (qsizetype i = 0; i < options_.ports.size(); ++i) {
        Member& m = members_[size_t(i)];
        m.port = options_.ports.at(i);
        m.name = NameOf(m.port);
        if (names.contains(m.name)) {
            m.name += QStringLiteral("-%1").arg(i + 1);
        }
        names << m.name;
    }

    StopRequests stops(StopRequests::Again::Delivered);
    QObject::connect(&stops, &StopRequests::Requested, &loop_, [this] { Interrupt(); });
    QTimer redraw;
    redraw.setInterval(kRedrawMs);
    QObject::connect(&redraw, &QTimer::timeout, &loop_, [this] { DrawBlock(); });

    for (Member& m : members_) {
        Start(m);
    }
    if (running_ > 0) {
        if (block_) {
            redraw.start();
        }
        loop_.exec();
    }
    redraw.stop();
    DrawBlock();
    drawn_ = 0;
    Summary();

    int status = kExitUpdated;
    QJsonArray all;
    for (const Member& m : members_) {
        all.append(m.result);
        const int s = m.result.value(QStringLiteral("exitStatus")).toInt(kExitUpdateFailed);
        if (status == kExitUpdated && s != kExitUpdated) {
            status = s;
        }
    }
    if (options_.json) {
        Put(out_, QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Indented)));
    }
    return status;
}

void Fleet::Start(Member& m) {
    QStringList args = {QStringLiteral("--port"), m.port.Text(), QStringLiteral("--file"),
                        options_.file, QStringLiteral("--on-error"),
                        options_.onError == CliOptions::OnError::Continue
                            ? QStringLiteral("continue")
                            : QStringLiteral("abort"),
                        QStringLiteral("--report-to-parent")};
    if (options_.verbosity == CliOptions::Verbosity::Verbose) {
        args << QStringLiteral("--verbose");
    }
    if (!options_.log.isEmpty()) {
        args << QStringLiteral("--log") << LogNameFor(options_.log, m.name);
    }
    if (!options_.recordCheck) {
        args << QStringLiteral("--no-record-check");
    }
    if (options_.restartTimeout > 0) {
        args << QStringLiteral("--restart-timeout") << QString::number(options_.restartTimeout);
    }
    m.process = std::make_unique<QProcess>();
    QProcess& p = *m.process;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    SetUpChildProcess(p);
    QObject::connect(&p, &QProcess::readyReadStandardOutput, &loop_, [this, &m] { Read(m); });
    QObject::connect(&p, &QProcess::finished, &loop_,
                     [this, &m](int code, QProcess::ExitStatus how) { Finished(m, code, how); });
    ++running_;
    p.start(program_, args);
    if (!p.waitForStarted()) {
        --running_;
        m.finished = true;
        m.result[QStringLiteral("port")] = m.port.Text();
        m.result[QStringLiteral("outcome")] = QStringLiteral("Cannot start ") + program_ +
                                              QStringLiteral(": ") + p.errorString();
        m.result[QStringLiteral("exitStatus")] = int(kExitUpdateFailed);
        Say(m, err_, m.result.value(QStringLiteral("outcome")).toString());
    }
}

void Fleet::Read(Member& m) {
    m.pending += m.process->readAllStandardOutput();
    for (qsizetype end = m.pending.indexOf('\n'); end >= 0; end = m.pending.indexOf('\n')) {
        const QByteArray line = m.pending.left(end);
        m.pending.remove(0, end + 1);
        Take(m, line);
    }
}

void Fleet::Take(Member& m, const QByteArray& line) {
    const qsizetype tab = line.indexOf('\t');
    const QByteArray tag = line.left(tab);
    const QString text = QString::fromUtf8(line.mid(tab + 1));
    if (tag == "status") {
        m.status = text;
        if (!quiet_ && !block_) {
            Say(m, talk_, text);
        }
    } else if (tag == "event") {
        Say(m, talk_, text);
    } else if (tag == "outcome") {
        m.status = text;
        Say(m, talk_, text);
    } else if (tag == "problem") {
        m.status = text;
        Say(m, err_, text);
    } else if (tag == "progress") {
        const QStringList f = text.split(QLatin1Char('\t'));
        if (f.size() == 5) {
            m.progress = {qint16(f[0].toInt()), f[1].toInt(), f[2].toDouble(), f[3].toLongLong(),
                          f[4] == QLatin1String("1")};
            m.hasProgress = true;
            if (!quiet_ && !block_ &&
                (!m.sincePlainProgress.isValid() ||
                 m.sincePlainProgress.elapsed() >= kPlainProgressMs)) {
                m.sincePlainProgress.start();
                Say(m, talk_, ProgressText(m.progress));
            }
        }
    } else if (tag == "result") {
        m.result = QJsonDocument::fromJson(text.toUtf8()).object();
    }
}

void Fleet::Finished(Member& m, int code, QProcess::ExitStatus how) {
    Read(m);
    m.finished = true;
    if (m.result.isEmpty()) {
        // A run that ended without its result (it crashed, or was killed) failed.
        m.result[QStringLiteral("port")] = m.port.Text();
        m.result[QStringLiteral("outcome")] =
            how == QProcess::CrashExit
                ? QStringLiteral("quorvel-cli for this port ended abnormally.")
                : QStringLiteral("quorvel-cli for this port ended without a result.");
        m.result[QStringLiteral("exitStatus")] =
            how == QProcess::NormalExit && code != 0 ? code : int(kExitUpdateFailed);
        Say(m, err_, m.result.value(QStringLiteral("outcome")).toString());
    }
    DrawBlock();
    if (--running_ == 0) {
        loop_.quit();
    }
}

void Fleet::Say(Member& m, FILE* stream, const QString& text) {
    ClearBlock();
    const QString time =
        verbose_ ? QStringLiteral("[%1] ").arg(double(since_.elapsed()) / 1000.0, 8, 'f', 3) : QString();
    Put(stream, QStringLiteral("%1[%2] %3\n").arg(time, m.name, text));
    DrawBlock();
}

void Fleet::ClearBlock() {
    if (drawn_ > 0) {
        Put(talk_, QStringLiteral("\033[%1A\r\033[J").arg(drawn_));
        drawn_ = 0;
    }
}

void Fleet::DrawBlock() {
    if (!block_) {
        return;
    }
    const int columns = TerminalColumns(talk_);
    QString text;
    if (drawn_ > 0) {
        text += QStringLiteral("\033[%1A").arg(drawn_);
    }
    int width = 0;
    for (const Member& m : members_) {
        width = qMax(width, int(m.name.size()));
    }
    for (const Member& m : members_) {
        QString line = m.name.leftJustified(width + 2);
        if (m.finished) {
            // A finished port's rate would only go stale: its outcome takes the line.
            line += m.result.value(QStringLiteral("outcome")).toString();
        } else {
            line += m.hasProgress ? ProgressText(m.progress) + QStringLiteral("  ") : QString();
            line += m.status;
        }
        text += QLatin1Char('\r') + line.left(columns - 1) + QStringLiteral("\033[K\n");
    }
    Put(talk_, text);
    drawn_ = int(members_.size());
}

void Fleet::Interrupt() {
    if (interrupted_) {
        return;
    }
    interrupted_ = true;
    // Every port's run cancels at once, each closing its own port on the way out.
    for (Member& m : members_) {
        if (!m.finished && m.process) {
            m.process->terminate();
        }
    }
}

void Fleet::Summary() {
    // Columns as wide as their widest cell.
    QList<QStringList> rows = {{QStringLiteral("Port"), QStringLiteral("Status"),
                                QStringLiteral("Sent"), QStringLiteral("Accepted"),
                                QStringLiteral("Resends"), QStringLiteral("Outcome")}};
    for (const Member& m : members_) {
        const QJsonObject& r = m.result;
        rows.append({m.name,
                     QString::number(r.value(QStringLiteral("exitStatus")).toInt(kExitUpdateFailed)),
                     QStringLiteral("%1/%2")
                         .arg(r.value(QStringLiteral("linesSent")).toInt())
                         .arg(r.value(QStringLiteral("dataLines")).toInt()),
                     QString::number(r.value(QStringLiteral("linesAccepted")).toInt()),
                     QString::number(r.value(QStringLiteral("resends")).toInt()),
                     r.value(QStringLiteral("outcome")).toString()});
    }
    const int last = int(rows.first().size()) - 1;
    QList<int> widths(last + 1, 0);
    for (const QStringList& row : rows) {
        for (int c = 0; c <= last; ++c) {
            widths[c] = qMax(widths[c], int(row[c].size()));
        }
    }
    QString table;
    for (const QStringList& row : rows) {
        QStringList cells;
        for (int c = 0; c < last; ++c) {
            cells << (c == 0 ? row[c].leftJustified(widths[c]) : row[c].rightJustified(widths[c]));
        }
        cells << row[last];
        table += cells.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    Put(talk_, table);
}

}  // namespace

QString LogNameFor(const QString& log, const QString& portName) {
    QString name = portName;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    const QFileInfo info(log);
    const QString suffix = info.suffix();
    const QString base = suffix.isEmpty() ? log : log.left(log.size() - suffix.size() - 1);
    return base + QLatin1Char('-') + name + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

int RunFleet(const CliOptions& options, const QString& program, FILE* out, FILE* err) {
    return Fleet(options, program, out, err).Run();
}
