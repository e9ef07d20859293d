// `vorc serve` on loopback as browsers and monitoring would use it: every
// stream part is a complete JPEG byte-identical to what `vorc transcode`
// makes of the same file, the snapshot is one of them, the metrics parse and
// move, bad requests get their status without disturbing the stream, a
// stalled client holds back none of 200 others and is dropped, a camera that
// drops is reconnected, the one image of a camera that falls silent reaches
// the clients, a client outwaits a camera's pauses, a camera that answers
// 404 is retried with growing pauses, each outage is logged once, and
// headless Chromium shows the picture. Also the HTTP request parser the
// server shares with `vorc camera`, at its limits and after empty lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "support/browser.h"
#include "support/fake_camera.h"
#include "support/files.h"
#include "support/libjpeg_helpers.h"
#include "support/png_reading.h"
#include "support/serve_client.h"
#include "support/tool_process.h"
#include "tools/net/http_request.h"

using vorctest::get;
using vorctest::metrics;
using vorctest::pumpUntil;
using vorctest::Readers;
using vorctest::readFile;
using vorctest::readPng;
using vorctest::StreamReader;
using vorctest::Vorc;
using vorctest::waitForHealth;
using Clock = std::chrono::steady_clock;

namespace {

TEST(HttpRequestHead, ParsesWholeAndPiecewiseAlike) {
    const std::string hugeHeader = "GET / HTTP/1.1\r\nX: " + std::string(9000, 'b') + "\r\n\r\n";
    // The limits on both sides: a request line of 2048 bytes with its line
    // end, 64 header lines, a head of 8192 bytes with its closing empty line.
    const auto requestLine = [](size_t bytes, const std::string& end) {
        return "GET /" + std::string(bytes - 14 - end.size(), 'a') + " HTTP/1.1" + end;
    };
    const auto headerLines = [](int count) {
        std::string lines = "GET / HTTP/1.1\r\n";
        for (int i = 0; i < count; ++i) lines += "X-" + std::to_string(i) + ": 1\r\n";
        return lines + "\r\n";
    };
    const auto headOfBytes = [](size_t bytes) { return "GET / HTTP/1.1\r\nX: " + std::string(bytes - 23, 'c') + "\r\n\r\n"; };
    struct Case {
        std::string text;
        int status;  // 0: complete
    };
    for (const Case& c : std::vector<Case>{
             {"GET /a/b?x=1&fps=2.5&noaudio HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Thing:  v a l \r\n\r\nrest", 0},
             {"GET /control/faststream.jpg?noaudio&fps=4.000000 HTTP/1.0\n\n", 0},
             {"GET / HTTP/1.1\r\nHost x\r\n\r\n", 400},
             {"GET / HTTP/1.1\r\nHo st: x\r\n\r\n", 400},
             {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", 400},
             {"GET /\r\n\r\n", 400},
             {"GET  / HTTP/1.1\r\n\r\n", 400},
             {"GET a HTTP/1.1\r\n\r\n", 400},
             {"G\x01T / HTTP/1.1\r\n\r\n", 400},
             {"GET /\r HTTP/1.1\r\n\r\n", 400},
             {"GET / HTTP/1.1x\r\n\r\n", 400},
             {"\r\n\r\nX\r\n\r\n", 400},
             {"GET / HTTP/2.0\r\n\r\n", 505},
             {hugeHeader, 431},
             {requestLine(2048, "\r\n") + "\r\n", 0},
             {requestLine(2048, "\n") + "\n", 0},
             {requestLine(2049, "\r\n") + "\r\n", 414},
             {requestLine(2049, "\n") + "\n", 414},
             {headerLines(64), 0},
             {headerLines(65), 431},
             {headOfBytes(8192), 0},
             {headOfBytes(8193), 431}}) {
        const HttpHead whole = parseHttpHead(c.text);
        EXPECT_EQ(whole.state, c.status == 0 ? HttpHeadState::Complete : HttpHeadState::Bad) << c.text;
        EXPECT_EQ(whole.status, c.status) << c.text;
        // Before the deciding byte every prefix is incomplete; from it on
        // the verdict is the one of the whole.
        bool decided = false;
        for (size_t length = 0; length <= c.text.size(); ++length) {
            const HttpHead head = parseHttpHead(std::string_view(c.text).substr(0, length));
            if (head.state == HttpHeadState::Incomplete) {
                ASSERT_FALSE(decided) << c.text << " at " << length;
                continue;
            }
            decided = true;
            ASSERT_EQ(head.status, c.status) << c.text << " at " << length;
        }
    }
    const HttpHead head = parseHttpHead("GET /a/b?x=1&fps=2.5&noaudio HTTP/1.1\r\nHost: h\r\nX-Thing:  v a l \r\n\r\nGET");
    EXPECT_EQ(head.request.method, "GET");
    EXPECT_EQ(head.request.path, "/a/b");
    EXPECT_EQ(head.request.queryParameter("fps"), "2.5");
    EXPECT_EQ(head.request.queryParameter("noaudio"), "");
    EXPECT_EQ(head.request.queryParameter("fp"), std::nullopt);
    EXPECT_EQ(head.request.headers,
              (std::vector<std::pair<std::string, std::string>>{{"host", "h"}, {"x-thing", "v a l"}}));
}

// Empty lines before the request line are no error: HTTP asks servers to
// ignore them. They count against the head's size, and the request line's
// own limit starts after them.
TEST(HttpRequestHead, EmptyLinesBeforeTheRequestAreIgnored) {
    for (const std::string& lead : std::vector<std::string>{"\r\n", "\n", "\r\n\r\n\n", std::string(4000, '\n')}) {
        const std::string text = lead + "GET /health?x=1 HTTP/1.1\r\nHost: h\r\n\r\n";
        for (size_t length = 0; length < text.size(); ++length)
            ASSERT_EQ(parseHttpHead(std::string_view(text).substr(0, length)).state, HttpHeadState::Incomplete)
                << length;
        const HttpHead head = parseHttpHead(text);
        ASSERT_EQ(head.state, HttpHeadState::Complete) << lead.size();
        EXPECT_EQ(head.request.path, "/health");
        EXPECT_EQ(head.request.queryParameter("x"), "1");
        EXPECT_EQ(head.request.headers, (std::vector<std::pair<std::string, std::string>>{{"host", "h"}}));
    }
    EXPECT_EQ(parseHttpHead(std::string(8193, '\n')).status, 431);
    EXPECT_EQ(parseHttpHead("\r\n \r\n\r\n").status, 400);
}

class ToolServe : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vorctest::writeLiveTestStream(stream = dir + "live.tesra")); }

    std::set<std::string> transcodedImages() { return vorctest::transcodedImages(dir, stream, 9); }

    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
    std::string stream;
};

TEST_F(ToolServe, FansTheTranscodersImagesOutAndAnswersEveryAddress) {
    const std::set<std::string> expected = transcodedImages();
    Vorc serve(dir + "serve.err",
               {"serve", "--listen", "127.0.0.1:0", "--fps", "50", "--exit-after", "120", "--quiet", stream});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();

    Readers readers;
    for (int i = 0; i < 3; ++i) readers.push_back(std::make_unique<StreamReader>(port, true));
    // More than one pass through the file's nine frames.
    ASSERT_TRUE(pumpUntil(readers, 30, [&] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& r) { return r->images() >= 12; });
    }));
    for (const auto& reader : readers) {
        for (const std::string& image : reader->kept()) EXPECT_EQ(expected.count(image), 1u);
    }
    const vorctest::Answer snapshot = get(port, "/snapshot.jpg");
    EXPECT_EQ(snapshot.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << snapshot.head;
    EXPECT_NE(snapshot.head.find("Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(snapshot.body.size())),
              std::string::npos);
    EXPECT_EQ(expected.count(snapshot.body), 1u);

    std::map<std::string, double> before = metrics(port);
    pumpUntil(readers, 0.5);
    std::map<std::string, double> after = metrics(port);
    for (const char* counter : {"vorc_serve_frames_in_total", "vorc_serve_images_out_total", "vorc_serve_sent_bytes_total"})
        EXPECT_GT(after[counter], before[counter]) << counter;
    EXPECT_EQ(after["vorc_serve_clients"], 3);
    EXPECT_EQ(after["vorc_serve_clients_total"], 3);
    EXPECT_EQ(after["vorc_serve_damaged_frames_total"], 0);
    EXPECT_EQ(after["vorc_serve_source_reconnects_total"], 0);
    EXPECT_EQ(after["vorc_serve_source_up"], 1);
    EXPECT_EQ(after["vorc_serve_picture_width"], 128);
    EXPECT_EQ(after["vorc_serve_picture_height"], 64);

    const vorctest::Answer page = get(port, "/");
    EXPECT_NE(page.head.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(page.body.find("<img id=\"picture\" src=\"stream.mjpg\""), std::string::npos);
    EXPECT_NE(page.body.find("128x64"), std::string::npos);
    EXPECT_EQ(get(port, "/health").body, "source up\n");

    const size_t imagesBefore = readers[0]->images();
    for (const auto& [request, status] : std::vector<std::pair<std::string, std::string>>{
             {"POST /stream.mjpg HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "405"},
             {"GET /stream.mjpeg HTTP/1.1\r\n\r\n", "404"},
             {"GET /../etc/passwd HTTP/1.0\r\n\r\n", "404"},
             {"hello\r\n\r\n", "400"},
             {"GET /" + std::string(5000, 'x') + " HTTP/1.1\r\n\r\n", "414"},
             {"GET / HTTP/1.1\r\nX: " + std::string(10000, 'y') + "\r\n\r\n", "431"}}) {
        EXPECT_EQ(vorctest::exchange(port, request).rfind("HTTP/1.1 " + status, 0), 0u) << request.substr(0, 40);
    }
    EXPECT_TRUE(pumpUntil(readers, 10, [&] { return readers[0]->images() > imagesBefore + 5; }));
    for (const auto& reader : readers) EXPECT_TRUE(reader->pump());

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

TEST_F(ToolServe, AStalledClientHoldsBackNoneOf200OthersAndIsDropped) {
    constexpr int Clients = 200;
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "50", "--client-timeout", "2",
                                   "--exit-after", "120", "--quiet", stream});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    // Asks for the stream and never reads it, through a small window.
    StreamReader stalled(port, false, 4096);
    // Connects and says nothing.
    const int silent = vorctest::connectToLoopback(port);
    Readers readers;
    for (int i = 0; i < Clients; ++i) readers.push_back(std::make_unique<StreamReader>(port));
    ASSERT_TRUE(pumpUntil(readers, 30, [&] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& r) { return r->images() >= 2; });
    }));

    // From now until the stalled client is dropped (its window full for the
    // client time-out), every other reader keeps up with the source.
    std::vector<size_t> counts;
    for (const auto& reader : readers) counts.push_back(reader->images());
    const double framesBefore = metrics(port)["vorc_serve_frames_in_total"];
    auto nextLook = Clock::now();
    EXPECT_TRUE(pumpUntil(readers, 30, [&] {
        if (Clock::now() < nextLook) return false;
        nextLook = Clock::now() + std::chrono::milliseconds(250);
        return metrics(port)["vorc_serve_clients"] == Clients;
    }));
    const double frames = metrics(port)["vorc_serve_frames_in_total"] - framesBefore;
    EXPECT_GE(frames, 50);
    size_t slowest = SIZE_MAX;
    for (size_t i = 0; i < readers.size(); ++i) slowest = std::min(slowest, readers[i]->images() - counts[i]);
    EXPECT_GE(static_cast<double>(slowest), 0.7 * frames - 3) << "frames in: " << frames;
    std::printf("while a client stalled: %.0f frames in; the slowest of %d readers took %zu images\n", frames, Clients,
                slowest);
    bool stalledOpen = true;
    for (int slice = 0; slice < 500 && stalledOpen; ++slice) {
        stalledOpen = stalled.pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(stalledOpen);
    char byte;
    EXPECT_EQ(::recv(silent, &byte, 1, MSG_DONTWAIT), 0) << "the silent client is still connected";
    ::close(silent);
    serve.signal(SIGINT);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

TEST_F(ToolServe, CountsDamagedFramesAndGoesOn) {
    // Garbage in the middle of the second full frame's scan.
    std::string bytes = readFile(stream);
    const size_t secondScan = bytes.find("\xFF\xDA", bytes.find("\xFF\xDA", bytes.find("\xFF\xDA") + 2) + 2);
    ASSERT_NE(secondScan, std::string::npos);
    for (size_t i = secondScan + 40; i < secondScan + 60; ++i) bytes[i] = '\xFF';
    {
        std::ofstream damaged(dir + "damaged.tesra", std::ios::binary);
        damaged << bytes;
    }
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "100", "--exit-after", "120",
                                   "--quiet", dir + "damaged.tesra"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    Readers readers;
    readers.push_back(std::make_unique<StreamReader>(port));
    // Two passes through the file, each with its damaged frame.
    EXPECT_TRUE(pumpUntil(readers, 20, [&] { return readers[0]->images() >= 20; }));
    const std::map<std::string, double> values = metrics(port);
    EXPECT_GE(values.at("vorc_serve_damaged_frames_total"), 1);
    EXPECT_LT(values.at("vorc_serve_damaged_frames_total"), values.at("vorc_serve_frames_in_total") / 2);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

TEST_F(ToolServe, ListensOnIPv6) {
    Vorc serve(dir + "serve.err",
               {"serve", "--listen", "[::1]:0", "--exit-after", "120", "--quiet", stream});
    const int port = serve.port("[::1]");
    ASSERT_GT(port, 0) << serve.errors();
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /health HTTP/1.1\r\nHost: [::1]\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char chunk[512];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<size_t>(got));
    ::close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

TEST_F(ToolServe, ReconnectsACameraThatDropsAndSaysSoMeanwhile) {
    auto camera = std::make_unique<Vorc>(dir + "camera.err",
                                         std::vector<std::string>{"camera", "--listen", "127.0.0.1:0", "--exit-after", "120", stream});
    const int cameraPort = camera->port();
    ASSERT_GT(cameraPort, 0) << camera->errors();
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "50", "--timeout", "3",
                                   "--exit-after", "120", "--quiet", "localhost:" + std::to_string(cameraPort)});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10)) << serve.errors();
    Readers readers;
    readers.push_back(std::make_unique<StreamReader>(port));
    ASSERT_TRUE(pumpUntil(readers, 10, [&] { return readers[0]->images() >= 2; }));

    camera->signal(SIGTERM);
    EXPECT_EQ(camera->wait(), 0) << camera->errors();
    EXPECT_TRUE(waitForHealth(port, "503", 10)) << serve.errors();
    EXPECT_EQ(metrics(port)["vorc_serve_source_up"], 0);

    camera = std::make_unique<Vorc>(dir + "camera2.err", std::vector<std::string>{"camera", "--listen", "127.0.0.1:" + std::to_string(cameraPort),
                                                                                 "--exit-after", "120", stream});
    ASSERT_EQ(camera->port(), cameraPort) << camera->errors();
    EXPECT_TRUE(waitForHealth(port, "200", 20)) << serve.errors();
    const size_t imagesBefore = readers[0]->images();
    EXPECT_TRUE(pumpUntil(readers, 10, [&] { return readers[0]->images() >= imagesBefore + 3; }));
    EXPECT_EQ(metrics(port)["vorc_serve_source_reconnects_total"], 1);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// A camera that sends one frame (and the start of the next, which completes
// it) and then nothing: that first image reaches a client that was waiting
// for it and one that comes later, once each, and it is the snapshot.
TEST_F(ToolServe, TheFirstImageOfACameraThatFallsSilentReachesStreamClients) {
    const std::set<std::string> expected = transcodedImages();
    const std::string bytes = readFile(stream);
    const size_t secondFrame = bytes.find("\xFF\xD8\xFF\xE0", 2);
    vorctest::FakeCamera camera("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" +
                                    bytes.substr(0, secondFrame + 2),
                                true);
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--timeout", "60", "--exit-after", "120",
                                   "--quiet", "127.0.0.1:" + std::to_string(camera.port)});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    Readers readers;
    readers.push_back(std::make_unique<StreamReader>(port, true));
    ASSERT_TRUE(pumpUntil(readers, 30, [&] { return readers[0]->images() == 1; })) << serve.errors();
    EXPECT_EQ(expected.count(readers[0]->kept()[0]), 1u);
    EXPECT_EQ(get(port, "/snapshot.jpg").body, readers[0]->kept()[0]);
    readers.push_back(std::make_unique<StreamReader>(port, true));
    ASSERT_TRUE(pumpUntil(readers, 30, [&] { return readers[1]->images() == 1; }));
    pumpUntil(readers, 1);
    EXPECT_EQ(readers[0]->images(), 1u);
    EXPECT_EQ(readers[1]->kept(), readers[0]->kept());
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// Frames four seconds apart, four times the client time-out: a stream
// client that has taken every image waits for the next one and is not
// dropped meanwhile.
TEST_F(ToolServe, AStreamClientOutwaitsCameraPausesLongerThanTheClientTimeout) {
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--exit-after", "120", stream});
    const int cameraPort = camera.port();
    ASSERT_GT(cameraPort, 0) << camera.errors();
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "0.25", "--client-timeout", "1",
                                   "--timeout", "60", "--exit-after", "120", "--quiet",
                                   "127.0.0.1:" + std::to_string(cameraPort)});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    Readers readers;
    readers.push_back(std::make_unique<StreamReader>(port));
    pumpUntil(readers, 60, [&] { return readers[0]->images() >= 2 || !readers[0]->open(); });
    EXPECT_GE(readers[0]->images(), 2u) << serve.errors();
    EXPECT_TRUE(readers[0]->pump()) << "the client was dropped";
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

// The server answers a request that a client began with an empty line.
TEST_F(ToolServe, AnswersARequestAfterAnEmptyLine) {
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--exit-after", "120", "--quiet", stream});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10)) << serve.errors();
    const std::string answer = vorctest::exchange(port, "\r\nGET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// A camera on loopback that answers every connection with 404 and counts
// the connections.
class NotFoundCamera {
public:
    NotFoundCamera() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(::listen(fd_, 16), 0);
        port = ntohs(address.sin_port);
        server_ = std::thread([this] {
            while (!stop_) {
                pollfd entry{fd_, POLLIN, 0};
                if (::poll(&entry, 1, 50) != 1) continue;
                const int client = ::accept(fd_, nullptr, nullptr);
                ++connections;
                char request[512];
                (void)::read(client, request, sizeof request);
                const std::string answer = "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nnot here\n";
                ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(client);
            }
        });
    }
    ~NotFoundCamera() {
        stop_ = true;
        server_.join();
        ::close(fd_);
    }
    int port = 0;
    std::atomic<int> connections{0};

private:
    const int fd_;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

// A camera that answers 404 is an outage like a refused connection: tried
// again after growing pauses (0.5, 1, 2, 4 s: four tries in 6 s, where a
// fixed half second would make twelve), said once, and the server is down
// meanwhile.
TEST_F(ToolServe, BacksOffFromACameraThatAnswers404AndSaysSoOnce) {
    NotFoundCamera camera;
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--exit-after", "120",
                                   "127.0.0.1:" + std::to_string(camera.port)});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    EXPECT_TRUE(waitForHealth(port, "503", 5));
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
    EXPECT_GE(camera.connections, 2);
    EXPECT_LE(camera.connections, 6);
    const std::string log = serve.errors();
    size_t lines = 0;
    for (size_t at = log.find("serve: camera "); at != std::string::npos; at = log.find("serve: camera ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
    EXPECT_NE(log.find("serve: camera 127.0.0.1:" + std::to_string(camera.port) +
                       ": the camera answered 'HTTP/1.0 404 Not Found', retrying\n"),
              std::string::npos)
        << log;
}

// A camera that closes after each pass of its file: every loss begins an
// outage that is logged once, and every return ends it.
TEST_F(ToolServe, LogsEachOutageOnceAndEachReturn) {
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--loops", "1", "--exit-after", "120", stream});
    const int cameraPort = camera.port();
    ASSERT_GT(cameraPort, 0) << camera.errors();
    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "100", "--exit-after", "120",
                                   "127.0.0.1:" + std::to_string(cameraPort)});
    ASSERT_GT(serve.port(), 0) << serve.errors();
    const std::string name = "serve: camera 127.0.0.1:" + std::to_string(cameraPort) + ": ";
    const std::string connected = name + "connected\n", lost = name + "the camera closed the connection, retrying\n";
    std::vector<std::string> lines;
    for (int slice = 0; slice < 300 && std::count(lines.begin(), lines.end(), connected) < 3; ++slice) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::istringstream log(serve.errors());
        lines.clear();
        for (std::string line; std::getline(log, line);)
            if (line.rfind(name, 0) == 0) lines.push_back(line + "\n");
    }
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
    ASSERT_GE(lines.size(), 5u) << serve.errors();
    for (size_t n = 0; n < 5; ++n) EXPECT_EQ(lines[n], n % 2 == 0 ? connected : lost) << serve.errors();
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

TEST_F(ToolServe, ChromiumShowsThePicture) {
    // Four flat quadrants, so that any JPEG decoder gives nearly the same colours.
    vorctest::RgbPicture picture{160, 96, std::vector<uint8_t>(160 * 96 * 3)};
    const uint8_t colours[4][3] = {{200, 40, 40}, {40, 180, 60}, {40, 60, 200}, {220, 200, 50}};
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const uint8_t* colour = colours[(y >= 48) * 2 + (x >= 80)];
            std::copy(colour, colour + 3, &picture.pixels[(size_t(y) * 160 + x) * 3]);
        }
    }
    vorctest::StreamBuilder builder;
    builder.raw(vorctest::jpegToTesraFrame(vorctest::compressJpeg(picture, 90)));
    ASSERT_TRUE(builder.writeFile(stream = dir + "quadrants.tesra"));
    Vorc serve(dir + "serve.err",
               {"serve", "--listen", "127.0.0.1:0", "--fps", "10", "--exit-after", "120", "--quiet", stream});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10));
    const vorctest::RgbPicture served = vorctest::decompressJpeg(vorctest::Bytes(
        [&] { const std::string s = get(port, "/snapshot.jpg").body; return std::vector<uint8_t>(s.begin(), s.end()); }()));
    ASSERT_EQ(served.width, 160);

    const std::string png = dir + "page.png";
    if (!vorctest::screenshot("http://127.0.0.1:" + std::to_string(port) + "/", png, dir)) {
        std::string log;
        if (!vorctest::chromiumStarts(dir, &log)) GTEST_SKIP() << "chromium cannot start: " << log;
        FAIL() << "no screenshot of the page: " << readFile(dir + "chromium.log").substr(0, 2000);
    }
    const vorctest::RgbPicture shot = readPng(png);
    ASSERT_GE(shot.width, 200);
    ASSERT_GE(shot.height, 120);
    // The picture sits at the top left, the page's dark background beside it.
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{20, 20}, {60, 30}, {120, 20}, {140, 40}, {20, 70},
                                                              {70, 90}, {100, 60}, {150, 80}}) {
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(shot.at(x, y)[c], served.at(x, y)[c], 12) << "at " << x << "," << y << " channel " << c;
    }
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(shot.at(190, 20)[c], 0x20, 4);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

}  // namespace
