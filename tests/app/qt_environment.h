// Widget tests share one application object per test process, on the offscreen platform, so
// they need no display. Screenshots go to $TEV_TEST_OUTPUT_DIR when set, else to the
// test-output folder next to the test program (the test's own temporary root is removed at exit).
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>

// The folder screenshots are kept in, created on first use.
QString TestOutputFolder();
// Renders widget (with its children) and saves it as <name>.png in the output folder.
QImage SaveScreenshot(QWidget& widget, const QString& name);
// Runs the event loop until done() holds or the limit passes; returns done().
bool ProcessEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
