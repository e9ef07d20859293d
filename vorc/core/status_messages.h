// Status messages: the one channel through which every part of the library
// (parser, scan decoders, back ends, transcoder) reports progress, warnings
// and the reason for a fatal stream error. Every line goes through
// vorc::sendStatusMsg to a single replaceable handler, or to standard output
// as "vorc : <text>" while none is installed. A thread may route its own
// messages elsewhere for a while (StatusMessageScope). The library knows how
// much each of its messages matters; a handler that wants to know too derives
// from vorc::LeveledStatusMessageHandler, so that no one need judge a message
// by its words.
#ifndef VORC_CORE_STATUS_MESSAGES_H
#define VORC_CORE_STATUS_MESSAGES_H

class vorcStatusMessageHandler {
public:
    virtual ~vorcStatusMessageHandler() = default;
    // Receives one complete line without its line end; msg is only borrowed.
    virtual void sendStatusMsg(const char* msg, void* context) = 0;
};

// Installing this handler silences the library.
class vorcDevNullStatusMessageHandler : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void* context) override;
};

namespace vorc {

// Info: progress (picture size, set-up, frames). Warning: a problem the
// library went past, such as a damaged frame. Error: a fatal one, after which
// the process ends.
enum class StatusLevel { Info, Warning, Error };

// A handler that is also told each message's level. A message sent without
// one (sendStatusMsg, as applications do) is Info.
class LeveledStatusMessageHandler : public vorcStatusMessageHandler {
public:
    virtual void statusMessage(StatusLevel level, const char* msg, void* context) = 0;
    void sendStatusMsg(const char* msg, void* context) final { statusMessage(StatusLevel::Info, msg, context); }
};

// Sends msg with its level: a LeveledStatusMessageHandler gets the level,
// any other handler the message alone, as from sendStatusMsg.
void sendStatus(StatusLevel level, const char* msg, void* context);

// The library-wide handler; null means "print to standard output".
// The library owns the object it points to.
extern vorcStatusMessageHandler* StatusMessageHandler;

void sendStatusMsg(const char* msg, void* context);

// Destroys the installed handler (unless it is the one being installed) and
// installs handler; null restores the default output.
void setStatusMessageHandler(vorcStatusMessageHandler* handler);

// While it lives, the messages sent on the constructing thread go to handler
// instead of the library-wide one, so that chains driven on different
// threads each keep their own messages and never touch the shared handler.
// The handler is borrowed; scopes nest and must end in reverse order.
class StatusMessageScope {
public:
    explicit StatusMessageScope(vorcStatusMessageHandler* handler);
    ~StatusMessageScope();
    StatusMessageScope(const StatusMessageScope&) = delete;
    StatusMessageScope& operator=(const StatusMessageScope&) = delete;

private:
    vorcStatusMessageHandler* previous_;
};

}  // namespace vorc

#endif
