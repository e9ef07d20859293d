// Fuzz target: arbitrary bytes as a camera's answer to the live source, read
// by the answer-head reader once in one piece and once in pieces of the
// size that the first byte chooses. Both readings must agree, take no byte
// of the stream after the head, and give a three-digit status.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "vorc/sources/http_response_head.h"

namespace {

using vorc::HttpResponseHead;

[[noreturn]] void reject(const char* why) { vorcfuzz::failCheck("HTTP answer head", why); }

size_t readHead(HttpResponseHead& head, const uint8_t* bytes, size_t size, size_t pieceSize) {
    size_t used = 0;
    for (size_t at = 0; at < size && head.state() == HttpResponseHead::State::Reading; at += pieceSize) {
        const size_t piece = std::min(pieceSize, size - at);
        const size_t taken = head.feed(bytes + at, piece);
        if (taken > piece) reject("took more than it was given");
        used += taken;
    }
    return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t pieceSize = 1 + data[0] % 16;
    HttpResponseHead whole, pieces;
    const size_t usedWhole = readHead(whole, data + 1, size - 1, size);
    const size_t usedPieces = readHead(pieces, data + 1, size - 1, pieceSize);
    if (whole.state() != pieces.state() || usedWhole != usedPieces) reject("pieces change the reading");
    if (whole.state() == HttpResponseHead::State::Complete) {
        if (whole.statusCode() < 0 || whole.statusCode() > 999) reject("status out of range");
        if (whole.statusLine() != pieces.statusLine()) reject("pieces change the status line");
        if (data[usedWhole] != '\n') reject("the head does not end at its empty line");
    }
    if (whole.state() == HttpResponseHead::State::Reading && usedWhole != size - 1) reject("bytes left unread");
    return 0;
}
