// The numbering of serial ports: pinned devices, then the ports present in a stable order.

#include "port_names.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class PortNamesTest : public QObject {
    Q_OBJECT
private slots:
    void numbering_data();
    void numbering();
    void pinnedNumberNamesItsDevice();
};

void PortNamesTest::numbering_data() {
    // Device names are files of a folder of the test's own; "by-id" is a link to ttyUSB1.
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("pinned");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("UART, modem, adapters in number order, others last")
        << QStringList{"ttyUSB10", "rfcomm0", "ttyUSB2", "ttyACM3", "ttyS1", "ttyUSB0", "ttyS0"} << QStringList{}
        << QStringList{"ttyS0", "ttyS1", "ttyACM3", "ttyUSB0", "ttyUSB2", "ttyUSB10", "rfcomm0"};
    QTest::newRow("a pinned adapter is left out, also through a link")
        << QStringList{"ttyUSB1", "ttyS0", "ttyUSB0", "ttyACM0"} << QStringList{"by-id"}
        << QStringList{"ttyS0", "ttyACM0", "ttyUSB0"};
}

void PortNamesTest::numbering() {
    QFETCH(QStringList, present);
    QFETCH(QStringList, pinned);
    QFETCH(QStringList, ports);
    QTemporaryDir dir;
    for (const QString& name : present) {
        QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    }
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("ttyUSB1")), dir.filePath(QStringLiteral("by-id"))));
    auto paths = [&](QStringList names) {
        for (QString& name : names) {
            name = dir.filePath(name);
        }
        return names;
    };
    QCOMPARE(NumberPorts(paths(present), paths(pinned)), paths(ports));
}

void PortNamesTest::pinnedNumberNamesItsDevice() {
    // Every numbered device has its number, the last one too; past them there is none.
    const QStringList numbered = {"/dev/ttyS0", "/dev/ttyUSB0"};
    QCOMPARE(DeviceOfPort(2, numbered), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(DeviceOfPort(3, numbered), QString());
    qputenv("QUORVEL_COM3", "/dev/serial/by-id/usb-logger-if00");
    QCOMPARE(DeviceOfPort(3, numbered), QStringLiteral("/dev/serial/by-id/usb-logger-if00"));
    QCOMPARE(PortDeviceName(3), QStringLiteral("/dev/serial/by-id/usb-logger-if00"));
    QCOMPARE(PortDevices(3).value(2), QStringLiteral("/dev/serial/by-id/usb-logger-if00"));
    qunsetenv("QUORVEL_COM3");
    // Port 1 pinned, two adapters present: they are ports 2 and 3, not hidden behind it.
    qputenv("QUORVEL_COM1", "/dev/serial/by-id/usb-pinned-if00");
    const QStringList adapters = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    QCOMPARE(QStringList({DeviceOfPort(1, adapters), DeviceOfPort(2, adapters), DeviceOfPort(3, adapters)}),
             QStringList({"/dev/serial/by-id/usb-pinned-if00", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
    qunsetenv("QUORVEL_COM1");
}

QTEST_GUILESS_MAIN(PortNamesTest)
#include "test_port_names.moc"
