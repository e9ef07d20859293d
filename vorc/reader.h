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
    // The frame rate of a source that carries no times (a file, a
    // descriptor, a stream in memory), which dates its frames; above 0.
    double fileFps = 25.0;
    // Receives the library's status messages, on the thread that calls the
    // Reader; without it they are dropped. It must not throw.
    StatusCallback status;
};

// What the Reader tells of every frame besides the chain's account of it.
struct ReaderFrameInfo : FrameInfo {
    // Seconds. A camera's frames: when the frame had arrived, since the Unix
    // epoch. Any other source's: its place at ReaderOptions::fileFps,
    // (index - 1) / fileFps.
    double timestamp = 0.0;
    // The tiles a partial frame coded, in the stream's layout: one bit per
    // 16x16 tile in row-major order, rows running on without a gap, bit 7
    // of byte 0 the top left tile; (columns x rows + 7) / 8 bytes. Empty for
    // a full frame and for a damaged one, whose tiles are unknown.
    std::vector<uint8_t> tileBitmap;
};

// A decoded picture, top row first.
class Frame : public ReaderFrameInfo {
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
struct JPEGFrame : ReaderFrameInfo {
    std::vector<uint8_t> bytes;
};

class Reader {
public:
    // source: a file path, "-" for standard input, or a camera as HOST:PORT
    // (an IPv4 address, a host name, or an IPv6 address in brackets); an
    // existing file of that name wins. Throws SourceError when the source
    // cannot be opened or connected in time, InvalidArgument for options out
    // of range.
    explicit Reader(const std::string& source, ReaderOptions options = ReaderOptions());
    // A file and nothing else; the SourceError of a file that cannot be
    // opened carries the system's error number (ENOENT, EACCES, EISDIR).
    static Reader openFile(const std::string& path, ReaderOptions options = ReaderOptions());
    // The caller's descriptor (a file, a pipe, a socket), read from where it
    // stands; the Reader never closes it.
    static Reader openDescriptor(int fd, ReaderOptions options = ReaderOptions());
    // A stream in memory, read in place: the caller keeps the bytes
    // unchanged for as long as the Reader lives.
    static Reader openMemory(const uint8_t* bytes, size_t size, ReaderOptions options = ReaderOptions());
    // A camera by host (a name, an IPv4 address, an IPv6 address without
    // brackets) and port; the connection may take the timeout, and the
    // interrupted check is asked while it is made.
    static Reader openCamera(const std::string& host, int port, ReaderOptions options = ReaderOptions());
    // Any source, named in messages by name. A fetch that finds nothing
    // should return within about 100 ms: the timeout and the interrupted
    // check are looked at only between fetches.
    Reader(std::unique_ptr<vorcStreamSource> source, const std::string& name,
           ReaderOptions options = ReaderOptions());
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
    explicit Reader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vorc

#endif
