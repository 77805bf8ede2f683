#include "qt_environment.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <memory>

#include "ui/fonts.h"

#ifndef TEV_TEST_OUTPUT_DEFAULT
#define TEV_TEST_OUTPUT_DEFAULT "test-output"
#endif

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // Set here, before the application object exists: without a display Qt would abort.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application_ = std::make_unique<QApplication>(argc_, argv_);
        LoadApplicationFonts();
        QApplication::setFont(TextFont());
    }
    void TearDown() override { application_.reset(); }

  private:
    int argc_ = 1;
    char name_[16] = "tev-app-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QString TestOutputFolder() {
    const char* configured = std::getenv("TEV_TEST_OUTPUT_DIR");
    const QString folder = configured != nullptr && configured[0] != 0
                               ? QString::fromLocal8Bit(configured)
                               : QStringLiteral(TEV_TEST_OUTPUT_DEFAULT);
    QDir().mkpath(folder);
    return folder;
}

QImage SaveScreenshot(QWidget& widget, const QString& name) {
    const QImage image = widget.grab().toImage();
    image.save(TestOutputFolder() + "/" + name + ".png", "PNG");
    return image;
}

bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= limit.count()) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}
