// Test support: Matroska files read by Debian's mkvtoolnix, an independent
// reader: what mkvinfo shows of their elements, and the frames mkvextract
// takes out of them.
#ifndef VORC_TESTS_SUPPORT_MATROSKA_INFO_H
#define VORC_TESTS_SUPPORT_MATROSKA_INFO_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/files.h"

namespace vorctest {

// Standard output of a shell command line, and its exit status.
inline std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t got; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    const int raw = pipe != nullptr ? ::pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

// What mkvinfo -a -p (every element, with its position) tells of a
// Matroska file of one track.
struct MatroskaReport {
    int status = -1;
    std::string text;
    std::string date;                  // "2023-11-14 22:13:20 UTC"
    std::vector<std::string> blocks;   // each block's time stamp, "00:00:00.250000000"
    std::vector<size_t> frameSizes;
    std::vector<uint64_t> clusters;    // file positions
    std::vector<uint64_t> cuePositions;  // relative to the segment's data
    std::vector<std::string> cueTimes;
    uint64_t segmentData = 0;          // where the segment's data begins
    uint64_t segmentSize = 0;
    uint64_t cuesAt = 0;               // file position of the Cues; 0: none
    std::map<std::string, uint64_t> seekEntries;  // "KaxCues": position relative to the segment's data
    std::string duration;
};

inline MatroskaReport mkvinfo(const std::string& path) {
    MatroskaReport report;
    report.text = run("mkvinfo -a -p '" + path + "' 2>&1", &report.status);
    std::smatch match;
    const std::regex line(R"(([^\n]*)\n)");
    std::string seekId;  // of the seek entry being read
    for (auto it = std::sregex_iterator(report.text.begin(), report.text.end(), line); it != std::sregex_iterator(); ++it) {
        const std::string text = (*it)[1];
        if (std::regex_search(text, match, std::regex(R"(\+ Date: (.*) at)"))) report.date = match[1];
        if (std::regex_search(text, match, std::regex(R"(\+ Duration: (\S+))"))) report.duration = match[1];
        if (std::regex_search(text, match, std::regex(R"(Block: track number 1, 1 frame\(s\), timestamp (\S+))")))
            report.blocks.push_back(match[1]);
        if (std::regex_search(text, match, std::regex(R"(Frame with size (\d+))")))
            report.frameSizes.push_back(std::stoul(match[1]));
        if (std::regex_search(text, match, std::regex(R"(^\|\+ Cluster at (\w+))")))
            report.clusters.push_back(std::stoull(match[1], nullptr, 0));
        if (std::regex_search(text, match, std::regex(R"(Cue cluster position: (\d+))")))
            report.cuePositions.push_back(std::stoull(match[1]));
        if (std::regex_search(text, match, std::regex(R"(Cue time: (\S+))"))) report.cueTimes.push_back(match[1]);
        if (std::regex_search(text, match, std::regex(R"(^\+ Segment: size (\d+) at (\w+))"))) {
            report.segmentSize = std::stoull(match[1]);
            report.segmentData = std::stoull(match[2], nullptr, 0) + 12;  // its ID and 8 bytes of size
        }
        if (std::regex_search(text, match, std::regex(R"(^\|\+ Cues at (\w+))")))
            report.cuesAt = std::stoull(match[1], nullptr, 0);
        if (std::regex_search(text, match, std::regex(R"(Seek ID: .*\((\w+)\))"))) seekId = match[1];
        if (std::regex_search(text, match, std::regex(R"(Seek position: (\d+))")))
            report.seekEntries[seekId] = std::stoull(match[1]);
    }
    return report;
}

// What a player needs to seek: the seek head leads to the information,
// the tracks and the Cues, each cue point leads to a cluster, and the
// segment's size is filled in.
inline void expectSeekable(const MatroskaReport& report, const std::string& path) {
    EXPECT_NE(report.cuesAt, 0u) << path << " has no Cues";
    for (const char* element : {"KaxInfo", "KaxTracks", "KaxCues"})
        EXPECT_EQ(report.seekEntries.count(element), 1u) << path << ": no seek entry for " << element;
    if (report.seekEntries.count("KaxCues") != 0) {
        EXPECT_EQ(report.seekEntries.at("KaxCues") + report.segmentData, report.cuesAt) << path;
    }
    EXPECT_EQ(report.cuePositions.size(), report.clusters.size()) << path;
    for (size_t i = 0; i < report.clusters.size() && i < report.cuePositions.size(); ++i)
        EXPECT_EQ(report.cuePositions[i] + report.segmentData, report.clusters[i]) << path << ", cluster " << i;
    EXPECT_EQ(report.segmentData + report.segmentSize, readFile(path).size()) << path;
}

// The track's frames back to back, as mkvextract writes them with --raw
// (it has no file format of its own for V_MJPEG).
inline std::string extractRaw(const std::string& path, const std::string& into) {
    int status = -1;
    run("mkvextract '" + path + "' tracks --raw 0:'" + into + "' >/dev/null 2>&1", &status);
    EXPECT_EQ(status, 0) << path;
    return readFile(into);
}

}  // namespace vorctest

#endif
