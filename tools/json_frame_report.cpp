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
        printPairedFrames();
    });
    chain->watchFrames([this](const FrameFacts& facts) {
        decoded_.push_back(facts);
        printPairedFrames();
    });
}

void JsonFrameReport::printPairedFrames() {
    std::deque<FrameExtent>& extents = index_.completed();
    while (!decoded_.empty() && !extents.empty()) {
        printFrame(decoded_.front(), &extents.front());
        decoded_.pop_front();
        extents.pop_front();
    }
}

// Offset and length are null for a frame that the marker walk did not find.
void JsonFrameReport::printFrame(const FrameFacts& facts, const FrameExtent* extent) {
    ++frames_;
    if (facts.full) ++fullFrames_;
    if (facts.damaged) ++damagedFrames_;
    codedTiles_ += facts.codedTiles;
    ProgressLine::makeRoomForMessage();
    std::string place = "\"offset\":null,\"bytes\":null";
    if (extent != nullptr)
        place = "\"offset\":" + std::to_string(extent->offset) + ",\"bytes\":" + std::to_string(extent->bytes);
    std::fprintf(out_,
                 "{\"type\":\"frame\",\"index\":%ld,%s,\"width\":%d,\"height\":%d,\"full\":%s,\"coded_tiles\":%lld,"
                 "\"tables\":%s,\"tag\":%s,\"app13\":%s,\"damaged\":%s}\n",
                 facts.index, place.c_str(), facts.width, facts.height, boolean(facts.full),
                 static_cast<long long>(facts.codedTiles), boolean(extent != nullptr && extent->tables),
                 boolean(extent != nullptr && extent->tag), boolean(extent != nullptr && extent->app13),
                 boolean(facts.damaged));
}

void JsonFrameReport::finish(const ChainStats& stats) {
    index_.finish();
    printPairedFrames();
    for (const FrameFacts& facts : decoded_) printFrame(facts, nullptr);
    decoded_.clear();
    std::fprintf(out_,
                 "{\"type\":\"summary\",\"frames\":%ld,\"full_frames\":%ld,\"partial_frames\":%ld,"
                 "\"damaged_frames\":%ld,\"coded_tiles\":%lld,\"bytes\":%llu,\"width\":%d,\"height\":%d}\n",
                 frames_, fullFrames_, frames_ - fullFrames_, damagedFrames_, static_cast<long long>(codedTiles_),
                 static_cast<unsigned long long>(stats.bytesRead), stats.width, stats.height);
    std::fflush(out_);
}
