// The head of the HTTP answer that a camera sends ahead of its stream. The
// checked camera stream reads it off the connection before any byte reaches
// the parser, so that an
// answer other than 200 ends the stream with the camera's status instead of
// being taken for an empty or a damaged stream.
#ifndef VORC_SOURCES_HTTP_RESPONSE_HEAD_H
#define VORC_SOURCES_HTTP_RESPONSE_HEAD_H

#include <cstddef>
#include <string>

namespace vorc {

class HttpResponseHead {
public:
    enum class State { Reading, Complete, Malformed };
    // A head this long without its end is taken for something else.
    static constexpr size_t MaxHeadBytes = 16384;

    // Takes bytes while the head is being read, in pieces of any size;
    // returns how many of them belong to the head (the rest is stream).
    size_t feed(const unsigned char* bytes, size_t count);

    State state() const { return state_; }
    // Complete: the status code, and the status line without its line end.
    int statusCode() const { return statusCode_; }
    const std::string& statusLine() const { return statusLine_; }

private:
    void parseStatusLine();

    std::string head_;
    State state_ = State::Reading;
    int statusCode_ = 0;
    std::string statusLine_;
};

}  // namespace vorc

#endif
