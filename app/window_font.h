#pragma once

#include <QFont>

// The font of the window. The layout is fixed in pixels and was drawn for a small sans
// serif, so the font is chosen to fit it: the first available family of a list of narrow
// sans serifs (the platform's own font when none is there), at the largest pixel size at
// which every fixed caption fits its control.
QFont WindowFont();
