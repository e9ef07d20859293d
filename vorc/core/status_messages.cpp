// Status message routing: the handler pointer and the default output.
#include "vorc/core/status_messages.h"

#include <cstdio>

void vorcDevNullStatusMessageHandler::sendStatusMsg(const char*, void*) {}

namespace vorc {

vorcStatusMessageHandler* StatusMessageHandler = nullptr;

namespace {
thread_local vorcStatusMessageHandler* threadHandler = nullptr;
}  // namespace

void sendStatusMsg(const char* msg, void* context) {
    if (threadHandler != nullptr) {
        threadHandler->sendStatusMsg(msg, context);
        return;
    }
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

StatusMessageScope::StatusMessageScope(vorcStatusMessageHandler* handler) : previous_(threadHandler) {
    threadHandler = handler;
}

StatusMessageScope::~StatusMessageScope() { threadHandler = previous_; }

}  // namespace vorc
