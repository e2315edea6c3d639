#pragma once

// A pseudo-terminal for tests of the real serial layer: the test holds the master side and
// points COM port n at the slave through QUORVEL_COM<n>.

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = QString::fromLocal8Bit(name);
            termios raw{};
            tcgetattr(slave_, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave_, TCSANOW, &raw);
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PtyPair() { HangUp(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const QString& path() const { return path_; }
    // The slave's line settings, as the port under test left them.
    termios Settings() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    // Whether output on the line is stopped by an XOFF from the master side, once the
    // terminal has taken the XOFF in (a pseudo-terminal does so a moment after the write):
    // a stopped slave has no room to write.
    bool OutputStopped() const {
        pollfd p{slave_, POLLOUT, 0};
        return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLOUT) == 0;
    }
    // Writes from the slave side, as the port under test would: the bytes queue behind
    // whatever the port sent before them.
    bool WriteAsPort(const QByteArray& bytes) const {
        return ::write(slave_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    void PointPortAt(int port) const {
        qputenv(QByteArray("QUORVEL_COM") + QByteArray::number(port), path_.toLocal8Bit());
    }
    void Write(const QByteArray& bytes) const {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }
    // Reads until count bytes have come (never more) or msecs pass without any.
    QByteArray Read(qsizetype count, int msecs = 2000) const {
        QByteArray got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, msecs) <= 0) {
                break;
            }
            char buf[4096];
            const qsizetype most = qMin<qsizetype>(sizeof buf, count - got.size());
            const ssize_t n = ::read(master_, buf, size_t(most));
            if (n <= 0) {
                break;
            }
            got.append(buf, n);
        }
        return got;
    }
    // The far side of the line goes away. The test's own slave descriptor goes too, so
    // nothing keeps the line alive.
    void HangUp() {
        for (int* fd : {&slave_, &master_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};
