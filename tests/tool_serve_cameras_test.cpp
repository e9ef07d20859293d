// `vorc serve` with several cameras and with motion. The configuration file
// is read key by key and every mistake names its line, in the reader and
// through the tool. Two cameras from `vorc camera`, one stopped mid-run: the
// other's clients go on getting every image it delivers (byte-identical to
// the transcoder's), and health, grid, metrics labels and log say which is
// down; the addresses under /cam/NAME/, each behind the file's login with
// HEAD and CORS; cameras that ask for a login get the file's, and a refused
// one says so. Motion events over Server-Sent
// Events equal `vorc motion --json` on the same stream, with the camera's
// zones and without, and are sent again from where a returning client left;
// /motion.json's tiles are the Reader's bitmap of that frame. Headless
// Chromium renders the grid, and outlines the changed tiles on the page.
// An image the hub took over goes out whole however the socket cuts it.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "support/browser.h"
#include "support/motion_scene.h"
#include "support/serve_client.h"
#include "support/tool_process.h"
#include "tools/motion/zone_options.h"
#include "tools/net/http_login.h"
#include "tools/serve/image_hub.h"
#include "tools/serve/serve_config.h"
#include "vorc/reader.h"

using vorctest::get;
using vorctest::metrics;
using vorctest::pumpUntil;
using vorctest::Readers;
using vorctest::readFile;
using vorctest::StreamReader;
using vorctest::Vorc;
using vorctest::waitForHealth;
using Clock = std::chrono::steady_clock;

namespace {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string series(const std::string& name, const std::string& camera) {
    return name + "{camera=\"" + camera + "\"}";
}

class ServeConfigFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vorctest::writeLiveTestStream(dir + "live.tesra")); }

    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
    const std::string path = dir + "serve.toml";
};

TEST_F(ServeConfigFile, EveryMistakeNamesItsLine) {
    writeText(dir + "empty.tesra", "");
    writeText(dir + "bad-logins", "# a plain password is no hash\nalice:secret\n");
    struct Case {
        std::string text;
        int line;  // 0: the mistake has none
        std::string says;
    };
    const std::string camera = "[cameras.a]\nsource = \"live.tesra\"\n";
    for (const Case& c : std::vector<Case>{
             {"listen = \"127.0.0.1:0\"\nlisen = 1\n", 2, "unknown key 'lisen'"},
             {camera + "fsp = 10\n", 3, "unknown key 'fsp' in [cameras.a]"},
             {camera + "fps = \"ten\"\n", 3, "fps must be a number from 0"},
             {camera + "fps = -1\n", 3, "fps must be a number from 0"},
             {camera + "timeout = true\n", 3, "timeout must be a number"},
             {camera + "title = 5\n", 3, "title must be a string"},
             {"max_clients = 0\n" + camera, 1, "max_clients must be a whole number from 1"},
             {"client_timeout = \"10\"\n" + camera, 1, "client_timeout must be a number"},
             {"[cameras.a]\nsource = \"live.tesra\n", 2, ""},
             {camera + "[cameras.a]\n", 3, ""},
             {"[cameras.\"a b\"]\nsource = \"live.tesra\"\n", 1, "'a b' may hold only letters, digits, '-' and '_'"},
             {"\n[cameras.a]\nfps = 5\n", 2, "[cameras.a] has no source"},
             {"[cameras.a]\n\nsource = \"no-such-file\"\n", 3, "no-such-file"},
             {"[cameras.a]\nsource = \"empty.tesra\"\n", 2, "empty.tesra"},
             {"listen = \":0\"\n", 0, "no camera"},
             {"cameras.a = 3\n", 1, "cameras.a must be a table"},
             {camera + "[cameras.a.motion]\nzones = [\n  \"door=0,0,32x32\",\n  \"door=0,0\",\n]\n", 6,
              "a zone must be \"[NAME=][-]X,Y,WxH\""},
             {camera + "[cameras.a.motion]\nzones = \"door=0,0,32x32\"\n", 4, "zones must be an array"},
             {camera + "[cameras.a.motion]\nmin_share = 2\n", 4, "min_share must be a number from 0 to 1"},
             {camera + "[cameras.a.motion]\nmin_tiles = 0\n", 4, "min_tiles must be a whole number from 1"},
             {camera + "[cameras.a.motion]\nstart_frames = 1.5\n", 4, "start_frames must be a whole number"},
             {camera + "[cameras.a.motion]\nend_frames = 0\n", 4, "end_frames must be a whole number from 1"},
             {camera + "[cameras.a.motion]\nconnectivity = 6\n", 4, "connectivity must be 4 or 8"},
             {camera + "[cameras.a.motion]\nmin_shar = 0.5\n", 4, "unknown key 'min_shar' in [cameras.a.motion]"},
             {"\nauth_file = \"no-such-logins\"\n" + camera, 2, "no-such-logins"},
             {"auth_file = \"bad-logins\"\n" + camera, 1, "bad-logins: line 2"},
             {"open = [\"health\",\n  \"metric\"]\n" + camera, 2, "open may name \"health\" and \"metrics\""},
             {"open = 5\n" + camera, 1, "open must be a string or an array of strings"},
             {"allow_origin = [\"https://a.example\", \"\"]\n" + camera, 1, "allow_origin needs"},
             {"[cameras.a]\nsource = \"192.0.2.1:80\"\nuser = \"al:ice\"\n", 3, "user must be a name without ':'"},
             {camera + "user = \"alice\"\n", 3, "user and password are for a camera, not a stream file"},
             {"[cameras.a]\nsource = \"bob:x@192.0.2.1:80\"\nuser = \"alice\"\n", 3, "the login is in source already"},
             {"[cameras.a]\nsource = \"192.0.2.1:80\"\npassword = \"x\"\n", 1, "[cameras.a] has a password but no user"},
             {"[cameras.a]\nsource = \"192.0.2.1:80\"\nuser = \"alice\"\npassword = 5\n", 4,
              "password must be a string"},
             // A source that is no address shows its login without the password.
             {"[cameras.a]\nsource = \"alice:hunter2@192.0.2.1\"\n", 2, "'alice:***@192.0.2.1'"}}) {
        writeText(path, c.text);
        ServeConfig config;
        std::string error;
        EXPECT_FALSE(readServeConfig(path, ServeSource(), &config, &error)) << c.text;
        EXPECT_EQ(error.rfind(path + (c.line > 0 ? ":" + std::to_string(c.line) : "") + ": ", 0), 0u)
            << c.text << "\n" << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << "\n" << error;
    }
}

TEST_F(ServeConfigFile, TakesEverySettingAndFindsFilesBesideIt) {
    writeText(path,
              "listen = \"[::1]:0\"\n"
              "client_timeout = 3.5\n"
              "max_clients = 50\n"
              "auth_file = \"logins\"  # beside this file too\n"
              "open = [\"health\", \"metrics\"]\n"
              "allow_origin = \"https://a.example\"\n"
              "[cameras.front]\n"
              "source = \"192.0.2.10:8080\"\n"
              "fps = 10\n"
              "timeout = 4\n"
              "title = \"Front door\"\n"
              "user = \"alice\"\n"
              "password = \"p@ss:word\"\n"
              "[cameras.gate]\n"
              "source = \"bob:b0b pass!@[2001:db8::1]:80\"\n"
              "[cameras.yard]\n"
              "source = \"live.tesra\"  # beside this file\n"
              "[cameras.yard.motion]\n"
              "zones = [\"door=0,0,64x32\", \"-0,0,16x16\"]\n"
              "min_share = 0.25\n"
              "min_tiles = 2\n"
              "connectivity = 4\n"
              "start_frames = 2\n"
              "end_frames = 5\n");
    std::string problem;
    writeText(dir + "logins", "alice:" + hashPassword("secret", &problem) + "\n");
    ServeSource defaults;
    defaults.fps = 7;
    defaults.timeoutSeconds = 9;
    defaults.verbosity = Verbosity::Quiet;
    ServeConfig config;
    std::string error;
    ASSERT_TRUE(readServeConfig(path, defaults, &config, &error)) << error;
    EXPECT_EQ(config.listen, "[::1]:0");
    EXPECT_EQ(config.clientTimeout, 3.5);
    EXPECT_EQ(config.maxClients, 50);
    ASSERT_TRUE(config.logins.has_value());
    EXPECT_TRUE(config.logins->accepts("Basic YWxpY2U6c2VjcmV0"));  // alice:secret
    EXPECT_FALSE(config.logins->accepts("Basic YWxpY2U6c2VjcmV1"));
    EXPECT_EQ(config.openAddresses, (std::vector<std::string>{"health", "metrics"}));
    EXPECT_EQ(config.allowedOrigins, std::vector<std::string>{"https://a.example"});
    ASSERT_EQ(config.cameras.size(), 3u);

    const ServedCameraConfig& front = config.cameras[0];
    EXPECT_EQ(front.name, "front");
    EXPECT_EQ(front.title, "Front door");
    EXPECT_EQ(front.source.cameraHost, "192.0.2.10");
    EXPECT_EQ(front.source.cameraPort, 8080);
    EXPECT_TRUE(front.source.file.empty());
    EXPECT_EQ(front.source.fps, 10);
    EXPECT_EQ(front.source.timeoutSeconds, 4);
    EXPECT_EQ(front.source.logName, "front");
    EXPECT_EQ(front.source.verbosity, Verbosity::Quiet);
    EXPECT_TRUE(front.source.motion.zones.empty());
    EXPECT_EQ(front.source.motion.minTiles, vorc::MotionSettings().minTiles);
    ASSERT_TRUE(front.source.cameraLogin.has_value());
    EXPECT_EQ(front.source.cameraLogin->user, "alice");
    EXPECT_EQ(front.source.cameraLogin->password, "p@ss:word");

    // The login in the source; the page shows the name, never the source.
    const ServedCameraConfig& gate = config.cameras[1];
    EXPECT_EQ(gate.title, "gate");
    EXPECT_EQ(gate.source.cameraHost, "2001:db8::1");
    EXPECT_EQ(gate.source.cameraPort, 80);
    ASSERT_TRUE(gate.source.cameraLogin.has_value());
    EXPECT_EQ(gate.source.cameraLogin->user, "bob");
    EXPECT_EQ(gate.source.cameraLogin->password, "b0b pass!");

    const ServedCameraConfig& yard = config.cameras[2];
    EXPECT_EQ(yard.name, "yard");
    EXPECT_EQ(yard.title, "yard");
    EXPECT_EQ(yard.source.file, dir + "live.tesra");
    EXPECT_EQ(std::string(yard.stream.begin(), yard.stream.end()), readFile(dir + "live.tesra"));
    EXPECT_EQ(yard.source.fps, 7);
    EXPECT_EQ(yard.source.timeoutSeconds, 9);
    EXPECT_FALSE(yard.source.cameraLogin.has_value());
    const vorc::MotionSettings& motion = yard.source.motion;
    ZoneOption door, corner;
    ASSERT_TRUE(parseZone("door=0,0,64x32", &door) && parseZone("-0,0,16x16", &corner));
    const std::vector<vorc::Zone> zones = zonesOf({door, corner});
    ASSERT_EQ(motion.zones.size(), 1u);
    EXPECT_EQ(motion.zones[0].name, "door");
    EXPECT_EQ(motion.zones[0].areas.size(), zones[0].areas.size());
    EXPECT_TRUE(motion.zones[0].areas[1].exclude);
    EXPECT_EQ(motion.minShare, 0.25);
    EXPECT_EQ(motion.minTiles, 2);
    EXPECT_EQ(motion.connectivity, vorc::Connectivity::Four);
    EXPECT_EQ(motion.startFrames, 2);
    EXPECT_EQ(motion.endFrames, 5);
}

// A hash takes tens of milliseconds by design: logins not yet accepted get a
// few hashes a second over all clients and are refused unchecked beyond
// them, while a login once accepted is never held up.
TEST(LoginTable, WrongLoginsGetOnlyAFewHashesASecond) {
    std::string problem;
    std::optional<LoginTable> table = LoginTable::parse("alice:" + hashPassword("secret", &problem) + "\n", &problem);
    ASSERT_TRUE(table.has_value()) << problem;
    const std::string right = "Basic YWxpY2U6c2VjcmV0";  // alice:secret
    const std::string wrong = "Basic YWxpY2U6c2VjcmV1";  // alice:secreu
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < LoginTable::HashesPerSecond; ++i) EXPECT_FALSE(table->accepts(wrong));
    const bool refused = !table->accepts(right);
    // Unless the hashes were so slow that the second was over.
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(900)) {
        EXPECT_TRUE(refused) << "hashed beyond the second's share";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(table->accepts(right));
    for (int i = 0; i < 2 * LoginTable::HashesPerSecond; ++i) EXPECT_FALSE(table->accepts(wrong));
    EXPECT_TRUE(table->accepts(right));
}

// The server sends a part from wherever the last send stopped: from every
// place in and around the head and the closing CR LF, and through a socket
// that takes a few kilobytes at a time, so that the cuts fall all over the
// JPEG, the rest of the part goes out whole.
TEST(ImageHub, AnImageGoesOutWholeHoweverTheSocketCutsIt) {
    std::string jpeg(300000, '\0');
    for (size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<char>(i * 7 + i / 251);
    const std::string head = "--vorcframe\r\nContent-Type: image/jpeg\r\nContent-Length: 300000\r\n\r\n";
    const std::string expected = head + jpeg + "\r\n";
    ImageHub hub;
    hub.publish(std::string(jpeg), 640, 480);
    const std::shared_ptr<const ServedImage> image = hub.latest();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->jpeg, jpeg);
    ASSERT_EQ(image->partSize(), expected.size());

    int sends = 0;
    const auto sendFrom = [&](size_t sent) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        const int small = 4096;
        ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string received;
        char chunk[1500];
        while (sent < image->partSize()) {
            const ssize_t count = image->sendPart(ends[0], sent);
            if (count <= 0 && errno != EAGAIN) break;
            if (count > 0) sent += static_cast<size_t>(count), ++sends;
            const ssize_t got = ::recv(ends[1], chunk, sizeof chunk - static_cast<size_t>(sends % 700), MSG_DONTWAIT);
            if (got > 0) received.append(chunk, static_cast<size_t>(got));
        }
        for (ssize_t got; (got = ::recv(ends[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
            received.append(chunk, static_cast<size_t>(got));
        ::close(ends[0]);
        ::close(ends[1]);
        return received;
    };
    for (const size_t start : {size_t{0}, size_t{1}, size_t{30}, head.size() - 1, head.size(), head.size() + 1,
                               expected.size() - 3, expected.size() - 2, expected.size() - 1}) {
        EXPECT_TRUE(sendFrom(start) == expected.substr(start)) << "from byte " << start;
    }
    EXPECT_GT(sends, 50);
}

TEST_F(ServeConfigFile, TheToolSaysTheLineAndStops) {
    writeText(path, "[cameras.a]\nsource = \"live.tesra\"\nfsp = 10\n");
    Vorc serve(dir + "serve.err", {"serve", "--config", path, "--listen", "127.0.0.1:0"});
    EXPECT_EQ(serve.wait(), 2);
    EXPECT_EQ(serve.errors().rfind("vorc serve: " + path + ":3: unknown key 'fsp' in [cameras.a]\n", 0), 0u)
        << serve.errors();
    Vorc both(dir + "both.err", {"serve", "--config", path, "--listen", "127.0.0.1:0", dir + "live.tesra"});
    EXPECT_EQ(both.wait(), 2);
    EXPECT_NE(both.errors().find("or --config, not both"), std::string::npos) << both.errors();
    Vorc named(dir + "named.err", {"serve", "--config", path, "--listen", "127.0.0.1:0", "--name", "x"});
    EXPECT_EQ(named.wait(), 2);
    EXPECT_NE(named.errors().find("with --config, give a camera a title"), std::string::npos) << named.errors();
    Vorc missing(dir + "missing.err", {"serve", "--config", dir + "nothing.toml", "--listen", "127.0.0.1:0"});
    EXPECT_EQ(missing.wait(), 2);
    EXPECT_NE(missing.errors().find("cannot open '" + dir + "nothing.toml': No such file"), std::string::npos)
        << missing.errors();
}

class ServeCameras : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vorctest::writeLiveTestStream(stream = dir + "live.tesra")); }

    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
    std::string stream;
};

// The text of the grid page's entry of a camera.
std::string gridEntry(const std::string& page, const std::string& name) {
    const size_t named = page.find("data-name=\"" + name + "\"");
    if (named == std::string::npos) return "";
    const size_t at = page.rfind("<a ", named);
    return page.substr(at, page.find("</a>", at) - at);
}

TEST_F(ServeCameras, OneStoppedTheOthersClientsGetEveryImage) {
    const std::set<std::string> expected = vorctest::transcodedImages(dir, stream, 9);
    auto cameraA = std::make_unique<Vorc>(dir + "a.err", std::vector<std::string>{"camera", "--listen", "127.0.0.1:0",
                                                                                 "--exit-after", "120", stream});
    auto cameraB = std::make_unique<Vorc>(dir + "b.err", std::vector<std::string>{"camera", "--listen", "127.0.0.1:0",
                                                                                 "--exit-after", "120", stream});
    ASSERT_GT(cameraA->port(), 0) << cameraA->errors();
    ASSERT_GT(cameraB->port(), 0) << cameraB->errors();
    writeText(dir + "serve.toml", "listen = \"127.0.0.1:0\"\n"
                                  "[cameras.a]\n"
                                  "source = \"127.0.0.1:" + std::to_string(cameraA->port()) + "\"\n"
                                  "fps = 25\n"
                                  "title = \"Camera <A>\"\n"
                                  "[cameras.b]\n"
                                  "source = \"127.0.0.1:" + std::to_string(cameraB->port()) + "\"\n"
                                  "fps = 25\n"
                                  "timeout = 3\n");
    Vorc serve(dir + "serve.err", {"serve", "--config", dir + "serve.toml", "--exit-after", "120"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10)) << serve.errors();

    Readers readers;
    for (const char* name : {"a", "a", "b"})
        readers.push_back(std::make_unique<StreamReader>(port, true, 0, std::string("/cam/") + name + "/stream.mjpg"));
    ASSERT_TRUE(pumpUntil(readers, 30, [&] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& r) { return r->images() >= 3; });
    }));
    // Every series is the camera's own, and only its clients count for it.
    std::map<std::string, double> values = metrics(port);
    for (const auto& [name, value] : values) EXPECT_NE(name.find("{camera=\""), std::string::npos) << name;
    EXPECT_EQ(values[series("vorc_serve_clients", "a")], 2);
    EXPECT_EQ(values[series("vorc_serve_clients", "b")], 1);
    EXPECT_EQ(values[series("vorc_serve_source_up", "b")], 1);
    EXPECT_EQ(values[series("vorc_serve_picture_width", "a")], 128);
    std::set<std::string> metricNames;
    for (const auto& [name, value] : values) {
        if (name.find("{camera=\"a\"}") != std::string::npos) metricNames.insert(name.substr(0, name.find('{')));
    }
    for (const std::string& name : metricNames) EXPECT_EQ(values.count(series(name, "b")), 1u) << name;
    std::map<std::string, double> onlyA = metrics(port, "/cam/a/metrics");
    EXPECT_EQ(onlyA.size(), metricNames.size());
    for (const auto& [name, value] : onlyA) EXPECT_NE(name.find("{camera=\"a\"}"), std::string::npos) << name;

    cameraB->signal(SIGTERM);
    EXPECT_EQ(cameraB->wait(), 0) << cameraB->errors();
    ASSERT_TRUE(waitForHealth(port, "503", 10, "/cam/b/health")) << serve.errors();
    EXPECT_EQ(get(port, "/cam/a/health").body, "source up\n");
    const vorctest::Answer health = get(port, "/health");
    EXPECT_EQ(health.head.rfind("HTTP/1.1 503", 0), 0u);
    EXPECT_EQ(health.body, "a up\nb down\n");

    // While b is down, a's clients keep up with a (and b's has taken what
    // was on its way). A camera's frames may come in bursts, of which a
    // client gets the latest image: half of them, at the least.
    pumpUntil(readers, 0.5);
    std::vector<size_t> counts;
    for (const auto& reader : readers) counts.push_back(reader->images());
    const double framesBefore = metrics(port)[series("vorc_serve_frames_in_total", "a")];
    double frames = 0;
    auto nextLook = Clock::now();
    EXPECT_TRUE(pumpUntil(readers, 30, [&] {
        if (Clock::now() < nextLook) return false;
        nextLook = Clock::now() + std::chrono::milliseconds(250);
        frames = metrics(port)[series("vorc_serve_frames_in_total", "a")] - framesBefore;
        return frames >= 50;
    }));
    for (size_t i = 0; i < 2; ++i) EXPECT_GE(static_cast<double>(readers[i]->images() - counts[i]), 0.5 * frames - 3);
    EXPECT_EQ(readers[2]->images(), counts[2]);
    EXPECT_TRUE(readers[2]->pump()) << "b's client was dropped";
    for (const auto& reader : readers) {
        for (const std::string& image : reader->kept()) EXPECT_EQ(expected.count(image), 1u);
    }
    values = metrics(port);
    EXPECT_EQ(values[series("vorc_serve_source_up", "a")], 1);
    EXPECT_EQ(values[series("vorc_serve_source_up", "b")], 0);

    const std::string grid = get(port, "/").body;
    EXPECT_NE(gridEntry(grid, "a").find("href=\"cam/a/\""), std::string::npos) << grid;
    EXPECT_NE(gridEntry(grid, "a").find("Camera &lt;A&gt;: <span class=\"state\">up</span>"), std::string::npos) << grid;
    EXPECT_NE(gridEntry(grid, "b").find("src=\"cam/b/snapshot.jpg\""), std::string::npos) << grid;
    EXPECT_NE(gridEntry(grid, "b").find("b: <span class=\"state down\">down</span>"), std::string::npos) << grid;
    const std::string page = get(port, "/cam/a/").body;
    EXPECT_NE(page.find("<title>vorc serve: Camera &lt;A&gt;</title>"), std::string::npos);
    EXPECT_NE(page.find("src=\"stream.mjpg\""), std::string::npos);
    EXPECT_EQ(std::regex_search(page, std::regex("(src|href)=\"/|fetch\\('/")), false) << "an absolute address";
    EXPECT_EQ(expected.count(get(port, "/cam/a/snapshot.jpg").body), 1u);
    const vorctest::Answer redirect = get(port, "/cam/a");
    EXPECT_EQ(redirect.head.rfind("HTTP/1.1 301", 0), 0u) << redirect.head;
    EXPECT_NE(redirect.head.find("\r\nLocation: a/\r\n"), std::string::npos) << redirect.head;
    for (const char* missing : {"/cam/c/", "/cam/a/stream.mjpeg", "/stream.mjpg", "/cam/", "/cam//health"})
        EXPECT_EQ(get(port, missing).head.rfind("HTTP/1.1 404", 0), 0u) << missing;

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
    const std::string log = serve.errors();
    for (const char* line : {"serve: camera a: connected\n", "serve: camera b: connected\n",
                             "serve: camera b: the camera closed the connection, retrying\n",
                             "serve: camera a: 2 stream clients, 0 event clients\n",
                             "serve: camera b: 1 stream client, 0 event clients\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    EXPECT_EQ(log.find("serve: camera a: the camera"), std::string::npos) << log;
    cameraA->signal(SIGTERM);
    EXPECT_EQ(cameraA->wait(), 0) << cameraA->errors();
}

// The value of a header line of an answer's head ("" for none), by its name
// in lower case.
std::string headerOf(const std::string& head, const std::string& name) {
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        if (key == name) return line.substr(std::min(line.size(), colon + 2));
    }
    return "";
}

// The login, HEAD and CORS rules of the configuration file meet the grid and
// every address of every camera, as they meet the one source's.
TEST_F(ServeCameras, EveryAddressOfEveryCameraMeetsTheAccessRules) {
    writeText(dir + "password", "secret\n");
    ASSERT_EQ(vorctest::runVorc("passwd alice < '" + dir + "password' > '" + dir + "logins'"), 0);
    writeText(dir + "serve.toml", "auth_file = \"logins\"\n"
                                  "open = \"health\"\n"
                                  "allow_origin = [\"https://a.example\"]\n"
                                  "[cameras.a]\nsource = \"live.tesra\"\nfps = 10\n"
                                  "[cameras.b]\nsource = \"live.tesra\"\nfps = 10\n");
    Vorc serve(dir + "serve.err",
               {"serve", "--config", dir + "serve.toml", "--listen", "127.0.0.1:0", "--exit-after", "120", "--quiet"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10)) << serve.errors();
    EXPECT_EQ(get(port, "/cam/b/health").body, "source up\n");
    const std::string login = "Authorization: Basic YWxpY2U6c2VjcmV0\r\n";  // alice:secret
    const std::string origin = "Origin: https://a.example\r\n";
    const auto ask = [&](const std::string& method, const std::string& path, const std::string& headers) {
        return vorctest::exchange(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    };
    for (const std::string path : {"/", "/metrics", "/cam/a/", "/cam/a/snapshot.jpg", "/cam/b/metrics", "/cam/b/motion.json",
                                   "/cam/a/stream.mjpg", "/cam/b/events", "/cam/a", "/cam/c/"}) {
        // A wrong password costs a hash each time: once is enough.
        const std::string wrong = path == "/cam/a/stream.mjpg" ? "Authorization: Basic YWxpY2U6c2VjcmV1\r\n" : "";
        const std::string answer = ask("GET", path, wrong);
        EXPECT_EQ(answer.rfind("HTTP/1.1 401 ", 0), 0u) << path << "\n" << answer;
        EXPECT_EQ(headerOf(answer, "www-authenticate").rfind("Basic realm=", 0), 0u) << path << "\n" << answer;
        // HEAD: GET's head without the body; both dated, for the origin allowed.
        vorctest::EventReader reader(port, path, login + origin);
        reader.waitFor(1, path.find("events") != std::string::npos ? 0.5 : 2);
        const std::string getHead = reader.head();
        if (path == "/cam/a/stream.mjpg") {
            EXPECT_EQ(getHead.rfind("HTTP/1.1 200 ", 0), 0u) << getHead;
        }
        const std::string head = ask("HEAD", path, login + origin);
        EXPECT_EQ(head.substr(0, head.find("\r\n")), getHead.substr(0, getHead.find("\r\n"))) << path;
        EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "") << path;
        for (const std::string& answer : {getHead, head}) {
            EXPECT_NE(answer.rfind("HTTP/1.1 401 ", 0), 0u) << path;
            EXPECT_EQ(headerOf(answer, "access-control-allow-origin"), "https://a.example") << path << "\n" << answer;
            EXPECT_EQ(headerOf(answer, "access-control-allow-credentials"), "true") << path;
            EXPECT_NE(headerOf(answer, "date"), "") << path;
            EXPECT_EQ(headerOf(answer, "content-type"), headerOf(getHead, "content-type")) << path;
            EXPECT_EQ(headerOf(answer, "content-length").empty(), headerOf(getHead, "content-length").empty()) << path;
        }
    }
    EXPECT_EQ(ask("HEAD", "/cam/a", login).rfind("HTTP/1.1 301 ", 0), 0u);
    EXPECT_EQ(ask("HEAD", "/cam/c/", login).rfind("HTTP/1.1 404 ", 0), 0u);
    const std::string check = ask("OPTIONS", "/cam/a/stream.mjpg", origin + "Access-Control-Request-Method: GET\r\n");
    EXPECT_EQ(check.rfind("HTTP/1.1 204 ", 0), 0u) << check;
    EXPECT_EQ(headerOf(check, "access-control-allow-origin"), "https://a.example") << check;
    EXPECT_EQ(ask("POST", "/cam/a/", login).rfind("HTTP/1.1 405 ", 0), 0u);
    // The command line before the file: metrics open too, health no longer.
    Vorc opened(dir + "opened.err", {"serve", "--config", dir + "serve.toml", "--listen", "127.0.0.1:0", "--open",
                                     "metrics", "--exit-after", "120", "--quiet"});
    const int openedPort = opened.port();
    ASSERT_GT(openedPort, 0) << opened.errors();
    EXPECT_EQ(get(openedPort, "/cam/a/metrics").head.rfind("HTTP/1.1 200 ", 0), 0u);
    EXPECT_EQ(get(openedPort, "/cam/a/health").head.rfind("HTTP/1.1 401 ", 0), 0u);
    for (Vorc* server : {&serve, &opened}) {
        server->signal(SIGTERM);
        EXPECT_EQ(server->wait(), 0) << server->errors();
    }
}

// Cameras that ask for a login, played by `vorc camera --auth-file`: the
// login of the configuration file, in source or as user and password,
// reaches them; a refused one leaves its camera down and says so; no
// password shows in the log or the pages.
TEST_F(ServeCameras, CameraLoginsFromTheConfigurationFile) {
    writeText(dir + "password", "b0b pass!\n");
    ASSERT_EQ(vorctest::runVorc("passwd bob < '" + dir + "password' > '" + dir + "logins'"), 0);
    Vorc camera(dir + "camera.err", {"camera", "--listen", "127.0.0.1:0", "--auth-file", dir + "logins", "--exit-after",
                                     "120", stream});
    ASSERT_GT(camera.port(), 0) << camera.errors();
    const std::string address = "127.0.0.1:" + std::to_string(camera.port());
    writeText(dir + "serve.toml", "[cameras.keys]\nsource = \"" + address + "\"\nuser = \"bob\"\npassword = \"b0b pass!\"\n"
                                  "[cameras.inline]\nsource = \"bob:b0b pass!@" + address + "\"\n"
                                  "[cameras.wrong]\nsource = \"" + address + "\"\nuser = \"bob\"\npassword = \"n0pe\"\n"
                                  "[cameras.none]\nsource = \"" + address + "\"\n");
    Vorc serve(dir + "serve.err", {"serve", "--config", dir + "serve.toml", "--listen", "127.0.0.1:0", "--exit-after", "120"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10, "/cam/keys/health")) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10, "/cam/inline/health")) << serve.errors();
    const std::string refused = "the camera answered 'HTTP/1.0 401 Unauthorized' (";
    EXPECT_TRUE(pumpUntil({}, 10, [&] {
        return serve.errors().find("serve: camera wrong: " + refused + "the login was refused), retrying\n") !=
                   std::string::npos &&
               serve.errors().find("serve: camera none: " + refused + "a login is needed or was refused), retrying\n") !=
                   std::string::npos;
    })) << serve.errors();
    EXPECT_EQ(get(port, "/health").body, "keys up\ninline up\nwrong down\nnone down\n");
    const std::set<std::string> expected = vorctest::transcodedImages(dir, stream, 9);
    EXPECT_EQ(expected.count(get(port, "/cam/inline/snapshot.jpg").body), 1u);
    std::string shown = get(port, "/").body + get(port, "/cam/inline/").body + get(port, "/cam/keys/").body;
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
    shown += serve.errors();
    for (const char* secret : {"b0b", "n0pe"}) EXPECT_EQ(shown.find(secret), std::string::npos) << secret << "\n" << shown;
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << camera.errors();
}

// The number after "key": in a JSON line.
long long jsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    return std::regex_search(json, match, std::regex("\"" + key + "\":(-?[0-9]+)")) ? std::stoll(match[1]) : -1;
}

class ServeMotion : public ServeCameras {
protected:
    void SetUp() override {
        const std::vector<uint8_t> scene = vorctest::encodeMotionScene(vorctest::testScene("objects"));
        std::ofstream(scene_ = dir + "objects.tesra", std::ios::binary)
            .write(reinterpret_cast<const char*>(scene.data()), static_cast<std::streamsize>(scene.size()));
    }

    // `vorc motion --json`'s event lines, without the summary.
    std::vector<std::string> motionEvents(const std::string& options) {
        EXPECT_EQ(vorctest::runVorc("motion --json --quiet --fps 100 " + options + " '" + scene_ + "' > '" + dir +
                                    "motion.jsonl'"),
                  0);
        std::istringstream lines(readFile(dir + "motion.jsonl"));
        std::vector<std::string> events;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"type\":\"summary\"") == std::string::npos) events.push_back(line);
        }
        return events;
    }

    std::string scene_;
    static constexpr int SceneFrames = 90;
};

TEST_F(ServeMotion, EventsAreThoseOfVorcMotionAndResumeWhereAClientLeft) {
    const std::vector<std::string> everywhere = motionEvents("");
    // Only the object on the left, found a frame sooner.
    const std::vector<std::string> left = motionEvents("--zone left=0,0,160x240 --start-frames 2");
    ASSERT_EQ(everywhere.size(), 4u);
    ASSERT_EQ(left.size(), 2u);
    writeText(dir + "serve.toml", "listen = \"127.0.0.1:0\"\n"
                                  "[cameras.all]\n"
                                  "source = \"objects.tesra\"\n"
                                  "fps = 100\n"
                                  "[cameras.left]\n"
                                  "source = \"objects.tesra\"\n"
                                  "fps = 100\n"
                                  "[cameras.left.motion]\n"
                                  "zones = [\"left=0,0,160x240\"]\n"
                                  "start_frames = 2\n");
    Vorc serve(dir + "serve.err", {"serve", "--config", dir + "serve.toml", "--exit-after", "120", "--quiet"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();

    // From the first event on, two passes through the file.
    for (const auto& [name, expected] : {std::pair{"all", everywhere}, std::pair{"left", left}}) {
        vorctest::EventReader reader(port, std::string("/cam/") + name + "/events", "Last-Event-ID: 0\r\n");
        const std::vector<vorctest::EventReader::Event>& events = reader.waitFor(2 * expected.size(), 60);
        EXPECT_EQ(reader.head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reader.head();
        EXPECT_NE(reader.head().find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << reader.head();
        ASSERT_EQ(events.size(), 2 * expected.size()) << name;
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].id, std::to_string(i + 1)) << name;
            if (i < expected.size()) {
                EXPECT_EQ(events[i].data, expected[i]) << name << " event " << i;
                continue;
            }
            // The second pass numbers its frames on.
            const std::string& first = expected[i - expected.size()];
            for (const char* key : {"frame", "start_frame", "end_frame"}) {
                if (jsonNumber(first, key) >= 0) {
                    EXPECT_EQ(jsonNumber(events[i].data, key), jsonNumber(first, key) + SceneFrames) << events[i].data;
                }
            }
        }
    }
    // A client that saw two events hears of the third one on.
    vorctest::EventReader back(port, "/cam/all/events", "Last-Event-ID: 2\r\n");
    const std::vector<vorctest::EventReader::Event>& events = back.waitFor(1, 30);
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0].id, "3");
    EXPECT_EQ(events[0].data, everywhere[2]);
    // One that saw events of a server before this one hears of the next.
    vorctest::EventReader earlier(port, "/cam/all/events", "Last-Event-ID: 1000000\r\n");
    ASSERT_GE(earlier.waitFor(1, 30).size(), 1u);
    EXPECT_GT(std::stoul(earlier.waitFor(1, 0)[0].id), 2 * everywhere.size());
    const std::map<std::string, double> values = metrics(port);
    EXPECT_GE(values.at(series("vorc_serve_motion_events_total", "all")), everywhere.size() / 2);
    EXPECT_EQ(values.at(series("vorc_serve_event_clients", "all")), 2);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// /motion.json against the Reader's bitmap of the same frame, and against
// the detector's share of it.
TEST_F(ServeMotion, MotionStateHasTheFramesTiles) {
    std::vector<std::string> bitmaps(SceneFrames + 1);
    vorc::Reader reader = vorc::Reader::openFile(scene_);
    while (const std::optional<vorc::JPEGFrame> frame = reader.nextJPEG()) {
        std::string hex;
        for (const uint8_t byte : frame->tileBitmap) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", byte);
            hex += digits;
        }
        bitmaps.at(frame->index) = hex;
    }
    const vorctest::DetectedMotion detected = vorctest::detectMotion(
        vorctest::encodeMotionScene(vorctest::testScene("objects")), vorc::MotionSettings(), 100.0);

    Vorc serve(dir + "serve.err", {"serve", "--listen", "127.0.0.1:0", "--fps", "25", "--exit-after", "120", "--quiet",
                                   scene_});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    int measured = 0;
    for (int attempt = 0; attempt < 400 && measured < 5; ++attempt) {
        const vorctest::Answer answer = get(port, "/motion.json");
        ASSERT_NE(answer.head.find("Content-Type: application/json"), std::string::npos) << answer.head;
        std::smatch match;
        if (!std::regex_search(answer.body, match, std::regex("\"changed_tiles\":\"([0-9a-f]+)\""))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const long long frame = jsonNumber(answer.body, "frame");
        const size_t inFile = static_cast<size_t>((frame - 1) % SceneFrames + 1);
        EXPECT_EQ(match[1].str(), bitmaps.at(inFile)) << answer.body;
        char share[32];
        std::snprintf(share, sizeof share, "\"share\":%.4f", detected.frames.at(inFile - 1).zones.at(0).share);
        EXPECT_NE(answer.body.find(std::string("{\"name\":\"all\",") + share), std::string::npos)
            << answer.body << " frame " << inFile;
        EXPECT_NE(answer.body.find("\"width\":320,\"height\":240,\"columns\":20,\"rows\":15"), std::string::npos);
        ++measured;
        std::this_thread::sleep_for(std::chrono::milliseconds(37));
    }
    EXPECT_EQ(measured, 5);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// A stream of one flat colour.
std::string writeFlatStream(const std::string& path, const uint8_t (&colour)[3]) {
    vorctest::RgbPicture picture{160, 96, std::vector<uint8_t>(160 * 96 * 3)};
    for (size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = colour[i % 3];
    vorctest::StreamBuilder builder;
    builder.raw(vorctest::jpegToTesraFrame(vorctest::compressJpeg(picture, 90)));
    EXPECT_TRUE(builder.writeFile(path));
    return path;
}

TEST_F(ServeCameras, ChromiumRendersTheGrid) {
    const uint8_t red[3] = {200, 40, 40}, blue[3] = {40, 60, 200};
    writeFlatStream(dir + "red.tesra", red);
    writeFlatStream(dir + "blue.tesra", blue);
    writeText(dir + "serve.toml", "[cameras.red]\nsource = \"red.tesra\"\nfps = 10\n"
                                  "[cameras.blue]\nsource = \"blue.tesra\"\nfps = 10\n");
    Vorc serve(dir + "serve.err",
               {"serve", "--config", dir + "serve.toml", "--listen", "127.0.0.1:0", "--exit-after", "120", "--quiet"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10));
    const std::string png = dir + "grid.png";
    if (!vorctest::screenshot("http://127.0.0.1:" + std::to_string(port) + "/", png, dir, 1280, 900)) {
        std::string log;
        if (!vorctest::chromiumStarts(dir, &log)) GTEST_SKIP() << "chromium cannot start: " << log;
        FAIL() << "no screenshot of the grid: " << readFile(dir + "chromium.log").substr(0, 2000);
    }
    const vorctest::RgbPicture shot = vorctest::readPng(png);
    // Each camera's picture, scaled to its cell: a third of the width, or more.
    const auto pixelsNear = [&](const uint8_t (&colour)[3]) {
        long count = 0;
        for (int y = 0; y < shot.height; ++y) {
            for (int x = 0; x < shot.width; ++x) {
                const uint8_t* pixel = shot.at(x, y);
                count += std::abs(pixel[0] - colour[0]) < 16 && std::abs(pixel[1] - colour[1]) < 16 &&
                         std::abs(pixel[2] - colour[2]) < 16;
            }
        }
        return count;
    };
    EXPECT_GE(pixelsNear(red), 380 * 220);
    EXPECT_GE(pixelsNear(blue), 380 * 220);
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

// With ?outline, the page outlines the tiles each frame changed over the
// live picture, scaled down with it to fit a window too low for it (so the
// picture's box is wider than the image in it), and nothing else; without,
// nothing.
TEST_F(ServeCameras, ChromiumOutlinesTheChangedTiles) {
    // A grey picture of 40x24 tiles whose frames change the same 4x4 tiles,
    // x 192..255 and y 96..159.
    vorctest::RgbPicture picture{640, 384, std::vector<uint8_t>(640 * 384 * 3, 100)};
    vorctest::StreamBuilder builder;
    builder.raw(vorctest::jpegToTesraFrame(vorctest::compressJpeg(picture, 90)));
    std::vector<int> tiles;
    for (int row = 6; row < 10; ++row) {
        for (int column = 12; column < 16; ++column) tiles.push_back(row * 40 + column);
    }
    for (int i = 0; i < 60; ++i) builder.partialFrame(vorctest::tileBitmap(40, 24, tiles), vorctest::zeroTilesScan(16));
    ASSERT_TRUE(builder.writeFile(dir + "tiles.tesra"));
    writeText(dir + "serve.toml", "[cameras.tiles]\nsource = \"tiles.tesra\"\nfps = 20\n");
    Vorc serve(dir + "serve.err",
               {"serve", "--config", dir + "serve.toml", "--listen", "127.0.0.1:0", "--exit-after", "120", "--quiet"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.errors();
    ASSERT_TRUE(waitForHealth(port, "200", 10));
    const std::string page = "http://127.0.0.1:" + std::to_string(port) + "/cam/tiles/";
    for (const bool outlined : {true, false}) {
        const std::string png = dir + (outlined ? "outlined.png" : "plain.png");
        if (!vorctest::screenshot(page + (outlined ? "?outline" : ""), png, dir, 400, 220, 2000)) {
            std::string log;
            if (!vorctest::chromiumStarts(dir, &log)) GTEST_SKIP() << "chromium cannot start: " << log;
            FAIL() << "no screenshot of the page: " << readFile(dir + "chromium.log").substr(0, 2000);
        }
        const vorctest::RgbPicture shot = vorctest::readPng(png);
        // The picture's scale: its grey reaches this far to the right.
        int shownWidth = 0;
        for (int x = 0; x < shot.width; ++x) {
            const uint8_t* pixel = shot.at(x, 4);
            if (std::abs(pixel[0] - 100) < 12 && std::abs(pixel[1] - 100) < 12 && std::abs(pixel[2] - 100) < 12)
                shownWidth = x + 1;
        }
        ASSERT_GT(shownWidth, 100) << png;
        ASSERT_LT(shownWidth, 640) << png;
        const double scale = shownWidth / 640.0;
        // The outline's red, inside the changed tiles only.
        long inside = 0, outside = 0;
        for (int y = 0; y < shot.height; ++y) {
            for (int x = 0; x < shot.width; ++x) {
                const uint8_t* pixel = shot.at(x, y);
                if (pixel[0] < 200 || pixel[1] > 90 || pixel[2] > 90) continue;
                const bool inTiles = x >= 192 * scale - 2 && x < 256 * scale + 2 && y >= 96 * scale - 2 && y < 160 * scale + 2;
                (inTiles ? inside : outside) += 1;
            }
        }
        EXPECT_EQ(outside, 0) << png;
        if (outlined) {
            EXPECT_GE(inside, 16 * 2 * 16 * scale) << png;
        } else {
            EXPECT_EQ(inside, 0) << png;
        }
    }
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.errors();
}

}  // namespace
