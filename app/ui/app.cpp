#include "ui/app.h"

#include <QString>

#include "hostkit/seams.h"
#include "hostkit/single_instance.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"
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
