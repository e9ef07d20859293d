// Reading the HTTP answer head: "HTTP/1.x NNN reason", header lines, and an
// empty line (CR LF or a lone LF, as simple cameras write it).
#include "vorc/sources/http_response_head.h"

namespace {
constexpr char Protocol[] = "HTTP/";
constexpr size_t ProtocolLength = sizeof Protocol - 1;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

namespace vorc {

size_t HttpResponseHead::feed(const unsigned char* bytes, size_t count) {
    size_t used = 0;
    while (state_ == State::Reading && used < count) {
        const char c = static_cast<char>(bytes[used++]);
        head_ += c;
        const size_t size = head_.size();
        if (size <= ProtocolLength && head_.back() != Protocol[size - 1]) {
            state_ = State::Malformed;
        } else if (c == '\n' && (head_.compare(size - 2, 2, "\n\n") == 0 ||
                                 (size >= 3 && head_.compare(size - 3, 3, "\n\r\n") == 0))) {
            parseStatusLine();
        } else if (size >= MaxHeadBytes) {
            state_ = State::Malformed;
        }
    }
    return used;
}

void HttpResponseHead::parseStatusLine() {
    statusLine_ = head_.substr(0, head_.find('\n'));
    if (!statusLine_.empty() && statusLine_.back() == '\r') statusLine_.pop_back();
    // "HTTP/" version, one space, three digits, then a space or the end.
    const size_t space = statusLine_.find(' ');
    const bool shaped = space != std::string::npos && statusLine_.size() >= space + 4 &&
                        isDigit(statusLine_[space + 1]) && isDigit(statusLine_[space + 2]) &&
                        isDigit(statusLine_[space + 3]) &&
                        (statusLine_.size() == space + 4 || statusLine_[space + 4] == ' ');
    if (!shaped) {
        state_ = State::Malformed;
        return;
    }
    statusCode_ = std::stoi(statusLine_.substr(space + 1, 3));
    state_ = State::Complete;
}

}  // namespace vorc
