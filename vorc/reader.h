// The pull API for applications: vorc::Reader opens a stream file, standard
// input or a live camera and hands out one finished frame per call, top row
// first, in the pixel format the caller chose, or as a complete JPEG image.
// Inside, it drives a vorc::Chain under SkipFrame: a damaged frame is
// reported on the frame instead of ending the process, and status messages
// go to the caller's callback only.
//
// Thread-safety: one Reader is used by one thread at a time; Readers on
// different threads run in parallel and share nothing.
//
// Damaged input never ends the process: the parser skips a damaged frame to
// the next one and the frame comes out with `damaged` set.
#ifndef VORC_READER_H
#define VORC_READER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vorc/core/exceptions.h"
#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"
#include "vorc/chain/chain.h"

namespace vorc {

// RGB24, BGR24: 3 bytes per pixel; RGBA: 4 (alpha 255); GRAY8: the luma of
// each pixel; I420: planes Y (full size), U (Cb) and V (Cr), each chroma
// plane half the size rounded up, one after the other without gaps.
enum class PixelFormat { RGB24, BGR24, RGBA, GRAY8, I420 };

// The level is the library's own (status_messages.h): Info for progress,
// Warning for a problem the Reader went past, such as a damaged frame.
using StatusCallback = std::function<void(StatusLevel level, const std::string& message)>;

struct ReaderOptions {
    PixelFormat format = PixelFormat::RGB24;
    // How long a camera may take to accept the connection, and how long any
    // source may stay silent before next() throws TimeoutError; zero waits
    // for ever. Signals neither end a wait nor shorten it.
    std::chrono::milliseconds timeout{10000};
    // Asked while next() or nextJPEG() waits for a silent source, at least
    // every 100 ms (so within 100 ms of a signal); true ends the wait with
    // InterruptedError. It may also throw, and its exception passes through
    // next() unchanged. Either way the Reader stays usable. Without it a
    // wait ends only with data, the end of the source or the timeout.
    std::function<bool()> interrupted;
    // Pictures with more pixels are not decoded; their frames come out
    // damaged and empty. The library-wide limit (setMaxPicturePixels)
    // applies as well.
    uint64_t maxPixels = DefaultMaxPicturePixels;
    // The frame rate asked of a camera; 0 is the camera's maximum.
    float cameraFps = 0.0f;
    // Receives the library's status messages, on the thread that calls the
    // Reader; without it they are dropped. It must not throw.
    StatusCallback status;
};

// A decoded picture, top row first.
class Frame : public FrameInfo {
public:
    Frame() = default;
    // Room for a picture of this size in this format.
    Frame(PixelFormat format, int width, int height);

    PixelFormat format() const { return format_; }
    uint8_t* data() { return pixels_.data(); }
    const uint8_t* data() const { return pixels_.data(); }
    // Bytes from one row to the next (of the Y plane for I420).
    size_t stride() const { return planeStride(0); }
    // All bytes, every plane.
    size_t size() const { return pixels_.size(); }
    // Plane 0 for the packed formats; 0, 1, 2 (Y, U, V) for I420.
    uint8_t* plane(int n) { return pixels_.data() + planeOffset(n); }
    const uint8_t* plane(int n) const { return pixels_.data() + planeOffset(n); }
    size_t planeStride(int n) const;
    size_t planeHeight(int n) const;

private:
    size_t planeOffset(int n) const;

    PixelFormat format_ = PixelFormat::RGB24;
    std::vector<uint8_t> pixels_;
};

// A frame as one complete baseline JPEG image; bytes is empty when a
// damaged frame could not be transcoded.
struct JPEGFrame : FrameInfo {
    std::vector<uint8_t> bytes;
};

class Reader {
public:
    // source: a file path, "-" for standard input, or a camera as HOST:PORT
    // (an IPv4 address, a host name, or an IPv6 address in brackets); an
    // existing file of that name wins. Throws SourceError when the source
    // cannot be opened or connected in time.
    explicit Reader(const std::string& source, ReaderOptions options = ReaderOptions());
    ~Reader();
    // A Reader that has been moved from may only be destroyed or assigned to.
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) noexcept;

    // The next complete frame, or nothing once the source has ended. The
    // first call of next() or nextJPEG() fixes which of the two a Reader
    // gives; calling the other one afterwards throws std::logic_error.
    // Throws TimeoutError when the source stays silent too long,
    // InterruptedError when the interrupted check says so, and SourceError
    // when a camera's answer is not 200 (naming the status), not HTTP, or
    // cut off before its end.
    std::optional<Frame> next();
    std::optional<JPEGFrame> nextJPEG();

    void setStatusCallback(StatusCallback callback);

    // Frames reported damaged so far.
    uint64_t damagedFrames() const;

private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace vorc

#endif
