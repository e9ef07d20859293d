// Status message routing: the handler pointer and the default output.
#include "vorc/core/status_messages.h"

#include <cstdio>

void vorcDevNullStatusMessageHandler::sendStatusMsg(const char*, void*) {}

namespace vorc {

vorcStatusMessageHandler* StatusMessageHandler = nullptr;

namespace {
thread_local vorcStatusMessageHandler* threadHandler = nullptr;
}  // namespace

void sendStatusMsg(const char* msg, void* context) { sendStatus(StatusLevel::Info, msg, context); }

void sendStatus(StatusLevel level, const char* msg, void* context) {
    vorcStatusMessageHandler* const handler = threadHandler != nullptr ? threadHandler : StatusMessageHandler;
    if (handler == nullptr) {
        std::printf("vorc : %s\n", msg);
    } else if (auto* leveled = level != StatusLevel::Info ? dynamic_cast<LeveledStatusMessageHandler*>(handler) : nullptr) {
        leveled->statusMessage(level, msg, context);
    } else {
        handler->sendStatusMsg(msg, context);
    }
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
