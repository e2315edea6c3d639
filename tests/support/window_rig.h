#pragma once

// The real window and the real serial layer on the simulated bootloader, with the means to
// act at a chosen moment of a run: a condition looked at every time the run yields to the
// event loop places a fault in the restart wait, between two lines or inside a reply wait.

#include "bootloader_sim.h"
#include "main_window.h"
#include "event_loop_wakes.h"
#include "files.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

const QString kSample = QStringLiteral(QUORVEL_SAMPLES_DIR "/demo-firmware.upd");

// Every Qt warning the process prints while a rig lives: a line that goes away must be
// reported once, not at every turn of the event loop.
inline std::atomic<int> qtWarnings{0};

class Rig {
public:
    explicit Rig(bootsim::Options options = {}) {
        // Unless a scenario restarts it, the bootloader restarts at once, as if by the user.
        if (options.restart_after_ms < 0 && options.restart_every_ms == 0) {
            options.restart_every_ms = 50;
        }
        // The port is a link in the test's own folder, which goes away with the simulator:
        // the number of a stopped simulator's /dev/pts device is soon another terminal's.
        if (options.link_path.empty()) {
            options.link_path = dir.filePath(QStringLiteral("com1")).toStdString();
        }
        sim = std::make_unique<bootsim::Simulator>(options);
        sim->Start();
        qputenv("QUORVEL_COM1", QByteArray::fromStdString(options.link_path));
        form = std::make_unique<Form1>();
        form->MessageBox = [this](QWidget*, const QString& text, int style, const QString&, const QString& detail) {
            boxes << text;
            details << detail;
            if ((style & 0x0F) != YesNo || answers.empty()) {
                return (style & 0x0F) != YesNo ? MsgBoxResult::Ok : MsgBoxResult::Yes;
            }
            const MsgBoxResult a = answers.front();
            answers.pop_front();
            return a;
        };
        form->SetPrefsPath(PrefsPath());
        form->Form_Load();
        boxes.clear();  // the first start's missing prefs.txt
        details.clear();
        SetFile(kSample);
        form->show();
        previousHandler_ = qInstallMessageHandler(&Rig::CountWarnings);
        qtWarnings = 0;
    }
    ~Rig() { qInstallMessageHandler(previousHandler_); }

    void SetFile(const QString& path) { form->findChild<QLineEdit*>("Text1")->setText(path); }
    QString PrefsPath() const { return dir.filePath(QStringLiteral("prefs.txt")); }

    // Presses the start button; returns when the run has ended. A run still going after
    // 30 s hangs: the window is closed to end it, and the result is false.
    bool Update() {
        bool hung = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            hung = form->Running();
            form->close();
        });
        watchdog.start(30 * 1000);
        form->findChild<QPushButton*>("Command6")->click();
        return !hung;
    }
    void Cancel() { form->findChild<QPushButton*>("Command4")->click(); }

    // Runs action once, at the first yield of the run to the event loop at which ready()
    // holds. A zero-interval timer fires at every yield, so "the first yield" is exact.
    void At(std::function<bool()> ready, std::function<void()> action) {
        auto* trigger = new QTimer(form.get());
        trigger->setInterval(0);
        ++pending;
        QObject::connect(trigger, &QTimer::timeout, [this, trigger, ready, action] {
            if (ready()) {
                trigger->stop();
                --pending;
                action();
            }
        });
        trigger->start();
    }

    QString Status() const { return Label("Label2"); }
    QString Label(const char* name) const { return form->findChild<QLabel*>(name)->text(); }
    bootsim::Stats Stats() const { return sim->GetStats(); }
    bool Idle() const {
        const auto* start = form->findChild<QPushButton*>("Command6");
        return Status() == QLatin1String("Idle") && !form->MSComm1().PortOpen() && start->isVisible() &&
               start->isEnabled() && !form->findChild<QPushButton*>("Command4")->isVisible() &&
               !form->findChild<QLabel*>("Label14")->isVisible();
    }
    // What a box said below its text: the device or file and the reason.
    QString Detail(int i) const { return details.value(i); }

    QTemporaryDir dir;
    std::unique_ptr<bootsim::Simulator> sim;
    std::unique_ptr<Form1> form;
    QStringList boxes;  // the texts of the boxes shown
    QStringList details;
    std::deque<MsgBoxResult> answers;  // to Yes/No prompts; Yes once they run out
    int pending = 0;                   // actions of At() that have not run

private:
    static void CountWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg && type != QtInfoMsg) {
            ++qtWarnings;
            fprintf(stderr, "Qt: %s\n", qPrintable(text));
        }
    }

    QtMessageHandler previousHandler_ = nullptr;
};

inline bootsim::MemoryImage ImageOf(const QString& path) {
    bootsim::MemoryImage image;
    bootsim::ImageOfUpdateFile(path.toStdString(), image);
    return image;
}

// How much the peak resident memory grows while body runs, in kB. The kernel's high-water
// mark is reset first where it can be, so that an earlier peak cannot hide this one.
inline long PeakGrowthKb(const std::function<void()>& body) {
    auto statusKb = [](const char* field) {  // "VmRSS:", "VmHWM:" from /proc/self/status
        const QByteArray all = ReadAll(QStringLiteral("/proc/self/status"));
        const int at = all.indexOf(field);
        return at < 0 ? -1L : all.mid(at + qstrlen(field)).trimmed().split(' ').value(0).toLong();
    };
    const bool reset = WriteFile(QStringLiteral("/proc/self/clear_refs"), "5");
    const long base = statusKb(reset ? "VmRSS:" : "VmHWM:");
    body();
    return statusKb("VmHWM:") - base;
}

// Takes capabilities out of this thread's effective set for its lifetime (they stay
// permitted), so that a test run as root meets a field engineer's permission checks.
class WithoutCapabilities {
public:
    explicit WithoutCapabilities(std::initializer_list<int> caps) {
        __user_cap_data_struct lowered[2] = {};
        ok_ = syscall(SYS_capget, &header_, saved_) == 0;
        std::copy(saved_, saved_ + 2, lowered);
        for (int cap : caps) {
            lowered[cap / 32].effective &= ~(1u << (cap % 32));
        }
        ok_ = ok_ && syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutCapabilities() {
        if (ok_) {
            syscall(SYS_capset, &header_, saved_);
        }
    }
    WithoutCapabilities(const WithoutCapabilities&) = delete;
    WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
    bool ok() const { return ok_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

