// What the window asks of the person in front of it, behind interfaces: the program answers with
// real dialogs, tests answer in code.
#pragma once

#include <functional>
#include <optional>
#include <string>

enum class MessageButtons { Ok, YesNo };
enum class MessageIcon { None, Information };
enum class MessageAnswer { Ok, Yes, No };

struct CMessage {
    std::string caption;
    std::string text;
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
    // A window message is owned by the main window; an application message stands alone.
    bool ownedByWindow = false;

    // A plain box captioned with the program's name.
    static CMessage Application(std::string text, MessageButtons buttons = MessageButtons::Ok,
                                MessageIcon icon = MessageIcon::None);
    // A box of the main window, captioned "QK".
    static CMessage Window(std::string text, MessageButtons buttons = MessageButtons::Ok,
                           MessageIcon icon = MessageIcon::None);
};

class IMessageBoxes {
  public:
    virtual ~IMessageBoxes() = default;
    // Blocks until the box is answered. Closing a box without a choice answers its last button
    // (Ok, or No).
    virtual MessageAnswer Show(const CMessage& message) = 0;
};

struct CFolderRequest {
    // Shown above the folder tree: "至少需要 %s 容量。\n" filled in.
    std::string title;
    // Preselected when the chooser opens.
    std::string initialFolder;
    // The text for the status line while a folder is selected; may be empty.
    std::function<std::string(const std::string& selectedFolder)> statusText;
};

class IFolderChooser {
  public:
    virtual ~IFolderChooser() = default;
    // The chosen folder's path, or nothing when the person cancels.
    virtual std::optional<std::string> ChooseFolder(const CFolderRequest& request) = 0;
};
