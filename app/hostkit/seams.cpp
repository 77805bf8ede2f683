#include "hostkit/seams.h"

#include "hostkit/start_up.h"
#include "hostkit/texts.h"

CMessage CMessage::Application(std::string text, MessageButtons buttons, MessageIcon icon) {
    return CMessage{ApplicationName(), std::move(text), buttons, icon, false};
}

CMessage CMessage::Window(std::string text, MessageButtons buttons, MessageIcon icon) {
    return CMessage{kWindowCaption, std::move(text), buttons, icon, true};
}
