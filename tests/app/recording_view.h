// A main window without widgets: keeps what the controller shows and runs what it posts on the
// Qt event loop of the test, as the real window does.
#pragma once

#include <QObject>
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controller/view.h"

class CRecordingView : public IDownloaderView {
  public:
    void SetTitle(const std::string& value) override { title = value; }
    void ShowTexts(const CDisplayTexts& value) override {
        texts = value;
        ++textCopies;
    }
    void SetProgress(int control, int position) override {
        progress[control] = std::clamp(position, 0, 100);
    }
    void AppendGraphSample(int sample) override { samples.push_back(sample); }
    void EnableControl(int control, bool value) override { enabled[control] = value; }
    void ShowStopOnStartButton(bool hasJob) override { stopImages = hasJob; }
    void SetAgreementChecked(bool ticked) override { agreementTicked = ticked; }
    bool IsAgreementChecked() const override { return agreementTicked; }
    void MarkFinished() override { statusYellow = true; }
    void ExpandStatusText() override { statusExpanded = true; }
    void CenterOnScreen() override { ++centred; }
    void NavigateBanner(const std::string& url) override { banner = url; }
    CResumeAnswer RunResumePrompt() override {
        ++prompts;
        return resumeAnswer;
    }
    void Post(std::function<void()> message) override {
        QMetaObject::invokeMethod(&context_, std::move(message), Qt::QueuedConnection);
    }
    void PostQuit(int exitCode) override {
        if (!quitCode) {
            quitCode = exitCode;
        }
        ++quits;
    }
    void CloseWindow() override { closed = true; }

    bool Enabled(int control) const {
        const auto found = enabled.find(control);
        return found == enabled.end() ? true : found->second;
    }

    std::string title;
    CDisplayTexts texts;
    int textCopies = 0;
    std::map<int, int> progress;
    std::vector<int> samples;
    // The real window starts with install disabled.
    std::map<int, bool> enabled{{kIdInstall, false}};
    bool stopImages = false;
    bool agreementTicked = false;
    bool statusYellow = false;
    bool statusExpanded = false;
    int centred = 0;
    std::string banner;
    int prompts = 0;
    CResumeAnswer resumeAnswer;
    std::optional<int> quitCode;
    int quits = 0;
    bool closed = false;

  private:
    QObject context_;
};
