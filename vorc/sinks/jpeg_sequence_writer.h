// Writes each of the transcoder's JPEG images into a file of its own, named
// by a prefix and the frame number ("out/frame_" gives out/frame_000000.jpg,
// out/frame_000001.jpg, ...). The number counts frames, not files: a frame
// whose file cannot be written leaves a gap; hasFailed() and failure() let
// the caller learn of it.
#ifndef VORC_SINKS_JPEG_SEQUENCE_WRITER_H
#define VORC_SINKS_JPEG_SEQUENCE_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "vorc/sinks/jpeg_receiver.h"

class vorcJPEGSequenceWriter : public vorcJPEGReceiver {
public:
    // prefix must not be null; it may be empty or contain directories.
    explicit vorcJPEGSequenceWriter(const char* prefix);
    // A partly written file stays on disk.
    ~vorcJPEGSequenceWriter() override;

    void beginFrame() override;
    void endFrame() override;
    void receiveJPEGBytes(const unsigned char* bytes, int count) override;

    // A file could not be created, written or closed: an image was lost.
    bool hasFailed() const { return !firstFailure.empty(); }
    // The first such failure: "cannot write 'NAME': REASON"; empty if none.
    const std::string& failure() const { return firstFailure; }

protected:
    std::unique_ptr<char[]> prefix;
    std::unique_ptr<char[]> fileName;
    std::FILE* file;  // null between frames and after a failure
    int32_t frameNumber;

private:
    void closeFile();
    void noteFailure(int error);
    size_t fileNameSize;
    std::string firstFailure;
};

#endif
