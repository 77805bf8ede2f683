// The skin's bitmaps, by the resource numbers the window's layout uses.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>

// Pixels of this colour are holes in a bitmap drawn transparently.
inline const QColor kTransparentKey(255, 0, 255);

// The bitmap as drawn: magenta pixels are made transparent. A null pixmap for an unknown id.
QPixmap SkinBitmap(int id);
// The bitmap exactly as stored, magenta included.
QImage SkinImage(int id);
// The window icon (resource 128) and the banner shown until (or unless) the remote one arrives.
QPixmap WindowIcon();
QPixmap DefaultBanner();
