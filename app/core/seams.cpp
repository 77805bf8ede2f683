#include "core/seams.h"

#include "core/start_up.h"
#include "core/texts.h"

CMessage CMessage::Application(std::string text, MessageButtons buttons, MessageIcon icon) {
    return CMessage{ApplicationName(), std::move(text), buttons, icon, false};
}

CMessage CMessage::Window(std::string text, MessageButtons buttons, MessageIcon icon) {
    return CMessage{kWindowCaption, std::move(text), buttons, icon, true};
}
