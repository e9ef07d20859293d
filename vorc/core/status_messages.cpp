// Status message routing: the handler pointer and the default output.
#include "vorc/core/status_messages.h"

#include <cstdio>

void vorcDevNullStatusMessageHandler::sendStatusMsg(const char*, void*) {}

namespace vorc {

vorcStatusMessageHandler* StatusMessageHandler = nullptr;

void sendStatusMsg(const char* msg, void* context) {
    if (StatusMessageHandler != nullptr) {
        StatusMessageHandler->sendStatusMsg(msg, context);
        return;
    }
    std::printf("vorc : %s\n", msg);
}

void setStatusMessageHandler(vorcStatusMessageHandler* handler) {
    // Re-installing the current handler must not destroy it.
    if (handler == StatusMessageHandler) return;
    vorcStatusMessageHandler* old = StatusMessageHandler;
    StatusMessageHandler = handler;
    delete old;
}

}  // namespace vorc
