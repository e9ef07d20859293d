// JSON Lines report of a stream's frames for `vorc info --json`.
#include "tools/cli/json_frame_report.h"

#include <string>

#include "tools/cli/progress_line.h"

namespace {

const char* boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

void JsonFrameReport::watch(DecodingChain* chain) {
    chain->watchInput([this](const unsigned char* bytes, size_t count) {
        index_.feed(bytes, count);
        printPairedFrames(false);
    });
    chain->watchFrames([this](const vorc::FrameInfo& frame, const uint8_t*) {
        decoded_.push_back(frame);
        printPairedFrames(false);
    });
}

void JsonFrameReport::printPairedFrames(bool streamEnded) {
    std::deque<FrameExtent>& extents = index_.completed();
    while (!decoded_.empty()) {
        const vorc::FrameInfo& frame = decoded_.front();
        while (!extents.empty() && extents.front().offset < frame.offset) extents.pop_front();
        // The walk has not finished the frame yet.
        if (extents.empty() && !streamEnded) return;
        const bool found = !extents.empty() && extents.front().offset == frame.offset;
        printFrame(frame, found ? &extents.front() : nullptr);
        if (found) extents.pop_front();
        decoded_.pop_front();
    }
}

// Length and segments are null for a frame that the marker walk did not find.
void JsonFrameReport::printFrame(const vorc::FrameInfo& frame, const FrameExtent* extent) {
    ++frames_;
    if (frame.fullFrame) ++fullFrames_;
    if (frame.damaged) ++damagedFrames_;
    codedTiles_ += frame.codedTiles;
    ProgressLine::makeRoomForMessage();
    const auto walked = [extent](bool FrameExtent::*flag) {
        return extent == nullptr ? "null" : boolean(extent->*flag);
    };
    const std::string bytes = extent == nullptr ? "null" : std::to_string(extent->bytes);
    std::fprintf(out_,
                 "{\"type\":\"frame\",\"index\":%llu,\"offset\":%llu,\"bytes\":%s,\"width\":%d,\"height\":%d,"
                 "\"full\":%s,\"coded_tiles\":%lld,\"tables\":%s,\"tag\":%s,\"app13\":%s,\"damaged\":%s,"
                 "\"stale\":%s}\n",
                 static_cast<unsigned long long>(frame.index), static_cast<unsigned long long>(frame.offset),
                 bytes.c_str(), frame.width, frame.height, boolean(frame.fullFrame),
                 static_cast<long long>(frame.codedTiles), walked(&FrameExtent::tables), walked(&FrameExtent::tag),
                 walked(&FrameExtent::app13), boolean(frame.damaged), boolean(frame.stale));
}

void JsonFrameReport::finish(const ChainStats& stats) {
    index_.finish();
    printPairedFrames(true);
    std::fprintf(out_,
                 "{\"type\":\"summary\",\"frames\":%llu,\"full_frames\":%llu,\"partial_frames\":%llu,"
                 "\"damaged_frames\":%llu,\"skipped_bytes\":%llu,\"coded_tiles\":%lld,\"bytes\":%llu,\"width\":%d,"
                 "\"height\":%d}\n",
                 static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(fullFrames_),
                 static_cast<unsigned long long>(frames_ - fullFrames_), static_cast<unsigned long long>(damagedFrames_),
                 static_cast<unsigned long long>(stats.skippedBytes), static_cast<long long>(codedTiles_),
                 static_cast<unsigned long long>(stats.bytesRead), stats.width, stats.height);
    std::fflush(out_);
}
