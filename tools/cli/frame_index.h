// Where the frames of a stream lie and which segments each carries, found
// by the tool's own walk over the JPEG markers of the bytes as they pass
// from the source to the parser. The parser hands on only what decoding
// needs; this walk adds the stream offsets, lengths and optional segments
// for `vorc info --json`, and splits a file into frames for `vorc camera`.
// It follows segment lengths and scans, because segment payloads (the tile
// bitmap, the quantisation tables) may hold the bytes FF D8 by chance;
// after anything it cannot read it looks for the next SOI. Also: a stream
// file read whole, ready to be looped.
#ifndef VORC_TOOLS_CLI_FRAME_INDEX_H
#define VORC_TOOLS_CLI_FRAME_INDEX_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct FrameExtent {
    uint64_t offset = 0;  // of the frame's SOI in the stream
    uint64_t bytes = 0;   // up to the next SOI or the end of the stream
    bool tables = false;  // carries quantisation tables (DQT)
    bool tag = false;     // carries the "#:K7IMG" comment
    bool app13 = false;   // an APP13 segment follows it
};

class FrameIndex {
public:
    // The next bytes of the stream, in pieces of any size.
    void feed(const unsigned char* bytes, size_t count);
    // The stream has ended: the frame in progress is complete.
    void finish();
    // The frames completed so far and not yet taken, oldest first. Bytes
    // before the first SOI belong to no frame.
    std::deque<FrameExtent>& completed() { return completed_; }

private:
    enum class State { SeekSoi, SoiSecondByte, ExpectMarker, MarkerCode, LengthHigh, LengthLow, Payload, Scan, ScanMarker };

    void markerCode(unsigned char code);
    void segmentDone();

    State state_ = State::SeekSoi;
    uint64_t position_ = 0;  // stream offset of the byte being read
    bool inFrame_ = false;
    FrameExtent current_;
    unsigned char code_ = 0;
    size_t length_ = 0;
    size_t payloadLeft_ = 0;
    std::string payloadStart_;  // of a comment, as far as the tag goes
    std::deque<FrameExtent> completed_;
};

// A stream file's bytes from its first SOI marker on, so that looping it
// keeps the stream valid: empty, with *error set, when the file cannot be
// read or holds no frame start.
std::vector<unsigned char> loadLoopableStream(const std::string& path, std::string* error);

#endif
