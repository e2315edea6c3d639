#include "window_font.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>

namespace {

struct Caption {
    const char* text;
    int width;  // room in pixels
};

// The captions that never change, with the room their controls give them. Buttons lose
// about 12 pixels to their bevel; the status line of the transfer must end before the
// count that covers its right end starts, 184 pixels in.
const Caption kCaptions[] = {
    {"Com Port Selection:", 107},
    {"Status:", 33},
    {"Connection", 109},
    {"Sending FLASH File - lines remaining ", 184},
    {"Select File, Press This Button, then Restart Datalogger", 349},
    {"Browse", 41},
    {"Requesting Datalogger Ready.  Try #3", 233},
    {"Waiting for Datalogger to Restart...", 233},
    {"Loader version: 1.234567", 177},
    {"-32768", 57},
};

bool Fits(const QFont& font) {
    const QFontMetrics metrics(font);
    for (const Caption& caption : kCaptions) {
        if (metrics.horizontalAdvance(QString::fromLatin1(caption.text)) > caption.width) {
            return false;
        }
    }
    // Two lines of the frames' rows are 24 pixels apart.
    return metrics.height() <= 17;
}

}  // namespace

QFont WindowFont() {
    QString family = QGuiApplication::font().family();
    const QStringList families = QFontDatabase::families();
    for (const char* preferred : {"Liberation Sans", "Arimo", "Arial", "Helvetica"}) {
        if (families.contains(QLatin1String(preferred))) {
            family = QLatin1String(preferred);
            break;
        }
    }
    QFont font(family);
    for (int pixels = 13; pixels >= 8; --pixels) {
        font.setPixelSize(pixels);
        if (Fits(font)) {
            return font;
        }
    }
    return font;
}
