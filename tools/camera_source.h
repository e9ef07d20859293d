// The live camera as the tool's commands read it (`vorc record`, `vorc
// serve`): the library's checked camera stream, which takes the camera's
// HTTP answer head off the stream and ends it with the reason when the
// answer is not 200, behind a read-ahead link that hands the stream to the
// parser (source -> parser -> scan decoder -> back end) in pieces of any
// size.
#ifndef VORC_TOOLS_CAMERA_SOURCE_H
#define VORC_TOOLS_CAMERA_SOURCE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "vorc/sources/checked_camera_stream.h"

// Reads the camera in large pieces but hands them out in any size, so that
// with a frame limit the parser can be fed byte by byte (a frame completes
// on the byte after it, and no frame beyond the limit reaches the output)
// without a system call per byte. The camera's reason for ending outlives
// the source, which the parser destroys: it is copied to *failure.
class ReadAheadSource : public vorcStreamSource {
public:
    ReadAheadSource(std::unique_ptr<vorc::CheckedCameraStream> camera, std::string* failure);
    ~ReadAheadSource() override;

    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override;
    const vorc::CheckedCameraStream& camera() const { return *camera_; }

private:
    std::unique_ptr<vorc::CheckedCameraStream> camera_;
    std::string* failure_;
    std::vector<unsigned char> buffer_;
    size_t next_ = 0;
    size_t filled_ = 0;
};

#endif
