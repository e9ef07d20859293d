// The live camera as the tool's commands reach it (`vorc record`, `vorc
// motion`, `vorc serve`): a SOURCE operand told apart from a stream file,
// the library's checked camera stream opened with the reason for a failure
// in the tool's words, and a read-ahead link that hands its stream to the
// chain in pieces of any size. The checked stream takes the camera's HTTP
// answer head off the stream and ends it with the reason when the answer is
// not 200.
#ifndef VORC_TOOLS_NET_CAMERA_SOURCE_H
#define VORC_TOOLS_NET_CAMERA_SOURCE_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorc/sources/checked_camera_stream.h"
#include "vorc/sources/ip_address.h"

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
    // Waits up to millis for the camera to send more.
    void waitForData(int millis) const;

private:
    std::unique_ptr<vorc::CheckedCameraStream> camera_;
    std::string* failure_;
    std::vector<unsigned char> buffer_;
    size_t next_ = 0;
    size_t filled_ = 0;
};

// A live stream's time-out of a number of seconds.
std::chrono::milliseconds timeoutOf(double seconds);

// The camera's stream at the rate asked for (0: its maximum), with its
// login if it has one, or null after printing "vorc COMMAND: cannot get a
// stream from TEXT: the reason" (TEXT as cameraAddressText gives it, so
// that no password is shown).
std::unique_ptr<vorc::CheckedCameraStream> openCamera(const char* command, const char* text,
                                                      const vorc::HostAndPort& camera, double fps,
                                                      vorc::LiveStreamTimeouts timeouts);

// The camera as HOST:PORT, IPv6 in brackets, without its login: for
// messages and pages.
std::string cameraAddressText(const vorc::HostAndPort& camera);

// text as a message may show it: a camera's USER:PASSWORD@HOST:PORT with
// the password as "***".
std::string withoutPassword(const std::string& text);

// A command's SOURCE: a stream file when a file of that name exists, else
// the [USER:PASSWORD@]HOST:PORT of a camera, which goes into *camera. False for neither,
// with the usage error's text in *problem.
bool parseSourceOperand(const char* text, std::optional<vorc::HostAndPort>* camera, std::string* problem);

#endif
