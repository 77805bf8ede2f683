// The window's two fonts, named explicitly so that it looks the same wherever it runs: the text
// font asks for "돋움" and falls back to the CJK font shipped with the system; the figure font
// asks for "Verdana".
#pragma once

#include <QFont>
#include <QString>

// Loads the CJK font file when present and maps the Windows font names onto what is installed.
// Call once after the application object exists; later calls do nothing.
void LoadApplicationFonts();

// The CJK family the fonts fall back to ("WenQuanYi Micro Hei" when its file is installed).
QString CjkFamily();
// "돋움", 12 pixels, normal weight.
QFont TextFont();
// "Verdana", 13 pixels high, bold.
QFont FigureFont();
