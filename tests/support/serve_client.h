// Test support: the clients of `vorc serve` that the serve tests use, as
// browsers and monitoring would be: a stream reader that checks the framing
// of every part, one-request answers, the metrics in the Prometheus text
// format, health polling, a reader of Server-Sent Events, and the images
// the server must send.
#ifndef VORC_TESTS_SUPPORT_SERVE_CLIENT_H
#define VORC_TESTS_SUPPORT_SERVE_CLIENT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/tool_process.h"

namespace vorctest {

// A client of a stream address that checks the framing of every part as
// it arrives and counts (or keeps) the JPEG images.
class StreamReader {
public:
    explicit StreamReader(int port, bool keep = false, int receiveBuffer = 0, const std::string& path = "/stream.mjpg")
        : fd_(connectToLoopback(port, receiveBuffer)), keep_(keep) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~StreamReader() { ::close(fd_); }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Takes what has arrived; false once the server has closed.
    bool pump() {
        char chunk[65536];
        ssize_t got;
        while ((got = ::recv(fd_, chunk, sizeof chunk, 0)) > 0) data_.append(chunk, static_cast<size_t>(got));
        if (got == 0) open_ = false;
        parse();
        return open_;
    }
    int fd() const { return fd_; }
    bool open() const { return open_; }
    size_t images() const { return images_; }
    const std::vector<std::string>& kept() const { return kept_; }

private:
    void parse() {
        if (!headerSeen_) {
            const size_t end = data_.find("\r\n\r\n");
            if (end == std::string::npos) return;
            const std::string header = data_.substr(0, end + 4);
            EXPECT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << header;
            EXPECT_NE(header.find("\r\nContent-Type: multipart/x-mixed-replace;boundary=vorcframe\r\n"),
                      std::string::npos)
                << header;
            data_.erase(0, end + 4);
            headerSeen_ = true;
        }
        static const std::string partHead = "--vorcframe\r\nContent-Type: image/jpeg\r\nContent-Length: ";
        while (!broken_ && data_.size() >= partHead.size()) {
            const size_t end = data_.find("\r\n\r\n");
            if (end == std::string::npos) return;
            const std::string length = data_.substr(partHead.size(), end - partHead.size());
            if (data_.compare(0, partHead.size(), partHead) != 0 || length.empty() || length.size() > 9 ||
                length.find_first_not_of("0123456789") != std::string::npos) {
                ADD_FAILURE() << "bad part head: " << data_.substr(0, std::min<size_t>(end, 200));
                broken_ = true;
                return;
            }
            const size_t jpegLength = std::stoul(length);
            const size_t total = end + 4 + jpegLength + 2;
            if (data_.size() < total) return;
            if (data_.compare(total - 2, 2, "\r\n") != 0) {
                ADD_FAILURE() << "part not ended by CR LF";
                broken_ = true;
                return;
            }
            if (keep_) kept_.push_back(data_.substr(end + 4, jpegLength));
            ++images_;
            data_.erase(0, total);
        }
    }

    const int fd_;
    const bool keep_;
    bool open_ = true;
    bool headerSeen_ = false;
    bool broken_ = false;
    std::string data_;
    size_t images_ = 0;
    std::vector<std::string> kept_;
};

using Readers = std::vector<std::unique_ptr<StreamReader>>;

// Pumps the readers for a while or until done() says so; false on time-out.
inline bool pumpUntil(const Readers& readers, double seconds, const std::function<bool()>& done = nullptr) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<pollfd> entries;
    for (const auto& reader : readers) entries.push_back(pollfd{reader->fd(), POLLIN, 0});
    while (Clock::now() < end) {
        if (done && done()) return true;
        ::poll(entries.data(), entries.size(), 20);
        for (size_t i = 0; i < readers.size(); ++i) {
            if (entries[i].revents != 0) readers[i]->pump();
        }
    }
    return done == nullptr || done();
}

struct Answer {
    std::string head;
    std::string body;
};

inline Answer get(int port, const std::string& path) {
    const std::string text = vorctest::exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return Answer{text, ""};
    return Answer{text.substr(0, end + 4), text.substr(end + 4)};
}

// The samples of a Prometheus text answer by series, NAME or
// NAME{camera="C"}; every line must be a HELP or TYPE comment or a sample
// of a declared metric, counters named *_total.
inline std::map<std::string, double> metrics(int port, const std::string& path = "/metrics") {
    const Answer answer = get(port, path);
    EXPECT_NE(answer.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << answer.head;
    static const std::regex help("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+");
    static const std::regex type("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge)");
    static const std::regex sample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{camera=\"[^\"\\\\]*\"\\})? ([0-9]+(\\.[0-9]+)?)");
    std::map<std::string, double> values;
    std::map<std::string, std::string> types;
    std::istringstream lines(answer.body);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, type)) {
            types[match[1]] = match[2];
            EXPECT_EQ(match[2] == "counter", line.find("_total ") != std::string::npos) << line;
        } else if (std::regex_match(line, match, sample)) {
            EXPECT_EQ(types.count(match[1]), 1u) << "no TYPE before " << line;
            const std::string series = match[1].str() + match[2].str();
            EXPECT_EQ(values.count(series), 0u) << "a second sample of " << series;
            values[series] = std::stod(match[3]);
        } else {
            EXPECT_TRUE(std::regex_match(line, help)) << line;
        }
    }
    return values;
}

inline bool waitForHealth(int port, const std::string& status, double seconds, const std::string& path = "/health") {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (get(port, path).head.rfind("HTTP/1.1 " + status, 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// A client of an /events address: the answer's head, then each event's id
// and data as they come.
class EventReader {
public:
    struct Event {
        std::string id;
        std::string data;
    };

    // extraHeaders: header lines, each ended by CR LF.
    EventReader(int port, const std::string& path, const std::string& extraHeaders = "") : fd_(connectToLoopback(port)) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~EventReader() { ::close(fd_); }
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    // Reads until there are count events or seconds have passed; the events so far.
    const std::vector<Event>& waitFor(size_t count, double seconds) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (events_.size() < count && Clock::now() < end) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) != 1) continue;
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            data_.append(chunk, static_cast<size_t>(got));
            parse();
        }
        return events_;
    }
    const std::string& head() const { return head_; }
    size_t comments() const { return comments_; }

private:
    void parse() {
        if (head_.empty()) {
            const size_t end = data_.find("\r\n\r\n");
            if (end == std::string::npos) return;
            head_ = data_.substr(0, end + 4);
            data_.erase(0, end + 4);
        }
        for (size_t end; (end = data_.find("\n\n")) != std::string::npos; data_.erase(0, end + 2)) {
            Event event;
            std::istringstream lines(data_.substr(0, end));
            bool comment = true;
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("id: ", 0) == 0) event.id = line.substr(4);
                if (line.rfind("data: ", 0) == 0) event.data += line.substr(6);
                comment = comment && line[0] == ':';
            }
            if (comment) {
                ++comments_;
            } else {
                events_.push_back(event);
            }
        }
    }

    const int fd_;
    std::string data_;
    std::string head_;
    std::vector<Event> events_;
    size_t comments_ = 0;
};

// The images `vorc transcode` makes of the stream's frames (in scratch,
// which ends in '/'), as the server must send them.
inline std::set<std::string> transcodedImages(const std::string& scratch, const std::string& stream, size_t frames) {
    Vorc transcode(scratch + "transcode.err", {"transcode", "--quiet", stream, "--jpeg-prefix", scratch + "file_"});
    EXPECT_EQ(transcode.wait(), 0) << transcode.errors();
    std::set<std::string> images;
    for (size_t i = 0; i < frames; ++i)
        images.insert(readFile(scratch + "file_" + std::to_string(1000000 + i).substr(1) + ".jpg"));
    EXPECT_EQ(images.size(), frames);
    return images;
}

}  // namespace vorctest

#endif
