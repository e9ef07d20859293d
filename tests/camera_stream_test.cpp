// The live camera source against a loopback stand-in for the camera: the
// request it sends, the stream it delivers through the parser, and that it
// releases its socket however it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "support/loopback_server.h"
#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/core/exceptions.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/scan_decoder.h"
#include "vorc/sources/camera_live_stream.h"
#include "vorc/sources/frame_rate_presets.h"
#include "vorc/sources/stream_file.h"

namespace {

using vorctest::Bytes;
using vorctest::LoopbackServer;
using Stream = vorcWatchedCameraLiveTesraFastStreamPOSIX;

const std::string HttpHeader = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";

// Asks the back end for a target for every coded tile, so the recorded log
// shows which tiles each frame carried.
class TileWalker : public vorcFramewiseTesraScanDecoder {
public:
    const char* getAccelerationTypeString() override { return "test"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        for (int k = 0; k < frame->tileColumns * frame->tileRows; ++k) {
            if (frame->tileBitmap != nullptr && ((frame->tileBitmap[k / 8] >> (7 - k % 8)) & 1) == 0) continue;
            unsigned int* target = nullptr;
            int pad = 0;
            backEnd->provideVideoTilePixelTarget(k % frame->tileColumns, k / frame->tileColumns, &target, &pad);
            backEnd->videoTileReceived();
        }
    }
};

std::string requestFor(const std::string& fps) {
    return "GET /control/faststream.jpg?noaudio&fps=" + fps + " HTTP/1.0\n\n";
}

// The request a source built by make sends.
template <typename Make>
std::string sentRequest(Make make) {
    LoopbackServer server({});
    { std::unique_ptr<Stream> stream(make(server.port())); }
    auto requests = server.finish();
    return requests.empty() ? std::string() : requests[0];
}

TEST(CameraLiveStream, RequestTextForWholeFractionalNegativeAndPresetRates) {
    EXPECT_EQ(sentRequest([](int port) { return new Stream(vorcIPAddress(), port, 25.0f, false); }),
              requestFor("25.000000"));
    EXPECT_EQ(sentRequest([](int port) { return new Stream(vorcIPAddress(), port, 0.0f, false); }),
              requestFor("0.000000"));
    EXPECT_EQ(sentRequest([](int port) { return new Stream(vorcIPAddress(), port, -1.0f, false); }),
              requestFor("4.000000"));
    EXPECT_EQ(sentRequest([](int port) { return new Stream(vorcIPAddress(), port, std::nanf(""), true); }),
              requestFor("4.000000"));
    EXPECT_EQ(sentRequest([](int port) { return new Stream(127, 0, 0, 1, port, 12, false); }),
              requestFor("12.000000"));
    EXPECT_EQ(sentRequest([](int port) { return new Stream(127, 0, 0, 1, port, -1, true); }),
              requestFor("4.000000"));
    EXPECT_EQ(sentRequest([](int port) {
                  return new Stream(vorcIPAddress(), port, vorc::FrameRatePresets[9], false);
              }),
              requestFor("0.330000"));
}

TEST(CameraLiveStream, PresetTablesAndAddressClamping) {
    ASSERT_EQ(vorc::FrameRatePresetNum, 12);
    EXPECT_EQ(vorc::FrameRatePresets[0], 0.0f);
    EXPECT_STREQ(vorc::FrameRatePresetNames[0], "Maximum");
    EXPECT_STREQ(vorc::FrameRatePresetNames[3], " 6 fps");
    EXPECT_EQ(vorc::FrameRatePresets[9], 0.33f);
    EXPECT_STREQ(vorc::FrameRatePresetNames[11], "1/5 fps");

    const vorcIPAddress clamped(300, -1, 0, 7);
    EXPECT_EQ(clamped.a, 255);
    EXPECT_EQ(clamped.b, 0);
    EXPECT_EQ(clamped.c, 0);
    EXPECT_EQ(clamped.d, 7);
}

Bytes testStream() {
    vorctest::StreamBuilder builder;
    builder.fullFrame(48, 32, vorctest::zeroTilesScan(6));
    builder.partialFrame(vorctest::tileBitmap(3, 2, {1, 5}), vorctest::zeroTilesScan(2));
    builder.fullFrame(32, 16, vorctest::zeroTilesScan(2));
    builder.partialFrame(vorctest::tileBitmap(2, 1, {0}), vorctest::zeroTilesScan(1), true);
    builder.app13();
    return builder.bytes();
}

std::shared_ptr<vorctest::CallLog> decodeAll(vorcStreamSource* source) {
    auto log = std::make_shared<vorctest::CallLog>();
    vorcFramewiseTesraDecoder decoder(source, new vorctest::RecordingBackEnd(log), new TileWalker);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (decoder.decode(7) == 0) {
            if (!decoder.sourceStillUp()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_FALSE(decoder.sourceStillUp());
    return log;
}

TEST(CameraLiveStream, StreamThroughSocketMatchesFileInBothModes) {
    const Bytes stream = testStream();
    const std::string path = ::testing::TempDir() + "camera_stream_test.tesra";
    ASSERT_TRUE(vorctest::StreamBuilder().raw(stream).writeFile(path));
    vorctest::StatusCapture quiet;
    const auto fromFile = decodeAll(new vorcStreamFile(path.c_str()));
    ASSERT_GE(fromFile->size(), 8u);
    ::unlink(path.c_str());

    Bytes answer(HttpHeader.begin(), HttpHeader.end());
    answer.insert(answer.end(), stream.begin(), stream.end());
    for (bool nonBlocking : {false, true}) {
        LoopbackServer server(answer);
        const auto fromSocket = decodeAll(new Stream(vorcIPAddress(), server.port(), 0.0f, nonBlocking));
        EXPECT_EQ(*fromSocket, *fromFile) << (nonBlocking ? "non-blocking" : "blocking");
    }
}

TEST(CameraLiveStream, NonBlockingFetchBeforeTheAnswerReturnsZeroAndStaysUp) {
    LoopbackServer server(Bytes{'O', 'K'}, 1, true);
    Stream stream(vorcIPAddress(), server.port(), 2.0f, true);
    unsigned char buffer[16];
    EXPECT_EQ(stream.fetchBytes(buffer, sizeof buffer), 0);
    EXPECT_TRUE(stream.stillUp());
    server.release();

    int got = 0;
    for (int tries = 0; tries < 5000 && got == 0; ++tries) {
        got = stream.fetchBytes(buffer, sizeof buffer);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(got, 2);
    EXPECT_TRUE(stream.stillUp());
    // The server has closed its side: the next read sees the end.
    for (int tries = 0; tries < 5000 && stream.stillUp(); ++tries) {
        EXPECT_EQ(stream.fetchBytes(buffer, sizeof buffer), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(stream.stillUp());
}

TEST(CameraLiveStream, RefusedConnectionThrowsAndLeavesNoDescriptor) {
    vorctest::RefusingPort refusing;
    const int before = vorctest::openDescriptorCount();
    EXPECT_THROW(Stream(vorcIPAddress(), refusing.port(), 1.0f, false), vorcIOFailure);
    EXPECT_THROW(Stream(127, 0, 0, 1, refusing.port(), 1, true), vorcException);
    EXPECT_EQ(vorctest::openDescriptorCount(), before);
}

TEST(CameraLiveStream, HundredConnectAndDestroyCyclesLeakNoDescriptor) {
    constexpr int Cycles = 100;
    LoopbackServer server({}, Cycles);
    const int before = vorctest::openDescriptorCount();
    for (int i = 0; i < Cycles; ++i) {
        Stream stream(vorcIPAddress(), server.port(), 25.0f, i % 2 == 0);
    }
    // The server's side of the last connection may still be open until it ends.
    EXPECT_EQ(server.finish().size(), static_cast<size_t>(Cycles));
    EXPECT_EQ(vorctest::openDescriptorCount(), before);
}

}  // namespace
