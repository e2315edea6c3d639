// Whole updates through the real window and the real serial layer, against the simulated
// bootloader on a pseudo-terminal.

#include "bootloader_sim.h"
#include "main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <deque>

namespace {

const QString kSample = QStringLiteral(QUORVEL_SAMPLES_DIR "/demo-firmware.upd");

// A window on the simulator: the bootloader announces its restart until it is asked
// whether it is ready, as if the user restarted the datalogger at once.
class Rig {
public:
    explicit Rig(bootsim::Options options = {}) {
        options.restart_every_ms = options.restart_after_ms < 0 && options.restart_every_ms == 0
                                       ? 50
                                       : options.restart_every_ms;
        sim = std::make_unique<bootsim::Simulator>(options);
        sim->Start();
        qputenv("QUORVEL_COM1", QByteArray::fromStdString(sim->DevicePath()));
        form = std::make_unique<Form1>();
        form->MessageBox = [this](QWidget*, const QString& text, int style, const QString& title) {
            boxes << QStringLiteral("%1|%2|%3").arg(style).arg(title, text);
            if ((style & 0x0F) != YesNo || answers.empty()) {
                return (style & 0x0F) == YesNo ? MsgBoxResult::Yes : MsgBoxResult::Ok;
            }
            const MsgBoxResult a = answers.front();
            answers.pop_front();
            return a;
        };
        form->SetPrefsPath(dir.filePath(QStringLiteral("prefs.txt")));
        form->Form_Load();
        boxes.clear();  // the first start's missing prefs.txt
        form->findChild<QLineEdit*>("Text1")->setText(kSample);
        form->show();
    }

    // Presses the start button; returns when the run has ended.
    void Update() { form->findChild<QPushButton*>("Command6")->click(); }

    QString Status() const { return form->findChild<QLabel*>("Label2")->text(); }
    QString Label(const char* name) const { return form->findChild<QLabel*>(name)->text(); }
    bool Idle() const {
        return Status() == QLatin1String("Idle") && !form->MSComm1().PortOpen() &&
               form->findChild<QPushButton*>("Command6")->isVisible() &&
               !form->findChild<QPushButton*>("Command4")->isVisible();
    }
    QStringList Texts() const {
        QStringList out;
        for (const QString& b : boxes) {
            out << b.section('|', 2);
        }
        return out;
    }

    QTemporaryDir dir;
    std::unique_ptr<bootsim::Simulator> sim;
    std::unique_ptr<Form1> form;
    QStringList boxes;
    std::deque<MsgBoxResult> answers;
};

bootsim::MemoryImage ImageOfSample() {
    bootsim::MemoryImage image;
    bootsim::ImageOfUpdateFile(kSample.toStdString(), image);
    return image;
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void wholeSampleFlashesTheFilesImage();
    void checksumErrorRecoversOnTheSecondSend();
    void flashErrorAnsweredNo();
    void oldLoader();
    void silentBootloader();
    void closingTheWindowDuringARun_data();
    void closingTheWindowDuringARun();
};

void EndToEndTest::wholeSampleFlashesTheFilesImage() {
    Rig rig;
    rig.Update();
    QCOMPARE(rig.Texts(), QStringList({"Datalogger successfully updated."}));
    QCOMPARE(rig.boxes.first().section('|', 0, 1), QStringLiteral("0|Quorvel - V 1.0"));
    QVERIFY(rig.sim->WaitForSessions(1, std::chrono::seconds(5)));
    const bootsim::MemoryImage flashed = rig.sim->LastImage();
    QVERIFY(!flashed.Empty());
    QVERIFY(flashed == ImageOfSample());
    QCOMPARE(rig.sim->GetStats().records, rig.sim->GetStats().lines);
    QCOMPARE(rig.Label("Label16"), QStringLiteral("Loader version: 1.3"));
    QCOMPARE(rig.Label("Label17"), QStringLiteral("Old firmware version: 2.05"));
    QCOMPARE(rig.Label("Label18"), QStringLiteral("Update firmware version: V2.10"));
    QVERIFY(rig.Idle());
    QVERIFY(!rig.form->findChild<QLabel*>("Label14")->isVisible());
}

void EndToEndTest::checksumErrorRecoversOnTheSecondSend() {
    bootsim::Options options;
    options.faults = {{bootsim::FaultKind::Checksum, 10, 1}};
    Rig rig(options);
    rig.Update();
    QCOMPARE(rig.Texts(), QStringList({"Datalogger successfully updated."}));
    const bootsim::Stats stats = rig.sim->GetStats();
    QCOMPARE(stats.records, stats.lines + 1);
    QCOMPARE(stats.checksum_errors, std::uint64_t(1));
    QVERIFY(rig.sim->LastImage() == ImageOfSample());
}

void EndToEndTest::flashErrorAnsweredNo() {
    bootsim::Options options;
    options.faults = {{bootsim::FaultKind::Flash, 5, 1}};
    Rig rig(options);
    rig.answers = {MsgBoxResult::No};
    rig.Update();
    QCOMPARE(rig.Texts(), QStringList({"Error writing to flash at line 5. Continue with download?"}));
    QCOMPARE(rig.boxes.first().section('|', 0, 0), QStringLiteral("4"));
    QCOMPARE(rig.sim->GetStats().records, std::uint64_t(5));
    QVERIFY(rig.Idle());
}

void EndToEndTest::oldLoader() {
    bootsim::Options options;
    options.loader_version = "1.20";
    options.faults = {{bootsim::FaultKind::Silent, 7, 1}};
    Rig rig(options);
    rig.Update();
    // An old loader gets each line once; the silent line passes without a prompt, and the
    // bootloader, which never took it, reports the update failed.
    QCOMPARE(rig.Label("Label16"), QStringLiteral("Loader version: 1.2"));
    QCOMPARE(rig.Texts(), QStringList({"Error encountered while updating."}));
    QCOMPARE(rig.sim->GetStats().records, rig.sim->GetStats().lines);
    QVERIFY(rig.Idle());
}

void EndToEndTest::silentBootloader() {
    bootsim::Options options;
    options.silent_ready_requests = 3;
    Rig rig(options);
    rig.Update();
    QCOMPARE(rig.Texts(), QStringList({"No response from Datalogger."}));
    QCOMPARE(rig.boxes.first().section('|', 0, 0), QStringLiteral("0"));
    QCOMPARE(rig.sim->GetStats().ready_requests, std::uint64_t(3));
    QCOMPARE(rig.sim->GetStats().records, std::uint64_t(0));
    QVERIFY(rig.Idle());
}

void EndToEndTest::closingTheWindowDuringARun_data() {
    QTest::addColumn<bool>("duringTransfer");
    QTest::newRow("waiting for the restart") << false;
    QTest::newRow("waiting for a reply") << true;
}

void EndToEndTest::closingTheWindowDuringARun() {
    // The unload closes the port and saves the preferences; the run then stops without
    // another box and sends nothing more.
    QFETCH(bool, duringTransfer);
    bootsim::Options options;
    if (duringTransfer) {
        options.faults = {{bootsim::FaultKind::Silent, 20, 3}};
    } else {
        options.restart_after_ms = 60 * 1000;
    }
    Rig rig(options);
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, rig.form.get(), [&] {
        if (!duringTransfer || rig.sim->GetStats().records >= 20) {
            closer.stop();
            rig.form->close();
        }
    });
    closer.start();
    rig.Update();
    const std::uint64_t records = rig.sim->GetStats().records;
    QCOMPARE(rig.form->Run().LastOutcome(), RunOutcome::WindowClosed);
    QVERIFY(rig.boxes.isEmpty());
    QVERIFY(!rig.form->MSComm1().PortOpen());
    QVERIFY(QFile::exists(rig.dir.filePath(QStringLiteral("prefs.txt"))));
    QCOMPARE(records, duringTransfer ? std::uint64_t(20) : std::uint64_t(0));
    QTest::qWait(200);
    QCOMPARE(rig.sim->GetStats().records, records);
}

QTEST_MAIN(EndToEndTest)
#include "test_e2e_window.moc"
