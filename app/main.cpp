// tev-downloader: one downloader per product, then the main window until it closes.
#include <QApplication>
#include <string>
#include <vector>

#include "core/start_up.h"
#include "core/texts.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/downloader_window.h"
#include "ui/fonts.h"

int main(int argc, char** argv) {
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
        // Until the controller drives it, the window shows its preparing state.
        (void)firstArgument;
        window.SetTitle(kMainWindowTitle);
        window.NavigateBanner(BannerAddress(BuiltInBannerUrl(), kPublisherTag, kServiceTag));
        return window.exec();
    });
}
