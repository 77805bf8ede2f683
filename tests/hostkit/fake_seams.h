// Answers the window's questions in code and keeps what was asked.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "hostkit/seams.h"

class CFakeMessageBoxes : public IMessageBoxes {
  public:
    MessageAnswer Show(const CMessage& message) override {
        shown.push_back(message);
        if (answers.empty()) {
            return message.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
        }
        const MessageAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<CMessage> shown;
    std::deque<MessageAnswer> answers;  // given in order; then Ok, or No
};

class CFakeFolderChooser : public IFolderChooser {
  public:
    std::optional<std::string> ChooseFolder(const CFolderRequest& request) override {
        requests.push_back(request);
        return answer;
    }

    std::vector<CFolderRequest> requests;
    std::optional<std::string> answer;
};
