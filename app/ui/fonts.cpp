#include "ui/fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QStringList>

namespace {

constexpr char kCjkFontFile[] = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
constexpr char kCjkFontFamily[] = "WenQuanYi Micro Hei";
constexpr char kLatinFontFile[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

QString gCjkFamily = kCjkFontFamily;
bool gLoaded = false;

}  // namespace

void LoadApplicationFonts() {
    if (gLoaded) {
        return;
    }
    gLoaded = true;
    if (QFile::exists(kCjkFontFile)) {
        const int id = QFontDatabase::addApplicationFont(kCjkFontFile);
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!families.isEmpty()) {
            gCjkFamily = families.first();
        }
    }
    if (QFile::exists(kLatinFontFile)) {
        QFontDatabase::addApplicationFont(kLatinFontFile);
    }
    QFont::insertSubstitutions(QStringLiteral("돋움"), {gCjkFamily});
    QFont::insertSubstitutions(QStringLiteral("Dotum"), {gCjkFamily});
    QFont::insertSubstitutions(QStringLiteral("Verdana"),
                               {QStringLiteral("DejaVu Sans"), gCjkFamily});
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"), {gCjkFamily});
}

QString CjkFamily() {
    return gCjkFamily;
}

QFont TextFont() {
    QFont font;
    font.setFamilies({QStringLiteral("돋움"), gCjkFamily});
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont FigureFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"), gCjkFamily});
    // A 13-pixel cell: the glyphs themselves are about 11 pixels.
    font.setPixelSize(11);
    font.setWeight(QFont::Bold);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
