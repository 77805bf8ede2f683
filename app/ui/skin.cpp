#include "ui/skin.h"

#include <QString>

// The skin is compiled into this static library; nothing else would pull its initialiser in.
static void EnsureSkinResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)registered;
}

QImage SkinImage(int id) {
    EnsureSkinResources();
    return QImage(QStringLiteral(":/skin/%1.png").arg(id));
}

QPixmap SkinBitmap(int id) {
    QImage image = SkinImage(id);
    if (image.isNull()) {
        return {};
    }
    image = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = kTransparentKey.rgb();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] | 0xFF000000u) == key) {
                line[x] = 0;
            }
        }
    }
    return QPixmap::fromImage(image);
}

QPixmap WindowIcon() {
    EnsureSkinResources();
    return QPixmap(QStringLiteral(":/skin/128.png"));
}

QPixmap DefaultBanner() {
    EnsureSkinResources();
    return QPixmap(QStringLiteral(":/skin/banner.png"));
}
