#include "ui/app.h"

#include <QString>

#include "core/seams.h"
#include "core/single_instance.h"
#include "core/start_up.h"
#include "core/texts.h"
#include "ui/activation.h"

int CTEVDownloaderApp::Run(const std::vector<std::string>& arguments,
                           const MainWindowRunner& runMainWindow) {
    CCommandLineInfoParser commandLine;
    commandLine.ParseCommandLine(arguments);

    // The lock lives as long as this run: it ends with the main window.
    CSingleInstance instance(SingleInstanceLockName(BuiltInFileListUrl()));
    const CSingleInstance::State state = instance.Acquire();
    if (state == CSingleInstance::State::Second) {
        const MessageAnswer answer = boxes_.Show(CMessage::Application(kTextAlreadyRunning));
        if (answer == MessageAnswer::Ok) {
            instance.RequestActivation();
            return 0;
        }
    }
    CActivationListener listener(instance, QString::fromUtf8(kMainWindowTitle));
    return runMainWindow(commandLine.FirstArgument());
}
