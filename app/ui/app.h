// The program's start: one downloader per product. A second start says so, brings the first
// one's window to the front and ends; the first runs the main window until it closes.
#pragma once

#include <functional>
#include <string>
#include <vector>

class IMessageBoxes;

class CTEVDownloaderApp {
  public:
    // Runs the main window with the retained first argument; returns the process's exit code.
    using MainWindowRunner = std::function<int(const std::string& firstArgument)>;

    explicit CTEVDownloaderApp(IMessageBoxes& boxes) : boxes_(boxes) {}

    // arguments: the command line without the program name. Needs the application object.
    int Run(const std::vector<std::string>& arguments, const MainWindowRunner& runMainWindow);

  private:
    IMessageBoxes& boxes_;
};
