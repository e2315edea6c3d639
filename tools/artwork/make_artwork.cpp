// Draws the window's picture (350 x 150, a datalogger handing firmware to a chip) and the
// program's icon (a chip with an arrow into it), and writes them as palette PNG files: each
// also at twice the size (name@2x.png), which Qt shows on screens scaled to 200 %.
//
//   make_artwork <output folder>
//
// The files it writes are committed under app/resources; run it again after changing a
// drawing.

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QSet>

#include <cstdio>

namespace {

const QColor kInk(0x23, 0x2f, 0x3e);
const QColor kCase(0x3a, 0x5a, 0x80);
const QColor kScreen(0xcf, 0xe8, 0xd0);
const QColor kTrace(0x1f, 0x7a, 0x3a);
const QColor kChip(0x2b, 0x2b, 0x2b);
const QColor kPin(0xb8, 0xb8, 0xb8);
const QColor kArrow(0xe0, 0x8a, 0x1e);

void DrawChip(QPainter& p, QRectF body, int pinsPerSide, qreal pinLength) {
    p.setPen(Qt::NoPen);
    p.setBrush(kPin);
    const qreal stepX = body.width() / (pinsPerSide + 1);
    const qreal stepY = body.height() / (pinsPerSide + 1);
    const qreal pinWidth = qMax<qreal>(1.0, stepX * 0.45);
    for (int i = 1; i <= pinsPerSide; ++i) {
        const qreal x = body.left() + i * stepX - pinWidth / 2;
        const qreal y = body.top() + i * stepY - pinWidth / 2;
        p.drawRect(QRectF(x, body.top() - pinLength, pinWidth, pinLength));
        p.drawRect(QRectF(x, body.bottom(), pinWidth, pinLength));
        p.drawRect(QRectF(body.left() - pinLength, y, pinLength, pinWidth));
        p.drawRect(QRectF(body.right(), y, pinLength, pinWidth));
    }
    p.setBrush(kChip);
    p.drawRoundedRect(body, body.width() * 0.06, body.width() * 0.06);
    p.setBrush(QColor(0x55, 0x55, 0x55));
    const qreal dot = body.width() * 0.12;
    p.drawEllipse(QRectF(body.left() + dot * 0.7, body.top() + dot * 0.7, dot, dot));
}

// scale 2 draws the same picture with twice the pixels, for screens scaled to 200 %.
QImage DrawPicture(int scale) {
    QImage image(350 * scale, 150 * scale, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);

    QLinearGradient sky(0, 0, 0, 150);
    sky.setColorAt(0, QColor(0xf4, 0xf7, 0xfb));
    sky.setColorAt(1, QColor(0xdd, 0xe6, 0xf0));
    p.fillRect(QRectF(0, 0, 350, 150), sky);

    // The datalogger: a case with a display showing a logged curve, two lamps and a port.
    const QRectF logger(18, 22, 138, 100);
    p.setPen(QPen(kInk, 2));
    p.setBrush(kCase);
    p.drawRoundedRect(logger, 10, 10);
    const QRectF screen(32, 36, 110, 50);
    p.setBrush(kScreen);
    p.setPen(QPen(kInk, 1.5));
    p.drawRoundedRect(screen, 4, 4);
    QPainterPath curve;
    curve.moveTo(38, 72);
    const qreal ys[] = {72, 64, 68, 52, 58, 46, 55, 49, 60, 54, 44};
    for (int i = 1; i < 11; ++i) {
        curve.lineTo(38 + i * 9.8, ys[i]);
    }
    p.setPen(QPen(kTrace, 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(curve);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5c, 0xd1, 0x6b));
    p.drawEllipse(QRectF(34, 97, 9, 9));
    p.setBrush(kArrow);
    p.drawEllipse(QRectF(50, 97, 9, 9));
    p.setBrush(QColor(0xe6, 0xea, 0xef));
    p.setPen(QPen(kInk, 1.5));
    p.drawRoundedRect(QRectF(112, 95, 30, 14), 3, 3);

    // The serial cable from the logger's port to the chip.
    QPainterPath cable;
    cable.moveTo(142, 102);
    cable.cubicTo(190, 102, 200, 75, 236, 75);
    p.setPen(QPen(kInk, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cable);

    // Firmware on its way: an arrow over the cable and a few bits.
    p.setPen(Qt::NoPen);
    p.setBrush(kArrow);
    p.drawPolygon(
        QPolygonF({{174, 40}, {204, 40}, {204, 32}, {222, 47}, {204, 62}, {204, 54}, {174, 54}}));
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    p.setPen(kInk);
    p.drawText(QRectF(160, 14, 80, 14), Qt::AlignCenter, QStringLiteral("10110"));

    DrawChip(p, QRectF(250, 40, 70, 70), 5, 9);
    return image;
}

QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    DrawChip(p, QRectF(9, 15, 14, 14), 3, 2.5);
    p.setPen(Qt::NoPen);
    p.setBrush(kArrow);
    p.drawPolygon(
        QPolygonF({{13.5, 0}, {18.5, 0}, {18.5, 5}, {23, 5}, {16, 11.5}, {9, 5}, {13.5, 5}}));
    return image;
}

bool Save(const QImage& image, const QString& path) {
    // A palette image when the drawing has few enough colours, true colour otherwise.
    QImage out = image;
    QSet<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() <= 256; ++y) {
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
        }
    }
    if (colours.size() <= 256) {
        out = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    }
    if (!out.save(path, "PNG", 9)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_artwork <output folder>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    bool ok = Save(DrawPicture(1), out + QStringLiteral("/picture.png"));
    ok = Save(DrawPicture(2), out + QStringLiteral("/picture@2x.png")) && ok;
    ok = Save(DrawIcon(32), out + QStringLiteral("/icon.png")) && ok;
    ok = Save(DrawIcon(64), out + QStringLiteral("/icon@2x.png")) && ok;
    ok = Save(DrawIcon(128), out + QStringLiteral("/icon-128.png")) && ok;
    return ok ? 0 : 1;
}
