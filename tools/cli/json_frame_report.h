// `vorc info --json`: the frames of a stream as JSON Lines, one object per
// frame and a last summary object, for scripts. Decoding gives each frame's
// offset, size, coded tiles and damage; the tool's marker walk over the same
// input gives its length and optional segments. The two are paired by
// offset: after damage the parser may find a frame the walk passed over
// (its length is then null), and the walk may find one the parser skipped
// (left out).
#ifndef VORC_TOOLS_CLI_JSON_FRAME_REPORT_H
#define VORC_TOOLS_CLI_JSON_FRAME_REPORT_H

#include <cstdio>
#include <deque>

#include "tools/cli/decoding_chain.h"
#include "tools/cli/frame_index.h"

class JsonFrameReport {
public:
    explicit JsonFrameReport(std::FILE* out) : out_(out) {}

    // Wires the report into the chain before it runs.
    void watch(DecodingChain* chain);
    // Prints the frames still waiting and the summary.
    void finish(const ChainStats& stats);

private:
    // Prints the decoded frames whose walk is done; at the end all of them.
    void printPairedFrames(bool streamEnded);
    void printFrame(const vorc::FrameInfo& frame, const FrameExtent* extent);

    std::FILE* out_;
    FrameIndex index_;
    std::deque<vorc::FrameInfo> decoded_;
    uint64_t frames_ = 0;
    uint64_t fullFrames_ = 0;
    uint64_t damagedFrames_ = 0;
    int64_t codedTiles_ = 0;
};

#endif
