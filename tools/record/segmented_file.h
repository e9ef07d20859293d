// One output of a recording cut into files by duration: -o
// rec/%Y%m%d-%H%M%S.mkv names each file by the local time of its first
// frame (strftime), and after each new file the retention rules delete the
// oldest files of the same pattern: those older than keepFor, then as many
// as needed to bring the pattern's files under maxBytes. A name without a
// time conversion is one file, created at once, never cut and never
// deleted: the rules do not apply to it.
//
// A file is cut at the first frame received segmentLength or more after
// the file's first frame. Every image of a recording is a complete JPEG
// picture (the transcoder fills in what a partial frame leaves out), so
// every file starts on a key frame whatever frame of the stream it starts
// with; waiting for the stream's own full frames would tie the files'
// lengths to the camera's key-frame interval.
// A frame of another picture size than the file's first also begins a new
// file, so that each file has one size, as a Matroska track states.
#ifndef VORC_TOOLS_RECORD_SEGMENTED_FILE_H
#define VORC_TOOLS_RECORD_SEGMENTED_FILE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tools/record/recording_output.h"

struct SegmentRules {
    std::chrono::milliseconds segmentLength{0};  // 0: one file
    std::chrono::milliseconds keepFor{0};        // 0: keep files of any age
    uint64_t maxBytes = 0;                       // 0: no limit
};

// The pattern holds a strftime conversion (a '%' other than "%%").
bool hasTimeConversion(const std::string& pattern);
// Why the pattern cannot name files; empty when it can.
std::string patternProblem(const std::string& pattern);

class SegmentedFile {
public:
    // Checks the pattern (throws vorc::Error with patternProblem) and
    // creates its directory; the first file is created with the first frame.
    SegmentedFile(std::string pattern, Container container, SegmentRules rules);
    ~SegmentedFile();

    void addImage(const uint8_t* jpeg, size_t size, const RecordedFrame& frame);
    // The next frame starts a new file (when the pattern names files by time).
    void cut();
    // Completes the current file; false when a file failed to be written,
    // *failure saying which.
    bool close(std::string* failure);

    // Files created so far, oldest first.
    const std::vector<std::string>& filesCreated() const { return created_; }

private:
    void openFile(const RecordedFrame& first);
    void closeFile();
    void applyRetention(WallClock::time_point now);

    const std::string pattern_;
    const Container container_;
    const SegmentRules rules_;
    const bool timed_;
    std::string directory_;
    std::regex namesOfPattern_;  // file names in directory_ the pattern gives
    std::unique_ptr<RecordingOutput> current_;
    std::string currentPath_;
    RecordedFrame currentFirst_;  // of the current file
    std::vector<std::string> created_;
    std::string failure_;  // the first file that failed
};

#endif
