// The default back end: its messages, counters and scratch target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recorders.h"
#include "vorc/backends/default_backend.h"

namespace {

using Messages = std::vector<std::string>;

TEST(DefaultBackEnd, CountsFramesAndTilesAndReportsCorruptFrames) {
    vorctest::StatusCapture status;
    vorcDefaultTesraDecoderBackEnd backEnd;
    EXPECT_EQ(backEnd.getDecodedFramesNum(), 0);

    backEnd.videoResolutionChanged(640, 480);
    backEnd.frameComplete();  // no tile at all
    for (int i = 0; i < 5; ++i) backEnd.videoTileReceived();
    backEnd.errorEncountered();
    backEnd.errorEncountered();
    backEnd.frameComplete();
    backEnd.videoTileReceived();
    backEnd.videoTileReceived();
    backEnd.videoResolutionChanged(320, 240);  // does not touch the tile count
    backEnd.frameComplete();

    EXPECT_EQ(status.messages(),
              (Messages{"vorcDefaultTesraDecoderBackEnd : video resolution changed to 640x480.",
                        "vorcDefaultTesraDecoderBackEnd : ------ video frame #1 with 0 tiles OK ------",
                        "@@@@@@@@ vorcDefaultTesraDecoderBackEnd : CORRUPT FRAME",
                        "vorcDefaultTesraDecoderBackEnd : video resolution changed to 320x240.",
                        "vorcDefaultTesraDecoderBackEnd : ------ video frame #3 with 2 tiles OK ------"}));
    EXPECT_EQ(backEnd.getDecodedFramesNum(), 3);
}

TEST(DefaultBackEnd, EveryTileGoesToTheSameScratchTile) {
    vorcDefaultTesraDecoderBackEnd backEnd;
    unsigned int* first = nullptr;
    int rowPad = -7;
    backEnd.provideVideoTilePixelTarget(0, 0, &first, &rowPad);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(rowPad, 0);
    // The whole 768-byte tile is writable (ASan would catch an overrun).
    auto* bytes = reinterpret_cast<unsigned char*>(first);
    for (int i = 0; i < 768; ++i) bytes[i] = static_cast<unsigned char>(i);
    unsigned int* other = nullptr;
    rowPad = 9;
    backEnd.provideVideoTilePixelTarget(39, 29, &other, &rowPad);
    EXPECT_EQ(other, first);
    EXPECT_EQ(rowPad, 0);
}

}  // namespace
