// The cut of the bootloader's version record, the reading and showing of its number, overflow.

#include "failure.h"
#include "int16.h"
#include "version_record.h"

#include <QLocale>
#include <QTest>

class VersionRecordTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void cut_data();
    void cut();
    void numbers_data();
    void numbers();
    void overflowIsAFailure();
    void shown_data();
    void shown();
};

void VersionRecordTest::cut_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<float>("loader");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("rest");
    QTest::newRow("whole record") << "V1.30|2.05?" << 1.3f << "2.05" << "1.30";
    QTest::newRow("text around it") << "xxV1.2|3.4?yy" << 1.2f << "3.4" << "1.2";
    QTest::newRow("no bar") << "V2?" << 2.0f << "" << "2?";
    QTest::newRow("lone reply token") << "?" << 0.0f << "" << "?";
    QTest::newRow("bar without V keeps everything") << "ab|3.4?" << 0.0f << "" << "ab|3.4?";
    QTest::newRow("V only after the bar") << "ab|V9?" << 0.0f << "V9" << "ab";
    QTest::newRow("no question mark") << "V1.4|2.1" << 1.4f << "2.1" << "1.4";
    QTest::newRow("letters after V") << "Vx1|2?" << 0.0f << "2" << "x1";
    QTest::newRow("record in pieces over two requests")
        << "BOOT V1.BOOT V1.30|2.05?30|2.05?" << 1.3f << "2.05" << "1.30";
    QTest::newRow("a V in the banner and after the number")
        << "DEVICE V1.30 REV|2.05?" << 1.3f << "2.05" << "1.30 REV";
}

void VersionRecordTest::cut() {
    QFETCH(QString, answer);
    QFETCH(float, loader);
    QFETCH(QString, firmware);
    QFETCH(QString, rest);
    const VersionRecord r = CutVersionRecord(answer);
    QCOMPARE(r.LoaderVersion, loader);
    QCOMPARE(r.OldFirmwareVersion, firmware);
    QCOMPARE(r.Rest, rest);
}

void VersionRecordTest::numbers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("plain") << "1.30" << 1.30;
    QTest::newRow("blanks, tabs and line feeds inside") << " 1 .\t2\n5x" << 1.25;
    QTest::newRow("second point ends it") << "1.2.3" << 1.2;
    QTest::newRow("sign") << "-2.5" << -2.5;
    QTest::newRow("exponent") << "3e2" << 300.0;
    QTest::newRow("exponent without digits") << "3e" << 3.0;
    QTest::newRow("comma is no separator") << "1,5" << 1.0;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("no number") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("carriage return is not skipped") << "1\r2" << 1.0;
    QTest::newRow("underflow") << "1e-999" << 0.0;
}

void VersionRecordTest::numbers() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(ReadNumber(text), value);
}

void VersionRecordTest::overflowIsAFailure() {
    QVERIFY_THROWS_EXCEPTION(Failure, CutVersionRecord(QStringLiteral("V1e39|x?")));
    QVERIFY_THROWS_EXCEPTION(Failure, CutVersionRecord(QStringLiteral("V1e999|x?")));
    QCOMPARE(CutVersionRecord(QStringLiteral("V3e38|x?")).LoaderVersion, 3e38f);
    // The 16-bit counters reach either end, and no step further.
    QCOMPARE(AddChecked16(32766, 1), qint16(32767));
    QCOMPARE(AddChecked16(-32767, -1), qint16(-32768));
    QVERIFY_THROWS_EXCEPTION(Failure, AddChecked16(32767, 1));
    QVERIFY_THROWS_EXCEPTION(Failure, AddChecked16(-32768, -1));
}

void VersionRecordTest::shown_data() {
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");  // empty: the C locale
    QTest::newRow("1.3") << 1.3f << "1.3" << "";
    QTest::newRow("whole") << 2.0f << "2" << "";
    QTest::newRow("zero") << 0.0f << "0" << "";
    QTest::newRow("seven digits") << 1.23456789f << "1.234568" << "";
    QTest::newRow("large") << 12345678.0f << "1.234568E+07" << "";
    QTest::newRow("small") << 0.00001f << "1E-05" << "";
    QTest::newRow("1.28") << 1.28f << "1.28" << "";
    QTest::newRow("negative") << -0.5f << "-0.5" << "";
    QTest::newRow("decimal comma") << 1.3f << "1,3" << "de_DE";
    QTest::newRow("decimal comma, exponent") << 0.00001f << "1E-05" << "de_DE";
}

void VersionRecordTest::shown() {
    QFETCH(float, value);
    QFETCH(QString, text);
    QFETCH(QString, locale);
    QLocale::setDefault(locale.isEmpty() ? QLocale::c() : QLocale(locale));
    const QString shown = FormatSingle(value);
    QLocale::setDefault(QLocale::c());
    QCOMPARE(shown, text);
}

QTEST_GUILESS_MAIN(VersionRecordTest)
#include "test_version_record.moc"
