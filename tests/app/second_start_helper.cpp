// A later start of the downloader, for the two-start test: the start-up routine with its message
// answered in code. It writes what it showed (caption, tab, text, one line each; "WINDOW" when it
// ran a window of its own) to $TEV_SECOND_START_RECORD and exits with the routine's result.
#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fake_seams.h"
#include "ui/app.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    CFakeMessageBoxes boxes;
    CTEVDownloaderApp app(boxes);
    bool ranWindow = false;
    const int result =
        app.Run(std::vector<std::string>(argv + 1, argv + argc), [&ranWindow](const std::string&) {
            ranWindow = true;
            return 3;
        });
    const char* record = std::getenv("TEV_SECOND_START_RECORD");
    if (record != nullptr) {
        std::ofstream out(record);
        for (const CMessage& message : boxes.shown) {
            out << message.caption << '\t' << message.text << '\n';
        }
        if (ranWindow) {
            out << "WINDOW\n";
        }
    }
    return result;
}
