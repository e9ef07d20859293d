// vorc::Reader judged by the rest of the library: its frames equal the
// buffered back end's pictures turned top-down (in every pixel format, I420
// against the raw frame dumper's planes and, at odd sizes, against the rule
// of its chroma), also in damaged streams, and its JPEG images equal the
// tool's transcoded files; failing and silent sources throw with the reason
// (a camera's HTTP status too, a file's with the system's error number),
// signals neither end a wait nor pass for a timeout, the interrupted check
// ends a wait and a hanging connection, every kind of source gives the same
// frames with their times and tile bitmaps, nothing reaches standard
// output, and Readers on several threads give what one gives alone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "support/files.h"
#include "support/interrupting_signals.h"
#include "support/picture_backend.h"
#include "support/piece_source.h"
#include "support/recorders.h"
#include "vorc/backends/color_conversion.h"
#include "vorc/backends/raw_frame_dumper.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/reader.h"

using namespace vorctest;

namespace {

const std::string SamplePath = VORC_SOURCE_DIR "/data/sample.tesra";

// Where each frame of a stream starts (SOI APP0).
std::vector<size_t> frameStarts(const Bytes& stream) {
    const Bytes start = {0xFF, 0xD8, 0xFF, 0xE0};
    std::vector<size_t> starts;
    auto at = std::search(stream.begin(), stream.end(), start.begin(), start.end());
    for (; at != stream.end(); at = std::search(at + 1, stream.end(), start.begin(), start.end()))
        starts.push_back(size_t(at - stream.begin()));
    return starts;
}

// The sample's first frames, full and partial ones.
Bytes sampleFrames(size_t frames) {
    const std::string text = readFile(SamplePath);
    const Bytes sample(text.begin(), text.end());
    return Bytes(sample.begin(), sample.begin() + std::ptrdiff_t(frameStarts(sample).at(frames)));
}

// Two frames of a size that is no multiple of 16: a whole picture, then
// the second tile row again with other content.
Bytes unevenStream(int width, int height) {
    StreamBuilder builder;
    builder.raw(jpegToTesraFrame(compressJpeg(syntheticPicture(width, height, false, 3), 80)));
    const int columns = (width + 15) / 16;
    const int rows = (height + 15) / 16;
    std::vector<int> secondRow(static_cast<size_t>(columns));
    for (int k = 0; k < columns; ++k) secondRow[size_t(k)] = columns + k;
    ScanWriter scan;
    for (int k = 0; k < columns; ++k) {
        Block bright{};
        bright[0] = int16_t(40 + k);
        scan.tile(bright, bright, bright, bright, Block{}, bright);
    }
    builder.partialFrame(tileBitmap(columns, rows, secondRow), scan.finish());
    return builder.bytes();
}

template <typename Next>
auto readAll(const std::string& path, vorc::ReaderOptions options, Next next) {
    vorc::Reader reader(path, options);
    std::vector<typename decltype(next(reader))::value_type> frames;
    while (auto frame = next(reader)) frames.push_back(std::move(*frame));
    return frames;
}

std::vector<vorc::Frame> readFrames(const std::string& path, vorc::PixelFormat format) {
    vorc::ReaderOptions options;
    options.format = format;
    return readAll(path, options, [](vorc::Reader& reader) { return reader.next(); });
}

// Every frame's picture as the raw frame dumper writes it: Y, Cr, Cb.
class DumpCollector : public vorcByteStreamReceiver {
public:
    explicit DumpCollector(std::vector<Bytes>* dumps) : dumps_(dumps) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        dumps_->emplace_back(bytes, bytes + count);
    }

private:
    std::vector<Bytes>* dumps_;
};

std::vector<Bytes> dumpYCrCb(const Bytes& stream) {
    StatusCapture quiet;
    std::vector<Bytes> dumps;
    vorcStreamSource* source = new PieceSource(stream);
    vorcFramewiseTesraDecoder decoder(source, new vorcTesraRawFrameDumper(new DumpCollector(&dumps), true),
                                      new vorcFramewiseTesraScanDecoderSoftwareOnly());
    while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
    }
    return dumps;
}

uint8_t lumaOf(const uint8_t* rgb) {
    unsigned char y = 0, cb = 0, cr = 0;
    vorc::convert_RGB_to_YCbCr(rgb[0], rgb[1], rgb[2], &y, &cb, &cr);
    return y;
}

// The packed formats, row by row from the back end's RGB picture.
void expectPackedPixels(const RgbPicture& picture, const vorc::Frame& frame) {
    for (int y = 0; y < picture.height; ++y) {
        Bytes expected;
        for (int x = 0; x < picture.width; ++x) {
            const uint8_t* rgb = picture.at(x, y);
            switch (frame.format()) {
                case vorc::PixelFormat::RGB24:
                    expected.insert(expected.end(), {rgb[0], rgb[1], rgb[2]});
                    break;
                case vorc::PixelFormat::BGR24:
                    expected.insert(expected.end(), {rgb[2], rgb[1], rgb[0]});
                    break;
                case vorc::PixelFormat::RGBA:
                    expected.insert(expected.end(), {rgb[0], rgb[1], rgb[2], 255});
                    break;
                case vorc::PixelFormat::GRAY8:
                case vorc::PixelFormat::I420:
                    expected.push_back(lumaOf(rgb));
                    break;
            }
        }
        const uint8_t* row = frame.data() + size_t(y) * frame.stride();
        ASSERT_EQ(Bytes(row, row + expected.size()), expected) << "row " << y;
    }
}

}  // namespace

TEST(Reader, FramesEqualTheBackEndsPicturesInEveryFormat) {
    TempDir dir;
    struct Case {
        std::string name;
        Bytes stream;
    };
    const std::vector<Case> cases = {{"sample", sampleFrames(12)}, {"100x34", unevenStream(100, 34)},
                                     {"37x21", unevenStream(37, 21)}};
    using vorc::PixelFormat;
    const PixelFormat formats[] = {PixelFormat::RGB24, PixelFormat::BGR24, PixelFormat::RGBA, PixelFormat::GRAY8,
                                   PixelFormat::I420};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir[c.name];
        ASSERT_TRUE(StreamBuilder().raw(c.stream).writeFile(path));
        const DecodeOutcome judge = decodeStream(c.stream);
        ASSERT_GE(judge.frames.size(), 2u);
        for (vorc::PixelFormat format : formats) {
            SCOPED_TRACE(int(format));
            const std::vector<vorc::Frame> frames = readFrames(path, format);
            ASSERT_EQ(frames.size(), judge.frames.size());
            for (size_t n = 0; n < frames.size(); ++n) {
                EXPECT_EQ(frames[n].index, n + 1);
                EXPECT_FALSE(frames[n].damaged);
                ASSERT_EQ(frames[n].width, judge.frames[n].width);
                ASSERT_EQ(frames[n].height, judge.frames[n].height);
                expectPackedPixels(judge.frames[n], frames[n]);
            }
            EXPECT_TRUE(frames[0].fullFrame);
            EXPECT_EQ(frames[0].codedTiles, int64_t{(frames[0].width + 15) / 16} * ((frames[0].height + 15) / 16));
        }
        // The dumper makes planes of even sizes only.
        if (judge.frames[0].width % 2 != 0) continue;
        const std::vector<Bytes> dumps = dumpYCrCb(c.stream);
        const std::vector<vorc::Frame> frames = readFrames(path, vorc::PixelFormat::I420);
        ASSERT_EQ(frames.size(), dumps.size());
        for (size_t n = 0; n < frames.size(); ++n) {
            const size_t luma = frames[n].planeStride(0) * frames[n].planeHeight(0);
            const size_t chroma = frames[n].planeStride(1) * frames[n].planeHeight(1);
            ASSERT_EQ(frames[n].size(), dumps[n].size());
            // Y, U (Cb), V (Cr) against the dump's Y, Cr, Cb.
            const auto dumped = dumps[n].begin();
            EXPECT_TRUE(std::equal(frames[n].plane(0), frames[n].plane(0) + luma, dumped));
            EXPECT_TRUE(std::equal(frames[n].plane(1), frames[n].plane(1) + chroma, dumped + luma + chroma));
            EXPECT_TRUE(std::equal(frames[n].plane(2), frames[n].plane(2) + chroma, dumped + luma));
        }
    }
}

// I420 chroma by its rule, computed here from the RGB frame of the same
// stream: each sample is the sum of the quarters (each truncated) of the
// Cb or Cr values of the 2x2 pixels it covers, and at an odd right or
// bottom edge the last column or row stands in for the missing one. The
// tiles hold strong low frequencies, so most colours saturate and rows and
// columns differ everywhere: a pixel taken from past the edge, where the
// tiles go on, would show.
TEST(Reader, I420ChromaFollowsItsRuleUpToOddEdges) {
    TempDir dir;
    std::mt19937 random(29);
    std::uniform_int_distribution<int> dc(-127, 127), ac(-40, 40);
    const std::pair<int, int> sizes[] = {{37, 21}, {33, 17}, {15, 9}, {1, 1}, {30, 31}, {47, 32}};
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        ScanWriter scan;
        for (int b = 0; b < 6 * ((width + 15) / 16) * ((height + 15) / 16); ++b) {
            Block block{};
            for (const int k : {0, 1, 2, 8, 9, 16}) block[size_t(k)] = int16_t(k == 0 ? dc(random) : ac(random));
            scan.block(b % 6 < 4 ? 0 : b % 6 - 3, block);
        }
        const std::string path = dir[std::to_string(width) + "x" + std::to_string(height)];
        ASSERT_TRUE(StreamBuilder().fullFrame(width, height, scan.finish()).writeFile(path));
        const std::vector<vorc::Frame> rgb = readFrames(path, vorc::PixelFormat::RGB24);
        const std::vector<vorc::Frame> i420 = readFrames(path, vorc::PixelFormat::I420);
        ASSERT_EQ(rgb.size(), 1u);
        ASSERT_EQ(i420.size(), 1u);
        int saturated = 0;
        for (size_t i = 0; i < rgb[0].size(); ++i) saturated += rgb[0].data()[i] % 255 == 0;
        EXPECT_GT(saturated, int(rgb[0].size()) / 4);
        for (int cy = 0; cy < (height + 1) / 2; ++cy) {
            for (int cx = 0; cx < (width + 1) / 2; ++cx) {
                int sums[2] = {0, 0};
                for (int y = 2 * cy; y < 2 * cy + 2; ++y) {
                    for (int x = 2 * cx; x < 2 * cx + 2; ++x) {
                        const uint8_t* p = rgb[0].data() + size_t(std::min(y, height - 1)) * rgb[0].stride() +
                                           size_t(std::min(x, width - 1)) * 3;
                        unsigned char luma = 0, cb = 0, cr = 0;
                        vorc::convert_RGB_to_YCbCr(p[0], p[1], p[2], &luma, &cb, &cr);
                        sums[0] += cb >> 2;
                        sums[1] += cr >> 2;
                    }
                }
                for (int plane = 1; plane <= 2; ++plane) {
                    ASSERT_EQ(i420[0].plane(plane)[size_t(cy) * i420[0].planeStride(plane) + size_t(cx)], sums[plane - 1])
                        << "plane " << plane << " at " << cx << "," << cy;
                }
            }
        }
    }
}

TEST(Reader, DamagedInputGivesFlaggedFramesAndNeverEndsTheProcess) {
    TempDir dir;
    const Bytes clean = sampleFrames(12);
    Bytes garbage(20000);
    std::mt19937 random(7);
    for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random());
    const std::vector<size_t> starts = frameStarts(clean);
    // Cut in the middle of the seventh frame.
    const Bytes cut(clean.begin(), clean.begin() + std::ptrdiff_t(starts[6] + starts[7]) / 2);
    // An FF 01 pair inside the scan of the fifth frame.
    Bytes broken = clean;
    const Bytes sos = {0xFF, 0xDA};
    const auto frame5 = broken.begin() + std::ptrdiff_t(starts[4]);
    const auto scan5 = std::search(frame5, broken.end(), sos.begin(), sos.end());
    scan5[40] = 0xFF;
    scan5[41] = 0x01;
    struct Case {
        std::string name;
        Bytes stream;
        size_t damagedFrame;  // 0: garbage may hold anything
    };
    const Case cases[] = {{"garbage", garbage, 0}, {"cut", cut, 7}, {"broken", broken, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(StreamBuilder().raw(c.stream).writeFile(dir[c.name]));
        const DecodeOutcome judge = decodeStream(c.stream, {}, 65536, vorc::StreamErrorPolicy::SkipFrame);
        testing::internal::CaptureStdout();
        vorc::Reader reader(dir[c.name]);
        std::vector<std::string> warnings;
        reader.setStatusCallback([&warnings](vorc::StatusLevel level, const std::string& message) {
            if (level == vorc::StatusLevel::Warning) warnings.push_back(message);
        });
        std::vector<vorc::Frame> frames;
        while (auto frame = reader.next()) frames.push_back(std::move(*frame));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        // A stream cut inside a frame says where that frame began.
        const std::string cutWarning = dir[c.name] + ": the stream ends inside a frame that began at offset " +
                                       std::to_string(starts[6]);
        EXPECT_EQ(std::count(warnings.begin(), warnings.end(), cutWarning), c.name == "cut" ? 1 : 0);
        ASSERT_EQ(frames.size(), judge.frames.size());
        EXPECT_EQ(reader.damagedFrames(), size_t(std::count(judge.damaged.begin(), judge.damaged.end(), true)));
        for (size_t n = 0; n < frames.size(); ++n) {
            EXPECT_EQ(frames[n].index, n + 1);
            EXPECT_EQ(frames[n].damaged, judge.damaged[n]) << n;
            EXPECT_EQ(frames[n].stale, judge.stale[n]) << n;
            EXPECT_EQ(frames[n].offset, judge.offsets[n]) << n;
            if (c.damagedFrame != 0) {
                EXPECT_EQ(frames[n].damaged, n + 1 == c.damagedFrame) << n;
            }
            if (frames[n].width > 0) expectPackedPixels(judge.frames[n], frames[n]);
        }
    }
}

TEST(Reader, PicturesBeyondTheLimitComeOutDamagedAndEmpty) {
    TempDir dir;
    ASSERT_TRUE(StreamBuilder().raw(unevenStream(100, 34)).writeFile(dir["uneven"]));
    vorc::ReaderOptions options;
    options.maxPixels = 100 * 34 - 1;
    vorc::Reader pictures(dir["uneven"], options);
    vorc::Reader images(dir["uneven"], options);
    for (uint64_t index = 1; index <= 2; ++index) {
        const std::optional<vorc::Frame> frame = pictures.next();
        const std::optional<vorc::JPEGFrame> image = images.nextJPEG();
        ASSERT_TRUE(frame && image);
        EXPECT_TRUE(frame->index == index && frame->damaged && frame->width == 0 && frame->size() == 0);
        EXPECT_TRUE(image->index == index && image->damaged && image->bytes.empty());
    }
    EXPECT_FALSE(pictures.next() || images.nextJPEG());
}

// A camera on loopback that accepts connections (the kernel does) but never
// answers, or with listening false, one that refuses them.
struct LoopbackCamera {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string address;
    explicit LoopbackCamera(bool listening) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), length), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
        if (listening) {
            EXPECT_EQ(::listen(fd, 4), 0);
        }
        address = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
    }
    ~LoopbackCamera() { ::close(fd); }
};

TEST(Reader, SilentCameraTimesOutAndRefusedOneSaysWhy) {
    vorc::ReaderOptions options;
    options.timeout = std::chrono::milliseconds(200);
    LoopbackCamera silent(true);
    vorc::Reader reader(silent.address, options);
    EXPECT_THROW(reader.next(), vorc::TimeoutError);
    // The connection is given up.
    EXPECT_FALSE(reader.next().has_value());
    LoopbackCamera refusing(false);
    try {
        vorc::Reader refused(refusing.address, options);
        ADD_FAILURE() << "connected";
    } catch (const vorc::SourceError& error) {
        EXPECT_NE(std::string(error.what()).find("Connection refused"), std::string::npos) << error.what();
    }
}

// A camera on loopback that accepts one connection, reads the request and
// sends each piece of its script when the piece's time (counted from the
// connection) has come, then keeps the connection open until it dies or 10
// s have passed (so that a read blocking for ever fails a test instead of
// hanging it).
class ScriptedCamera {
public:
    using Script = std::vector<std::pair<std::chrono::milliseconds, std::string>>;
    explicit ScriptedCamera(Script script) : server_([this, script] { serve(script); }) {}
    ~ScriptedCamera() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopping_.notify_all();
        server_.join();
    }
    const std::string& address() const { return socket_.address; }

private:
    void serve(const Script& script) {
        pollfd entry{socket_.fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) != 1) return;
        const int client = ::accept(socket_.fd, nullptr, nullptr);
        char request[512];
        (void)::read(client, request, sizeof request);
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        for (const auto& [when, bytes] : script) {
            if (stopping_.wait_until(lock, start + when, [this] { return stop_; })) break;
            ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        stopping_.wait_until(lock, start + std::chrono::seconds(10), [this] { return stop_; });
        ::close(client);
    }

    LoopbackCamera socket_{true};
    std::mutex mutex_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::thread server_;
};

const std::string AnswerOK = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";

TEST(Reader, CameraAnsweringOtherThan200RaisesSourceErrorNamingTheStatus) {
    const std::string frames = [] {
        const Bytes bytes = sampleFrames(2);
        return std::string(bytes.begin(), bytes.end());
    }();
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"HTTP/1.0 404 Not Found\r\n\r\n", {"404 Not Found"}},
        {"HTTP/1.1 401 Unauthorized\r\n\r\n" + frames, {"401 Unauthorized", "login"}},
    };
    for (const auto& [answer, named] : cases) {
        for (const bool jpeg : {false, true}) {
            ScriptedCamera camera({{std::chrono::milliseconds(0), answer}});
            vorc::Reader reader(camera.address());
            try {
                if (jpeg) {
                    reader.nextJPEG();
                } else {
                    reader.next();
                }
                ADD_FAILURE() << answer << ": no error";
            } catch (const vorc::TimeoutError& error) {
                ADD_FAILURE() << answer << ": " << error.what();
            } catch (const vorc::SourceError& error) {
                for (const std::string& text : named) EXPECT_NE(std::string(error.what()).find(text), std::string::npos) << error.what();
                EXPECT_EQ(std::string(error.what()).rfind(camera.address() + ": the camera answered '", 0), 0u) << error.what();
            }
            // Said once; then the source has ended.
            EXPECT_FALSE(jpeg ? reader.nextJPEG().has_value() : reader.next().has_value());
        }
    }
    // A good answer: its frames (the first complete once the second begins),
    // as from the file, dated by the clock when they arrived.
    ScriptedCamera camera({{std::chrono::milliseconds(0), AnswerOK + frames}});
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const double before = now();
    vorc::Reader reader = vorc::Reader::openCamera("127.0.0.1", std::stoi(camera.address().substr(10)));
    const auto first = reader.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(first->damaged);
    EXPECT_TRUE(first->timestamp >= before && first->timestamp <= now()) << std::fixed << first->timestamp;
    const std::vector<vorc::Frame> fromFile = readFrames(SamplePath, vorc::PixelFormat::RGB24);
    EXPECT_EQ(Bytes(first->data(), first->data() + first->size()),
              Bytes(fromFile.at(0).data(), fromFile.at(0).data() + fromFile.at(0).size()));
}

// Signals (whose handler lacks SA_RESTART, so every blocking call fails with
// EINTR) during a wait for a silent camera or standard input: the wait goes
// on to the timeout or the data and never ends as a timeout before its
// time; the caller's interrupted check ends it with InterruptedError.
TEST(Reader, SignalsNeitherEndAWaitNorPassForATimeout) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    const auto millisSince = [](Clock::time_point start) {
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    };
    // One frame, complete once the next one begins.
    const Bytes bytes = sampleFrames(2);
    const std::string frame(bytes.begin(), bytes.end());
    {
        // Silent after a good answer.
        ScriptedCamera camera({{milliseconds(0), AnswerOK}});
        vorc::ReaderOptions options;
        options.timeout = milliseconds(2000);
        vorc::Reader reader(camera.address(), options);
        const Clock::time_point start = Clock::now();
        const vorctest::InterruptingSignals signals({milliseconds(300), milliseconds(900), milliseconds(1500)});
        EXPECT_THROW(reader.next(), vorc::TimeoutError);
        EXPECT_GE(millisSince(start), 1950);
        EXPECT_LT(millisSince(start), 6000);
        EXPECT_EQ(signals.sent(), 3);
    }
    {
        // No timeout: the frame arrives after the signals.
        ScriptedCamera camera({{milliseconds(0), AnswerOK}, {milliseconds(1000), frame}});
        vorc::ReaderOptions options;
        options.timeout = milliseconds(0);
        vorc::Reader reader(camera.address(), options);
        const vorctest::InterruptingSignals signals({milliseconds(200), milliseconds(500)});
        const auto first = reader.next();
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->index, 1u);
    }
    {
        // Standard input, with and without a timeout.
        for (const long timeout : {0L, 3000L}) {
            int pipe[2];
            ASSERT_EQ(::pipe(pipe), 0);
            const int savedInput = ::dup(STDIN_FILENO);
            ::dup2(pipe[0], STDIN_FILENO);
            ::close(pipe[0]);
            std::thread writer([&] {
                std::this_thread::sleep_for(milliseconds(800));
                EXPECT_EQ(::write(pipe[1], frame.data(), frame.size()), ssize_t(frame.size()));
                ::close(pipe[1]);
            });
            vorc::ReaderOptions options;
            options.timeout = milliseconds(timeout);
            {
                vorc::Reader reader("-", options);
                const vorctest::InterruptingSignals signals({milliseconds(200), milliseconds(500)});
                const auto first = reader.next();
                EXPECT_TRUE(first.has_value()) << timeout;
            }
            writer.join();
            ::dup2(savedInput, STDIN_FILENO);
            ::close(savedInput);
        }
    }
    // The caller's check is asked every 100 ms or so while the Reader waits
    // (neither only at the timeout nor all the time), and ends the wait; the
    // Reader stays usable.
    ScriptedCamera camera({{milliseconds(0), AnswerOK}, {milliseconds(1500), frame}});
    vorc::ReaderOptions options;
    std::atomic<bool> stopWaiting{false};
    int asked = 0;
    options.interrupted = [&] {
        ++asked;
        return stopWaiting.load();
    };
    vorc::Reader reader(camera.address(), options);
    Clock::time_point told;
    std::thread interrupter([&] {
        std::this_thread::sleep_for(milliseconds(400));
        told = Clock::now();
        stopWaiting = true;
    });
    EXPECT_THROW(reader.next(), vorc::InterruptedError);
    interrupter.join();
    EXPECT_LT(millisSince(told), 400);
    EXPECT_GE(asked, 3);
    EXPECT_LE(asked, 40);
    stopWaiting = false;
    EXPECT_EQ(reader.next()->index, 1u);
}

// A connection that hangs (to a listener whose queue is full) ends when the
// interrupted check says so, whatever the timeout, and frees its socket.
TEST(Reader, AHangingConnectionEndsWhenInterrupted) {
    using std::chrono::milliseconds;
    LoopbackCamera full(false);
    ASSERT_EQ(::listen(full.fd, 0), 0);
    const std::string port = full.address.substr(full.address.find(':') + 1);
    // The one connection the queue takes.
    const int queued = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(uint16_t(std::stoi(port)));
    ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    const auto openDescriptors = [] {
        const std::filesystem::directory_iterator entries("/proc/self/fd");
        return std::distance(begin(entries), end(entries));
    };
    const auto descriptorsBefore = openDescriptors();
    for (const long timeout : {0L, 30000L}) {
        vorc::ReaderOptions options;
        options.timeout = milliseconds(timeout);
        const auto start = std::chrono::steady_clock::now();
        int asked = 0;
        options.interrupted = [&] {
            ++asked;
            return std::chrono::steady_clock::now() - start >= milliseconds(300);
        };
        EXPECT_THROW(vorc::Reader(full.address, options), vorc::InterruptedError) << timeout;
        const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_GE(took.count(), 300);
        EXPECT_LT(took.count(), 5000);
        EXPECT_GE(asked, 3);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    ::close(queued);
}

TEST(Reader, JPEGImagesEqualTheToolsTranscodedFiles) {
    TempDir dir;
    ASSERT_EQ(runVorc("transcode --quiet '" + SamplePath + "' --jpeg-prefix '" + dir["f_"] + "'"), 0);
    const auto images =
        readAll(SamplePath, vorc::ReaderOptions(), [](vorc::Reader& reader) { return reader.nextJPEG(); });
    ASSERT_FALSE(images.empty());
    for (size_t n = 0; n <= images.size(); ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "f_%06zu.jpg", n);
        // One file per image, and none more.
        EXPECT_EQ(std::filesystem::exists(dir[name]), n < images.size()) << name;
        if (n == images.size()) break;
        EXPECT_EQ(images[n].index, n + 1);
        const std::string file = readFile(dir[name]);
        EXPECT_EQ(std::string(images[n].bytes.begin(), images[n].bytes.end()), file) << name;
    }
}

TEST(Reader, SourcesThatFailThrowWithTheReason) {
    TempDir dir;
    const std::tuple<std::string, std::string, int> cases[] = {
        {dir["missing.tesra"], "cannot open " + dir["missing.tesra"] + ": No such file or directory", ENOENT},
        {dir.path, "cannot read " + dir.path + ": is a directory", EISDIR},
    };
    for (const auto& [source, reason, systemError] : cases) {
        for (const bool fileOnly : {false, true}) {
            try {
                vorc::Reader reader = fileOnly ? vorc::Reader::openFile(source) : vorc::Reader(source);
                ADD_FAILURE() << source << " opened";
            } catch (const vorc::SourceError& error) {
                EXPECT_EQ(error.what(), reason);
                EXPECT_EQ(error.systemError(), systemError) << source;
            }
        }
    }
    // A name that would be a camera is only a file to openFile.
    EXPECT_THROW(vorc::Reader::openFile("127.0.0.1:1"), vorc::SourceError);
    EXPECT_THROW(vorc::Reader::openDescriptor(-1), vorc::SourceError);
    vorc::ReaderOptions options;
    for (const double fps : {0.0, -1.0, std::nan(""), 2e6}) {
        options.fileFps = fps;
        EXPECT_THROW(vorc::Reader(SamplePath, options), vorc::InvalidArgument) << fps;
    }
}

// Every way to hand the Reader a stream gives the same frames: their
// pixels, places, times and tile bitmaps. Frames of a source without times
// are dated at fileFps.
TEST(Reader, EveryKindOfSourceGivesTheSameFrames) {
    const Bytes stream = sampleFrames(8);
    TempDir dir;
    ASSERT_TRUE(StreamBuilder().raw(stream).writeFile(dir["sample"]));
    vorc::ReaderOptions options;
    options.fileFps = 10;
    const auto everyFrame = [](vorc::Reader reader) {
        std::vector<vorc::Frame> frames;
        while (auto frame = reader.next()) frames.push_back(std::move(*frame));
        return frames;
    };
    const std::vector<vorc::Frame> byName = everyFrame(vorc::Reader(dir["sample"], options));
    ASSERT_EQ(byName.size(), 8u);
    for (const vorc::Frame& frame : byName) EXPECT_DOUBLE_EQ(frame.timestamp, double(frame.index - 1) / 10);
    const int fd = ::open(dir["sample"].c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::vector<vorc::Frame>> others;
    others.push_back(everyFrame(vorc::Reader::openFile(dir["sample"], options)));
    others.push_back(everyFrame(vorc::Reader::openDescriptor(fd, options)));
    others.push_back(everyFrame(vorc::Reader::openMemory(stream.data(), stream.size(), options)));
    others.push_back(everyFrame(vorc::Reader(std::make_unique<PieceSource>(stream, std::vector<size_t>{1, 7, 300}),
                                             "pieces", options)));
    // The descriptor is the caller's: still open, and at the end.
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), off_t(stream.size()));
    ::close(fd);
    for (size_t kind = 0; kind < others.size(); ++kind) {
        ASSERT_EQ(others[kind].size(), byName.size()) << kind;
        for (size_t n = 0; n < byName.size(); ++n) {
            const vorc::Frame& a = byName[n];
            const vorc::Frame& b = others[kind][n];
            EXPECT_TRUE(a.index == b.index && a.offset == b.offset && a.timestamp == b.timestamp &&
                        a.tileBitmap == b.tileBitmap && a.fullFrame == b.fullFrame)
                << kind << " " << n;
            EXPECT_EQ(Bytes(a.data(), a.data() + a.size()), Bytes(b.data(), b.data() + b.size())) << kind << " " << n;
        }
    }
}

// A partial frame's bitmap is the one its stream carried; full and damaged
// frames have none. Both of the Reader's outputs carry it.
TEST(Reader, FramesCarryTheTileBitmapOfTheirStream) {
    const int columns = 5, rows = 3;
    const std::vector<int> coded = {1, 5, 6, 14};
    StreamBuilder builder;
    builder.raw(jpegToTesraFrame(compressJpeg(syntheticPicture(columns * 16, rows * 16, false, 3), 80)));
    ScanWriter scan;
    for (size_t k = 0; k < coded.size(); ++k) scan.tile(Block{}, Block{}, Block{}, Block{}, Block{}, Block{});
    const Bytes bitmap = tileBitmap(columns, rows, coded);
    builder.partialFrame(bitmap, scan.finish());
    TempDir dir;
    ASSERT_TRUE(builder.writeFile(dir["tiles"]));
    vorc::Reader pictures(dir["tiles"]);
    vorc::Reader images(dir["tiles"]);
    for (const Bytes& expected : {Bytes(), bitmap}) {
        const std::optional<vorc::Frame> frame = pictures.next();
        const std::optional<vorc::JPEGFrame> image = images.nextJPEG();
        ASSERT_TRUE(frame && image);
        EXPECT_EQ(frame->tileBitmap, expected);
        EXPECT_EQ(image->tileBitmap, expected);
        EXPECT_EQ(frame->codedTiles, expected.empty() ? columns * rows : int64_t(coded.size()));
    }
    // The partial frame once more, behind a damaged one: the damaged frame has no bitmap.
    const std::string text = readFile(dir["tiles"]);
    const Bytes stream(text.begin(), text.end());
    const std::vector<size_t> starts = frameStarts(stream);
    Bytes broken(stream.begin(), stream.begin() + std::ptrdiff_t(starts[1]) + 40);
    broken.insert(broken.end(), stream.begin() + std::ptrdiff_t(starts[1]), stream.end());
    ASSERT_TRUE(StreamBuilder().raw(broken).writeFile(dir["broken"]));
    vorc::Reader reader(dir["broken"]);
    std::vector<vorc::Frame> frames;
    while (auto frame = reader.next()) frames.push_back(std::move(*frame));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(frames[1].damaged && frames[1].tileBitmap.empty());
    EXPECT_EQ(frames[2].tileBitmap, bitmap);
}

TEST(Reader, SilentUnlessAskedAndStatusGoesToTheCallback) {
    std::vector<std::pair<vorc::StatusLevel, std::string>> messages;
    vorc::ReaderOptions options;
    options.status = [&messages](vorc::StatusLevel level, const std::string& text) {
        messages.emplace_back(level, text);
    };
    testing::internal::CaptureStdout();
    const size_t quietFrames = readFrames(SamplePath, vorc::PixelFormat::RGB24).size();
    const size_t toldFrames =
        readAll(SamplePath, options, [](vorc::Reader& reader) { return reader.next(); }).size();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(quietFrames, toldFrames);
    const std::pair<vorc::StatusLevel, std::string> resolution = {
        vorc::StatusLevel::Info, "vorcBufferedTesraDecoderBackEnd : switched video resolution to 640x480"};
    EXPECT_NE(std::find(messages.begin(), messages.end(), resolution), messages.end());
}

TEST(Reader, ReadersOnSeveralThreadsGiveWhatOneGivesAlone) {
    // Every frame's bytes one after the other: BGR pictures, or JPEG images.
    const auto readEverything = [](bool jpeg) {
        vorc::ReaderOptions options;
        options.format = vorc::PixelFormat::BGR24;
        vorc::Reader reader(SamplePath, options);
        std::string all;
        if (jpeg) {
            while (auto image = reader.nextJPEG()) all.append(image->bytes.begin(), image->bytes.end());
        } else {
            while (auto frame = reader.next()) all.append(frame->data(), frame->data() + frame->size());
        }
        return all;
    };
    const std::string alone[] = {readEverything(false), readEverything(true)};
    std::string together[4];
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) threads.emplace_back([&, t] { together[t] = readEverything(t % 2 == 1); });
    for (std::thread& thread : threads) thread.join();
    for (size_t t = 0; t < 4; ++t) EXPECT_TRUE(together[t] == alone[t % 2]) << "thread " << t;
}
