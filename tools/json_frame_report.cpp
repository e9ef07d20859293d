// JSON Lines report of a stream's frames for `vorc info --json`.
#include "tools/json_frame_report.h"

#include <string>

#include "tools/progress_line.h"

namespace {

const char* boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

void JsonFrameReport::watch(DecodingChain* chain) {
    chain->watchInput([this](const unsigned char* bytes, size_t count) {
        index_.feed(bytes, count);
        printPairedFrames(false);
    });
    chain->watchFrames([this](const FrameFacts& facts) {
        decoded_.push_back(facts);
        printPairedFrames(false);
    });
}

void JsonFrameReport::printPairedFrames(bool streamEnded) {
    std::deque<FrameExtent>& extents = index_.completed();
    while (!decoded_.empty()) {
        const FrameFacts& facts = decoded_.front();
        while (!extents.empty() && extents.front().offset < facts.offset) extents.pop_front();
        // The walk has not finished the frame yet.
        if (extents.empty() && !streamEnded) return;
        const bool found = !extents.empty() && extents.front().offset == facts.offset;
        printFrame(facts, found ? &extents.front() : nullptr);
        if (found) extents.pop_front();
        decoded_.pop_front();
    }
}

// Length and segments are null for a frame that the marker walk did not find.
void JsonFrameReport::printFrame(const FrameFacts& facts, const FrameExtent* extent) {
    ++frames_;
    if (facts.full) ++fullFrames_;
    if (facts.damaged) ++damagedFrames_;
    codedTiles_ += facts.codedTiles;
    ProgressLine::makeRoomForMessage();
    const auto walked = [extent](bool FrameExtent::*flag) {
        return extent == nullptr ? "null" : boolean(extent->*flag);
    };
    const std::string bytes = extent == nullptr ? "null" : std::to_string(extent->bytes);
    std::fprintf(out_,
                 "{\"type\":\"frame\",\"index\":%ld,\"offset\":%llu,\"bytes\":%s,\"width\":%d,\"height\":%d,"
                 "\"full\":%s,\"coded_tiles\":%lld,\"tables\":%s,\"tag\":%s,\"app13\":%s,\"damaged\":%s}\n",
                 facts.index, static_cast<unsigned long long>(facts.offset), bytes.c_str(), facts.width, facts.height,
                 boolean(facts.full), static_cast<long long>(facts.codedTiles), walked(&FrameExtent::tables),
                 walked(&FrameExtent::tag), walked(&FrameExtent::app13), boolean(facts.damaged));
}

void JsonFrameReport::finish(const ChainStats& stats) {
    index_.finish();
    printPairedFrames(true);
    std::fprintf(out_,
                 "{\"type\":\"summary\",\"frames\":%ld,\"full_frames\":%ld,\"partial_frames\":%ld,"
                 "\"damaged_frames\":%ld,\"skipped_bytes\":%llu,\"coded_tiles\":%lld,\"bytes\":%llu,\"width\":%d,"
                 "\"height\":%d}\n",
                 frames_, fullFrames_, frames_ - fullFrames_, damagedFrames_,
                 static_cast<unsigned long long>(stats.skippedBytes), static_cast<long long>(codedTiles_),
                 static_cast<unsigned long long>(stats.bytesRead), stats.width, stats.height);
    std::fflush(out_);
}
