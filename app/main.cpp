// tev-downloader: one downloader per product, then the main window until it closes.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "controller/downloader_dlg.h"
#include "hostkit/start_up.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/downloader_window.h"
#include "ui/fonts.h"

int main(int argc, char** argv) {
    // Asked before any window or display is needed.
    if (AsksForUsage(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(WindowUsage().c_str(), stdout);
        return 0;
    }
    QApplication application(argc, argv);
    LoadApplicationFonts();
    application.setFont(TextFont());

    // Qt has taken its own options out of argv by now.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    CQtMessageBoxes boxes;
    CTEVDownloaderApp app(boxes);
    return app.Run(arguments, [&boxes](const std::string& firstArgument) {
        CDownloaderWindow window;
        boxes.SetWindow(&window);
        CQtFolderChooser folders(&window);
        int exitCode = 0;
        {
            // The controller goes first: it stops the job, finalises the library and lets go of
            // its host window while the window still exists.
            CTEVDownloaderDlg dialog(window, boxes, folders, firstArgument);
            window.SetListener(&dialog);
            // Initialisation runs inside the modal run, once the window is up, so that a quit
            // it posts ends that run.
            window.Post([&dialog] { dialog.OnInitDialog(); });
            exitCode = window.exec();
            window.SetListener(nullptr);
            dialog.OnDestroy();
        }
        boxes.SetWindow(nullptr);
        return exitCode;
    });
}
