// A Matroska file of MJPEG video (codec "V_MJPEG"), written with libmatroska
// as the images arrive, so that a recording cut off by a crash still holds
// every cluster written before it. Every image is a complete JPEG picture and so a key
// frame. Each frame carries its receive time: the segment's date is the
// whole second before the first frame, and each block's time stamp (in
// milliseconds) counts from there. Closing the file writes the index of
// clusters (Cues), the seek head, the duration and the segment's size, so
// that players can seek in it.
#ifndef VORC_TOOLS_RECORD_MATROSKA_FILE_H
#define VORC_TOOLS_RECORD_MATROSKA_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/matroska/matroska_module.h"
#include "tools/record/recording_output.h"

class MatroskaFile final : public RecordingOutput {
public:
    // Creates (truncates) path; throws vorc::Error when it cannot, or when
    // the writer module (vorc-matroska.so, beside the libraries or in the
    // build folder) cannot be loaded.
    explicit MatroskaFile(const std::string& path);
    // Closes the file as close() does.
    ~MatroskaFile() override;

    // The track's picture size is the first image's.
    void addImage(const uint8_t* jpeg, size_t size, const RecordedFrame& frame) override;
    bool close() override;
    bool failed() const override;

private:
    const struct MatroskaModule& module_;  // the loaded writer module
    VorcMatroskaWriter* writer_;  // until closed
    bool failed_ = false;
};

#endif
