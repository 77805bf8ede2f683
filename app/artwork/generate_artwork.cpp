// Draws the window's skin: panels, buttons, progress bar, graph, check box, icon and the built-in
// banner, at the sizes the window's layout expects, into the folder given as the argument.
// Magenta (255, 0, 255) marks the pixels a bitmap leaves transparent. The output is committed;
// run this again only to change the artwork.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QStringList>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const QColor kMagenta(255, 0, 255);
const QColor kGold(213, 186, 17);
const QColor kLabel(159, 176, 204);
const QColor kWellFill(11, 15, 22);
const QColor kWellBorder(46, 58, 80);
const QColor kDivider(42, 52, 71);

QString gCjk = QStringLiteral("WenQuanYi Micro Hei");
QString gLatin = QStringLiteral("DejaVu Sans");
QString gOutput;

QFont Cjk(int pixels, bool bold = false) {
    QFont font(gCjk);
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

QFont Latin(int pixels, bool bold = true) {
    QFont font;
    font.setFamilies({gLatin, gCjk});
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QImage NewImage(int width, int height, const QColor& fill = Qt::transparent) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(fill);
    return image;
}

void Save(const QImage& image, const QString& name) {
    const QString path = gOutput + "/" + name;
    // Stored opaque: the window keys transparency on magenta, not on alpha.
    if (!image.convertToFormat(QImage::Format_RGB32).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    std::printf("%s %dx%d\n", qPrintable(name), image.width(), image.height());
}

// --- panels -------------------------------------------------------------------------------

QImage TopBar() {
    QImage image = NewImage(748, 20);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 20);
    fill.setColorAt(0, QColor(47, 57, 77));
    fill.setColorAt(1, QColor(24, 30, 42));
    p.fillRect(image.rect(), fill);
    p.fillRect(0, 0, 748, 1, QColor(70, 84, 110));
    QLinearGradient line(0, 0, 748, 0);
    line.setColorAt(0, QColor(213, 186, 17, 220));
    line.setColorAt(0.6, QColor(213, 186, 17, 90));
    line.setColorAt(1, QColor(213, 186, 17, 0));
    p.fillRect(0, 19, 748, 1, line);

    // The mark: a gold disc with a download arrow.
    QRadialGradient disc(QPointF(13, 8), 9);
    disc.setColorAt(0, QColor(255, 229, 120));
    disc.setColorAt(1, QColor(190, 150, 10));
    p.setPen(QPen(QColor(120, 90, 0), 1));
    p.setBrush(disc);
    p.drawEllipse(QPointF(14, 10), 7, 7);
    QPainterPath arrow;
    arrow.moveTo(12.5, 5.5);
    arrow.lineTo(15.5, 5.5);
    arrow.lineTo(15.5, 9.5);
    arrow.lineTo(18, 9.5);
    arrow.lineTo(14, 14);
    arrow.lineTo(10, 9.5);
    arrow.lineTo(12.5, 9.5);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 28, 0));
    p.drawPath(arrow);

    p.setFont(Latin(11));
    p.setPen(QColor(236, 240, 246));
    p.drawText(QRect(28, 0, 200, 20), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("TEV-Downloader"));
    p.setPen(QColor(213, 186, 17));
    p.setFont(Cjk(12));
    p.drawText(QRect(136, 0, 300, 20), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("QK  遊戲下載器"));
    return image;
}

QImage BottomBar() {
    QImage image = NewImage(748, 21);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 21);
    fill.setColorAt(0, QColor(22, 28, 39));
    fill.setColorAt(1, QColor(12, 16, 23));
    p.fillRect(image.rect(), fill);
    p.fillRect(0, 0, 748, 1, kWellBorder);
    p.setFont(Latin(9, false));
    p.setPen(QColor(109, 122, 146));
    p.drawText(QRect(26, 1, 300, 20), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("\u00A9 Velmor Inc. All rights reserved."));
    p.drawText(QRect(440, 1, 296, 20), Qt::AlignVCenter | Qt::AlignRight,
               QStringLiteral("TEV-Downloader 3.5.0.2"));
    return image;
}

QImage LeftBar() {
    QImage image = NewImage(21, 396);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 21, 0);
    fill.setColorAt(0, QColor(14, 18, 26));
    fill.setColorAt(1, QColor(28, 35, 49));
    p.fillRect(image.rect(), fill);
    QLinearGradient accent(0, 0, 0, 396);
    accent.setColorAt(0, QColor(213, 186, 17, 200));
    accent.setColorAt(1, QColor(213, 186, 17, 0));
    p.fillRect(9, 14, 2, 200, accent);
    p.fillRect(20, 0, 1, 396, kWellBorder);
    return image;
}

// Panel coordinates of the right-hand area's texts, as the window places its controls.
struct Row {
    const char* label;
    int labelX;
    QRect well;
};

QImage RightPanel() {
    QImage image = NewImage(385, 396);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 396);
    fill.setColorAt(0, QColor(34, 43, 59));
    fill.setColorAt(0.55, QColor(25, 32, 45));
    fill.setColorAt(1, QColor(18, 23, 33));
    p.fillRect(image.rect(), fill);
    QRadialGradient glow(QPointF(330, 10), 260);
    glow.setColorAt(0, QColor(213, 186, 17, 26));
    glow.setColorAt(1, QColor(213, 186, 17, 0));
    p.fillRect(image.rect(), glow);
    // The banner's edge casts a shadow onto the panel.
    QLinearGradient shadow(0, 0, 6, 0);
    shadow.setColorAt(0, QColor(0, 0, 0, 150));
    shadow.setColorAt(1, QColor(0, 0, 0, 0));
    p.fillRect(0, 0, 6, 396, shadow);
    p.fillRect(0, 0, 1, 396, kWellBorder);

    const Row rows[] = {
        {"檔案名稱", 22, QRect(86, 4, 279, 22)},     {"已下載", 22, QRect(86, 35, 279, 22)},
        {"檔案大小", 22, QRect(86, 66, 279, 22)},    {"經過時間", 22, QRect(90, 110, 98, 22)},
        {"剩餘時間", 212, QRect(264, 110, 101, 22)}, {"下載速度", 22, QRect(86, 148, 279, 21)},
        {"儲存路徑", 22, QRect(78, 332, 214, 22)},
    };
    for (const Row& row : rows) {
        p.setPen(QPen(kWellBorder, 1));
        p.setBrush(kWellFill);
        p.drawRoundedRect(QRectF(row.well).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        p.setPen(QColor(255, 255, 255, 14));
        p.drawLine(row.well.left() + 4, row.well.bottom() + 1, row.well.right() - 4,
                   row.well.bottom() + 1);
        p.setFont(Cjk(12));
        p.setPen(kLabel);
        p.drawText(QRect(row.labelX, row.well.top(), 64, row.well.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(row.label));
    }
    // Progress labels sit left of the bars.
    p.setFont(Cjk(12));
    p.setPen(kLabel);
    p.drawText(QRect(22, 262, 56, 18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("目前檔案"));
    p.drawText(QRect(22, 292, 56, 18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("全部進度"));

    // The graph's frame, and the dividers between the groups.
    p.setPen(QPen(kWellBorder, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(21.5, 170.5, 343, 70));
    for (const int y : {98, 251, 322, 362}) {
        QLinearGradient line(22, 0, 364, 0);
        line.setColorAt(0, QColor(kDivider.red(), kDivider.green(), kDivider.blue(), 0));
        line.setColorAt(0.15, kDivider);
        line.setColorAt(0.85, kDivider);
        line.setColorAt(1, QColor(kDivider.red(), kDivider.green(), kDivider.blue(), 0));
        p.fillRect(22, y, 342, 1, line);
        p.fillRect(22, y + 1, 342, 1, QColor(255, 255, 255, 8));
    }
    return image;
}

// The whole client area's skin, for drawing controls over the right background.
QImage Backdrop(const QImage& top, const QImage& bottom, const QImage& left, const QImage& right) {
    QImage image = NewImage(748, 437, QColor(12, 16, 23));
    QPainter p(&image);
    p.drawImage(0, 0, top);
    p.drawImage(0, 416, bottom);
    p.drawImage(0, 20, left);
    p.drawImage(363, 20, right);
    return image;
}

// --- controls -----------------------------------------------------------------------------

QImage GraphBackground(const QImage& backdrop) {
    QImage image = backdrop.copy(385, 191, 342, 69);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 69);
    fill.setColorAt(0, QColor(10, 14, 21));
    fill.setColorAt(1, QColor(15, 21, 30));
    p.fillRect(image.rect(), fill);
    for (int k = 1; k < 4; ++k) {
        const int y = 69 * k / 4;
        p.fillRect(0, y, 342, 1, QColor(30, 40, 56));
    }
    for (int x = 2; x < 342; x += 50) {
        p.fillRect(x, 0, 1, 69, QColor(24, 33, 48));
    }
    p.setFont(Latin(8, false));
    p.setPen(QColor(93, 107, 133));
    p.drawText(QRect(0, 1, 338, 10), Qt::AlignRight | Qt::AlignTop, QStringLiteral("Mbps"));
    return image;
}

QImage ProgressBackground(const QImage& backdrop) {
    QImage image = backdrop.copy(441, 282, 286, 18);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kWellBorder, 1));
    p.setBrush(QColor(9, 12, 18));
    p.drawRoundedRect(QRectF(0.5, 0.5, 285, 17), 4, 4);
    p.setPen(QColor(0, 0, 0, 110));
    p.drawLine(3, 2, 282, 2);
    return image;
}

QImage ProgressBarTile() {
    QImage image = NewImage(85, 16);
    QPainter p(&image);
    QLinearGradient fill(0, 0, 0, 16);
    fill.setColorAt(0, QColor(102, 183, 255));
    fill.setColorAt(0.45, QColor(45, 132, 228));
    fill.setColorAt(1, QColor(26, 90, 178));
    p.fillRect(image.rect(), fill);
    // Diagonal stripes, 17 pixels apart, so that the tile repeats seamlessly.
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(image.rect());
    for (int x = -17; x < 85 + 17; x += 17) {
        QPainterPath stripe;
        stripe.moveTo(x, 16);
        stripe.lineTo(x + 7, 16);
        stripe.lineTo(x + 7 + 10, 0);
        stripe.lineTo(x + 10, 0);
        stripe.closeSubpath();
        p.fillPath(stripe, QColor(255, 255, 255, 34));
    }
    p.setClipping(false);
    p.fillRect(0, 0, 85, 1, QColor(170, 215, 255, 200));
    p.fillRect(0, 15, 85, 1, QColor(12, 50, 110, 200));
    return image;
}

struct ButtonLook {
    QColor top;
    QColor bottom;
    QColor border;
    QColor text;
    bool glow = false;
};

enum class Glyph { None, Download, Stop, Install, Close, Folder };

void DrawGlyph(QPainter& p, Glyph glyph, const QRectF& box, const QColor& color) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    const QPointF c = box.center();
    QPainterPath path;
    switch (glyph) {
        case Glyph::Download:
            path.moveTo(c.x() - 2, c.y() - 6);
            path.lineTo(c.x() + 2, c.y() - 6);
            path.lineTo(c.x() + 2, c.y() - 1);
            path.lineTo(c.x() + 5, c.y() - 1);
            path.lineTo(c.x(), c.y() + 4);
            path.lineTo(c.x() - 5, c.y() - 1);
            path.lineTo(c.x() - 2, c.y() - 1);
            path.closeSubpath();
            p.drawPath(path);
            p.drawRect(QRectF(c.x() - 6, c.y() + 5, 12, 1.6));
            break;
        case Glyph::Stop:
            p.drawRoundedRect(QRectF(c.x() - 4.5, c.y() - 4.5, 9, 9), 1.5, 1.5);
            break;
        case Glyph::Install:
            path.moveTo(c.x() - 3.5, c.y() - 5.5);
            path.lineTo(c.x() + 5, c.y());
            path.lineTo(c.x() - 3.5, c.y() + 5.5);
            path.closeSubpath();
            p.drawPath(path);
            break;
        case Glyph::Close: {
            QPen pen(color, 2.0, Qt::SolidLine, Qt::RoundCap);
            p.setPen(pen);
            p.drawLine(QPointF(c.x() - 4, c.y() - 4), QPointF(c.x() + 4, c.y() + 4));
            p.drawLine(QPointF(c.x() + 4, c.y() - 4), QPointF(c.x() - 4, c.y() + 4));
            break;
        }
        case Glyph::Folder:
            p.drawRoundedRect(QRectF(c.x() - 5, c.y() - 3, 10, 7), 1, 1);
            p.drawRect(QRectF(c.x() - 5, c.y() - 4.5, 4, 2));
            break;
        case Glyph::None:
            break;
    }
    p.restore();
}

// A rounded button drawn over the skin below it; pixels outside its shape become magenta.
QImage Button(const QImage& below, int width, int height, const ButtonLook& look,
              const QString& label, Glyph glyph, int fontPixels) {
    QImage image = below.copy(0, 0, width, height);
    const qreal radius = height >= 24 ? 5 : 3.5;
    // The last row rests on the bottom bar's edge for the large buttons: keep it clear.
    const QRectF shape(0, 0, width, height >= 24 ? height - 1 : height);
    QPainterPath outline;
    outline.addRoundedRect(shape.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        if (look.glow) {
            p.setPen(QPen(QColor(255, 235, 150, 90), 2));
            p.drawPath(outline);
        }
        QLinearGradient fill(0, 0, 0, shape.height());
        fill.setColorAt(0, look.top);
        fill.setColorAt(1, look.bottom);
        p.setPen(QPen(look.border, 1));
        p.setBrush(fill);
        p.drawPath(outline);
        // Gloss over the upper half.
        QPainterPath gloss;
        gloss.addRoundedRect(QRectF(1.5, 1.5, width - 3, shape.height() / 2 - 1), radius - 1,
                             radius - 1);
        p.fillPath(gloss, QColor(255, 255, 255, look.glow ? 60 : 38));

        const QFont font = Cjk(fontPixels);
        p.setFont(font);
        const QFontMetrics metrics(font);
        const int textWidth = metrics.horizontalAdvance(label);
        const int glyphWidth = glyph == Glyph::None ? 0 : 14;
        const int left = (width - textWidth - glyphWidth) / 2;
        if (glyph != Glyph::None) {
            DrawGlyph(p, glyph, QRectF(left, 0, 12, shape.height()), look.text);
        }
        const QRect textBox(left + glyphWidth, 0, textWidth + 2, static_cast<int>(shape.height()));
        const bool darkText = look.text.lightness() < 128;
        p.setPen(darkText ? QColor(255, 255, 255, 70) : QColor(0, 0, 0, 110));
        p.drawText(textBox.translated(0, 1), Qt::AlignLeft | Qt::AlignVCenter, label);
        p.setPen(look.text);
        p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter, label);
    }
    // Coverage of the shape decides what stays: anti-aliased edges keep their blend with the
    // skin below, everything outside becomes the transparent key.
    QImage coverage = NewImage(width, height);
    {
        QPainter p(&coverage);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(outline, Qt::black);
        if (look.glow) {
            p.setPen(QPen(Qt::black, 2));
            p.drawPath(outline);
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (qAlpha(coverage.pixel(x, y)) == 0) {
                image.setPixelColor(x, y, kMagenta);
            }
        }
    }
    return image;
}

struct ButtonStyle {
    ButtonLook normal;
    ButtonLook hover;
};

const ButtonLook kDisabled{QColor(74, 82, 99), QColor(55, 61, 74), QColor(40, 45, 56),
                           QColor(125, 133, 151)};

void SaveButtonSet(const QImage& backdrop, QPoint at, QSize size, const ButtonStyle& style,
                   const QString& label, Glyph glyph, int fontPixels, int hoverId, int normalId,
                   int disabledId, const char* role) {
    const QImage below = backdrop.copy(QRect(at, size));
    Save(Button(below, size.width(), size.height(), style.hover, label, glyph, fontPixels),
         QStringLiteral("%1_%2_hover.png").arg(hoverId).arg(role));
    Save(Button(below, size.width(), size.height(), style.normal, label, glyph, fontPixels),
         QStringLiteral("%1_%2_normal.png").arg(normalId).arg(role));
    Save(Button(below, size.width(), size.height(), kDisabled, label, glyph, fontPixels),
         QStringLiteral("%1_%2_disabled.png").arg(disabledId).arg(role));
}

QImage CheckBox(bool ticked) {
    QImage image = NewImage(13, 13, kMagenta);
    QPainter p(&image);
    // No anti-aliasing at the edge: the box may sit over any background.
    p.setPen(QColor(107, 120, 144));
    p.setBrush(ticked ? QBrush(kGold) : QBrush(kWellFill));
    p.drawRect(0, 0, 12, 12);
    image.setPixelColor(0, 0, kMagenta);
    image.setPixelColor(12, 0, kMagenta);
    image.setPixelColor(0, 12, kMagenta);
    image.setPixelColor(12, 12, kMagenta);
    if (ticked) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(30, 22, 0), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(3, 6.5), QPointF(5.5, 9), QPointF(10, 3.5)}));
    }
    return image;
}

// Drawn on a 64-unit grid and scaled, so the desktop icons of every size share one drawing.
QImage Icon(int size = 64) {
    QImage image = NewImage(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient fill(0, 0, 0, 64);
    fill.setColorAt(0, QColor(255, 222, 100));
    fill.setColorAt(1, QColor(196, 132, 10));
    p.setPen(QPen(QColor(120, 80, 0), 2));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 13, 13);
    p.fillPath(
        [] {
            QPainterPath gloss;
            gloss.addRoundedRect(QRectF(6, 6, 52, 24), 10, 10);
            return gloss;
        }(),
        QColor(255, 255, 255, 60));
    QPainterPath arrow;
    arrow.moveTo(26, 12);
    arrow.lineTo(38, 12);
    arrow.lineTo(38, 28);
    arrow.lineTo(47, 28);
    arrow.lineTo(32, 44);
    arrow.lineTo(17, 28);
    arrow.lineTo(26, 28);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 28, 0));
    p.drawPath(arrow);
    p.drawRoundedRect(QRectF(15, 47, 34, 5), 2, 2);
    return image;
}

// The desktop icons keep their alpha channel, unlike the skin bitmaps.
void SaveDesktopIcons(const QString& folder) {
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString dir = folder + "/" + QString::number(size);
        QDir().mkpath(dir);
        const QString path = dir + "/tev-downloader.png";
        if (!Icon(size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        std::printf("%s %dx%d\n", qPrintable(path), size, size);
    }
}

// --- banner -------------------------------------------------------------------------------

// A small deterministic generator, so that the stars land in the same places every run.
struct Lcg {
    uint32_t state;
    double Next() {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    }
};

QPainterPath Ridge(int width, int height, double base, double amplitude, double phase,
                   double frequency) {
    QPainterPath path;
    path.moveTo(0, height);
    for (int x = 0; x <= width; x += 2) {
        const double t = x / static_cast<double>(width);
        const double y = base - amplitude * (0.55 * std::sin(t * frequency * 6.283 + phase) +
                                             0.30 * std::sin(t * frequency * 15.7 + phase * 2.1) +
                                             0.15 * std::sin(t * frequency * 37.0 + phase * 0.7));
        path.lineTo(x, y);
    }
    path.lineTo(width, height);
    path.closeSubpath();
    return path;
}

QImage Banner() {
    const int width = 342;
    const int height = 396;
    QImage image = NewImage(width, height);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(16, 12, 44));
    sky.setColorAt(0.45, QColor(58, 30, 92));
    sky.setColorAt(0.72, QColor(176, 74, 86));
    sky.setColorAt(0.86, QColor(236, 138, 72));
    sky.setColorAt(1, QColor(250, 190, 96));
    p.fillRect(image.rect(), sky);

    Lcg random{20240607u};
    for (int i = 0; i < 110; ++i) {
        const double x = random.Next() * width;
        const double y = random.Next() * height * 0.5;
        const double size = 0.6 + random.Next() * 1.2;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, static_cast<int>(90 + random.Next() * 165)));
        p.drawEllipse(QPointF(x, y), size, size);
    }
    QRadialGradient moonGlow(QPointF(268, 232), 150);
    moonGlow.setColorAt(0, QColor(255, 214, 140, 150));
    moonGlow.setColorAt(1, QColor(255, 214, 140, 0));
    p.fillRect(image.rect(), moonGlow);
    p.setBrush(QColor(255, 236, 196));
    p.drawEllipse(QPointF(268, 232), 28, 28);

    p.fillPath(Ridge(width, height, 300, 45, 0.4, 1.3), QColor(78, 36, 84));
    // A castle on the far ridge.
    p.setBrush(QColor(52, 24, 62));
    const double castleX = 92;
    const double castleBase = 290;
    p.drawRect(QRectF(castleX, castleBase - 26, 54, 40));
    for (const double towerX : {castleX - 6, castleX + 22, castleX + 50}) {
        const double towerHeight = towerX == castleX + 22 ? 58 : 42;
        p.drawRect(QRectF(towerX, castleBase - towerHeight, 10, towerHeight + 14));
        QPainterPath roof;
        roof.moveTo(towerX - 3, castleBase - towerHeight);
        roof.lineTo(towerX + 5, castleBase - towerHeight - 16);
        roof.lineTo(towerX + 13, castleBase - towerHeight);
        roof.closeSubpath();
        p.drawPath(roof);
    }
    p.setBrush(QColor(255, 206, 120, 200));
    p.drawRect(QRectF(castleX + 25, castleBase - 40, 3, 5));
    p.drawRect(QRectF(castleX + 10, castleBase - 14, 3, 4));
    p.drawRect(QRectF(castleX + 38, castleBase - 14, 3, 4));
    p.fillPath(Ridge(width, height, 330, 38, 2.2, 1.7), QColor(44, 20, 52));
    p.fillPath(Ridge(width, height, 362, 26, 4.1, 2.3), QColor(20, 10, 28));

    // Title.
    QFont title = Latin(86);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    QPainterPath titlePath;
    const QFontMetrics titleMetrics(title);
    const QString titleText = QStringLiteral("QK");
    titlePath.addText((width - titleMetrics.horizontalAdvance(titleText)) / 2.0 + 2, 132, title,
                      titleText);
    p.fillPath(titlePath.translated(3, 4), QColor(0, 0, 0, 120));
    QLinearGradient gold(0, 60, 0, 135);
    gold.setColorAt(0, QColor(255, 244, 190));
    gold.setColorAt(0.5, QColor(240, 200, 60));
    gold.setColorAt(1, QColor(170, 110, 10));
    p.setPen(QPen(QColor(70, 40, 0), 2));
    p.setBrush(gold);
    p.drawPath(titlePath);

    p.setPen(QColor(255, 240, 214));
    p.setFont(Cjk(20));
    p.drawText(QRect(0, 142, width, 28), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("傳說之境  ·  全新冒險"));
    p.setPen(QColor(255, 226, 170, 200));
    p.setFont(Latin(10, false));
    p.drawText(QRect(0, 170, width, 16), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("THE  LEGEND  RETURNS"));

    QLinearGradient band(0, height - 56, 0, height);
    band.setColorAt(0, QColor(0, 0, 0, 0));
    band.setColorAt(1, QColor(0, 0, 0, 170));
    p.fillRect(0, height - 56, width, 56, band);
    p.setPen(QColor(255, 232, 180));
    p.setFont(Cjk(14));
    p.drawText(QRect(0, height - 34, width, 22), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("安裝完成後即可開啟你的冒險旅程"));
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <skin folder> [<desktop icon folder>]\n", argv[0]);
        return 2;
    }
    gOutput = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gOutput);
    const int cjk = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"));
    if (cjk < 0) {
        std::fprintf(stderr, "the CJK font (fonts-wqy-microhei) is needed\n");
        return 1;
    }
    gCjk = QFontDatabase::applicationFontFamilies(cjk).first();
    const int latin = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"));
    QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
    if (latin >= 0) {
        gLatin = QFontDatabase::applicationFontFamilies(latin).first();
    }

    const QImage top = TopBar();
    const QImage bottom = BottomBar();
    const QImage left = LeftBar();
    const QImage right = RightPanel();
    Save(top, QStringLiteral("187_top_bar.png"));
    Save(bottom, QStringLiteral("188_bottom_bar.png"));
    Save(left, QStringLiteral("189_left_bar.png"));
    Save(right, QStringLiteral("190_right_panel.png"));
    const QImage backdrop = Backdrop(top, bottom, left, right);

    Save(GraphBackground(backdrop), QStringLiteral("200_graph_background.png"));
    Save(ProgressBackground(backdrop), QStringLiteral("180_progress_background.png"));
    Save(ProgressBarTile(), QStringLiteral("179_progress_bar.png"));

    const ButtonStyle start{
        {QColor(242, 212, 87), QColor(199, 159, 18), QColor(138, 109, 5), QColor(42, 31, 0)},
        {QColor(255, 230, 128), QColor(220, 180, 32), QColor(160, 126, 10), QColor(42, 31, 0),
         true}};
    const ButtonStyle stop{
        {QColor(236, 106, 69), QColor(184, 54, 28), QColor(125, 33, 16), QColor(255, 255, 255)},
        {QColor(255, 133, 96), QColor(204, 69, 38), QColor(150, 45, 22), QColor(255, 255, 255),
         true}};
    const ButtonStyle install{
        {QColor(92, 207, 122), QColor(43, 147, 72), QColor(28, 101, 49), QColor(255, 255, 255)},
        {QColor(121, 227, 148), QColor(52, 168, 83), QColor(34, 120, 58), QColor(255, 255, 255),
         true}};
    const ButtonStyle slate{
        {QColor(75, 86, 112), QColor(48, 56, 73), QColor(34, 40, 54), QColor(230, 233, 239)},
        {QColor(93, 106, 136), QColor(58, 68, 90), QColor(44, 52, 70), QColor(255, 255, 255),
         true}};
    const ButtonStyle blue{
        {QColor(61, 111, 184), QColor(39, 82, 143), QColor(26, 58, 104), QColor(255, 255, 255)},
        {QColor(84, 138, 214), QColor(48, 98, 168), QColor(32, 70, 124), QColor(255, 255, 255),
         true}};

    const QSize large(108, 26);
    const QSize small(65, 19);
    SaveButtonSet(backdrop, {384, 391}, large, start, QStringLiteral("開始下載"), Glyph::Download,
                  13, 176, 174, 175, "start");
    SaveButtonSet(backdrop, {384, 391}, large, stop, QStringLiteral("停止下載"), Glyph::Stop, 13,
                  191, 192, 193, "stop");
    SaveButtonSet(backdrop, {502, 391}, large, install, QStringLiteral("執行安裝"), Glyph::Install,
                  13, 197, 199, 198, "install");
    SaveButtonSet(backdrop, {620, 391}, large, slate, QStringLiteral("關閉"), Glyph::Close, 13, 173,
                  171, 172, "close");
    SaveButtonSet(backdrop, {662, 352}, small, blue, QStringLiteral("變更路徑"), Glyph::None, 11,
                  164, 165, 166, "folder");
    SaveButtonSet(backdrop, {395, 254}, small, slate, QStringLiteral("確認"), Glyph::None, 11, 168,
                  169, 170, "spare");

    Save(CheckBox(false), QStringLiteral("177_check_cleared.png"));
    Save(CheckBox(true), QStringLiteral("178_check_ticked.png"));
    Save(Icon(), QStringLiteral("128_icon.png"));
    Save(Banner(), QStringLiteral("banner.png"));
    if (argc > 2) {
        SaveDesktopIcons(QString::fromLocal8Bit(argv[2]));
    }
    return 0;
}
