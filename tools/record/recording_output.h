// What a recording writes into: one file of one container, taking each
// frame's complete JPEG image with its receive time. The containers are
// Matroska (.mkv), the multipart MJPEG stream (any other name) and JPEG
// images back to back (.jpegs), which tools that reject the multipart
// header read.
#ifndef VORC_TOOLS_RECORD_RECORDING_OUTPUT_H
#define VORC_TOOLS_RECORD_RECORDING_OUTPUT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using WallClock = std::chrono::system_clock;

// One frame as a recording sees it.
struct RecordedFrame {
    WallClock::time_point received;  // when its last byte arrived
    int width = 0;
    int height = 0;
};

enum class Container { Mjpeg, Matroska, BackToBackJpeg };

// By the name's extension: ".mkv" Matroska, ".jpegs" back-to-back JPEG,
// anything else MJPEG.
Container containerOfName(const std::string& path);
// "mjpeg", "mkv" or "jpegs" (the names --format takes); false for another.
bool containerByFormatName(const std::string& name, Container* container);

class RecordingOutput {
public:
    virtual ~RecordingOutput() = default;
    virtual void addImage(const uint8_t* jpeg, size_t size, const RecordedFrame& frame) = 0;
    // Completes the file; false when any write failed. Called once.
    virtual bool close() = 0;
    virtual bool failed() const = 0;
};

// Creates path ("-": standard output, except for Matroska, which must seek)
// for the container; throws vorc::Error naming the reason when it cannot.
std::unique_ptr<RecordingOutput> openRecordingOutput(const std::string& path, Container container);

#endif
