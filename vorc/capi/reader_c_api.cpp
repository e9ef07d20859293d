// The C interface (vorc/vorc_c.h) over vorc::Reader. Every entry point
// catches whatever the C++ side throws and turns it into a result code and
// this thread's error message, so that no exception reaches a C caller.
#include <cerrno>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vorc/core/exceptions.h"
#include "vorc/reader.h"
#include "vorc/vorc_c.h"

struct vorc_options {
    vorc::ReaderOptions reader;
    vorc_interrupt_callback interrupt = nullptr;
    void* interruptUser = nullptr;
    vorc_status_callback status = nullptr;
    void* statusUser = nullptr;
};

struct vorc_reader {
    explicit vorc_reader(vorc::Reader opened) : reader(std::move(opened)) {}
    vorc::Reader reader;
};

struct vorc_frame {
    std::optional<vorc::Frame> picture;
    std::optional<vorc::JPEGFrame> jpeg;

    const vorc::ReaderFrameInfo& info() const {
        if (picture) return *picture;
        return *jpeg;
    }
};

namespace {

thread_local std::string lastError;

const std::pair<int, vorc::PixelFormat> PixelFormats[] = {
    {VORC_FORMAT_RGB24, vorc::PixelFormat::RGB24}, {VORC_FORMAT_BGR24, vorc::PixelFormat::BGR24},
    {VORC_FORMAT_RGBA, vorc::PixelFormat::RGBA},   {VORC_FORMAT_GRAY8, vorc::PixelFormat::GRAY8},
    {VORC_FORMAT_I420, vorc::PixelFormat::I420},
};

int fail(int code, const std::string& reason) {
    lastError = reason;
    return code;
}

int sourceErrorCode(const vorc::SourceError& error) {
    switch (error.systemError()) {
        case ENOENT:
            return VORC_ERROR_NOT_FOUND;
        case EACCES:
        case EPERM:
            return VORC_ERROR_PERMISSION;
        default:
            return VORC_ERROR_SOURCE;
    }
}

// Runs body, which returns a result code, and turns what it throws into one.
template <typename Body>
int guarded(Body body) noexcept {
    try {
        return body();
    } catch (const vorc::InterruptedError& error) {
        return fail(VORC_ERROR_INTERRUPTED, error.what());
    } catch (const vorc::TimeoutError& error) {
        return fail(VORC_ERROR_TIMEOUT, error.what());
    } catch (const vorc::SourceError& error) {
        return fail(sourceErrorCode(error), error.what());
    } catch (const vorc::InvalidArgument& error) {
        return fail(VORC_ERROR_INVALID_ARGUMENT, error.what());
    } catch (const std::logic_error& error) {
        // The one logic error of the Reader: next and next_jpeg mixed.
        return fail(VORC_ERROR_WRONG_CALL, error.what());
    } catch (const std::bad_alloc&) {
        return fail(VORC_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception& error) {
        return fail(VORC_ERROR_INTERNAL, error.what());
    } catch (...) {
        return fail(VORC_ERROR_INTERNAL, "unknown failure");
    }
}

int invalid(const char* what) { return fail(VORC_ERROR_INVALID_ARGUMENT, what); }

// The Reader's options from the C ones, with the callbacks bound.
vorc::ReaderOptions readerOptions(const vorc_options* options) {
    if (options == nullptr) return vorc::ReaderOptions();
    vorc::ReaderOptions result = options->reader;
    if (options->interrupt != nullptr) {
        result.interrupted = [callback = options->interrupt, user = options->interruptUser] {
            return callback(user) != 0;
        };
    }
    if (options->status != nullptr) {
        result.status = [callback = options->status, user = options->statusUser](vorc::StatusLevel level,
                                                                                  const std::string& message) {
            callback(user,
                     level == vorc::StatusLevel::Error     ? VORC_STATUS_ERROR
                     : level == vorc::StatusLevel::Warning ? VORC_STATUS_WARNING
                                                           : VORC_STATUS_INFO,
                     message.c_str());
        };
    }
    return result;
}

// problem: null when the arguments are good, or what is wrong with them.
template <typename Open>
int openReader(vorc_reader** reader, const char* problem, Open open) {
    if (reader == nullptr) return invalid("the reader pointer is null");
    *reader = nullptr;
    if (problem != nullptr) return invalid(problem);
    return guarded([&] {
        *reader = new vorc_reader(open());
        return VORC_OK;
    });
}

template <typename Next>
int nextFrame(vorc_reader* reader, vorc_frame** frame, Next next) {
    if (frame == nullptr) return invalid("the frame pointer is null");
    *frame = nullptr;
    if (reader == nullptr) return invalid("the reader is null");
    return guarded([&] {
        auto got = next(reader->reader);
        if (!got) return VORC_END;
        auto* result = new vorc_frame;
        if constexpr (std::is_same_v<decltype(got), std::optional<vorc::Frame>>) {
            result->picture = std::move(got);
        } else {
            result->jpeg = std::move(got);
        }
        *frame = result;
        return VORC_OK;
    });
}

template <typename Set>
int setOption(vorc_options* options, Set set) {
    if (options == nullptr) return invalid("the options are null");
    return set(*options);
}

}  // namespace

extern "C" {

const char* vorc_version(void) { return VORC_VERSION_NUMBER; }

const char* vorc_error_string(int code) {
    switch (code) {
        case VORC_OK:
            return "success";
        case VORC_END:
            return "the source has ended";
        case VORC_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case VORC_ERROR_NOT_FOUND:
            return "no such file";
        case VORC_ERROR_PERMISSION:
            return "permission denied";
        case VORC_ERROR_SOURCE:
            return "the source cannot be opened or read";
        case VORC_ERROR_TIMEOUT:
            return "the source stayed silent past the timeout";
        case VORC_ERROR_INTERRUPTED:
            return "interrupted";
        case VORC_ERROR_NO_MEMORY:
            return "out of memory";
        case VORC_ERROR_WRONG_CALL:
            return "pictures and JPEG images cannot be mixed on one reader";
        case VORC_ERROR_INTERNAL:
            return "internal error";
        default:
            return "unknown result code";
    }
}

const char* vorc_last_error(void) { return lastError.c_str(); }

vorc_options* vorc_options_new(void) { return new (std::nothrow) vorc_options; }

void vorc_options_free(vorc_options* options) { delete options; }

int vorc_options_set_format(vorc_options* options, int format) {
    return setOption(options, [&](vorc_options& set) {
        for (const auto& [code, pixelFormat] : PixelFormats) {
            if (code == format) {
                set.reader.format = pixelFormat;
                return VORC_OK;
            }
        }
        return invalid("unknown pixel format");
    });
}

int vorc_options_set_timeout_ms(vorc_options* options, int64_t milliseconds) {
    return setOption(options, [&](vorc_options& set) {
        if (milliseconds < 0 || milliseconds > int64_t(1e12)) return invalid("the timeout is out of range");
        set.reader.timeout = std::chrono::milliseconds(milliseconds);
        return VORC_OK;
    });
}

int vorc_options_set_max_pixels(vorc_options* options, uint64_t pixels) {
    return setOption(options, [&](vorc_options& set) {
        set.reader.maxPixels = pixels;
        return VORC_OK;
    });
}

int vorc_options_set_camera_fps(vorc_options* options, double fps) {
    return setOption(options, [&](vorc_options& set) {
        if (!(fps >= 0.0 && fps <= 1e6)) return invalid("the camera frame rate is out of range");
        set.reader.cameraFps = float(fps);
        return VORC_OK;
    });
}

int vorc_options_set_file_fps(vorc_options* options, double fps) {
    return setOption(options, [&](vorc_options& set) {
        if (!(fps > 0.0 && fps <= 1e6)) return invalid("the file frame rate is out of range");
        set.reader.fileFps = fps;
        return VORC_OK;
    });
}

int vorc_options_set_interrupt(vorc_options* options, vorc_interrupt_callback callback, void* user) {
    return setOption(options, [&](vorc_options& set) {
        set.interrupt = callback;
        set.interruptUser = user;
        return VORC_OK;
    });
}

int vorc_options_set_status(vorc_options* options, vorc_status_callback callback, void* user) {
    return setOption(options, [&](vorc_options& set) {
        set.status = callback;
        set.statusUser = user;
        return VORC_OK;
    });
}

int vorc_reader_open(const char* source, const vorc_options* options, vorc_reader** reader) {
    return openReader(reader, source == nullptr ? "the source is null" : nullptr,
                      [&] { return vorc::Reader(source, readerOptions(options)); });
}

int vorc_reader_open_file(const char* path, const vorc_options* options, vorc_reader** reader) {
    return openReader(reader, path == nullptr ? "the path is null" : nullptr,
                      [&] { return vorc::Reader::openFile(path, readerOptions(options)); });
}

int vorc_reader_open_fd(int fd, const vorc_options* options, vorc_reader** reader) {
    return openReader(reader, nullptr, [&] { return vorc::Reader::openDescriptor(fd, readerOptions(options)); });
}

int vorc_reader_open_memory(const void* bytes, size_t size, const vorc_options* options, vorc_reader** reader) {
    return openReader(reader, bytes == nullptr && size > 0 ? "the bytes are null" : nullptr, [&] {
        return vorc::Reader::openMemory(static_cast<const uint8_t*>(bytes), size, readerOptions(options));
    });
}

int vorc_reader_open_camera(const char* host, int port, const vorc_options* options, vorc_reader** reader) {
    const char* problem = host == nullptr ? "the host is null" : port < 1 || port > 65535 ? "the port is out of range" : nullptr;
    return openReader(reader, problem, [&] { return vorc::Reader::openCamera(host, port, readerOptions(options)); });
}

void vorc_reader_close(vorc_reader* reader) { delete reader; }

int vorc_reader_next(vorc_reader* reader, vorc_frame** frame) {
    return nextFrame(reader, frame, [](vorc::Reader& opened) { return opened.next(); });
}

int vorc_reader_next_jpeg(vorc_reader* reader, vorc_frame** frame) {
    return nextFrame(reader, frame, [](vorc::Reader& opened) { return opened.nextJPEG(); });
}

uint64_t vorc_reader_damaged_frames(const vorc_reader* reader) {
    return reader != nullptr ? reader->reader.damagedFrames() : 0;
}

void vorc_frame_free(vorc_frame* frame) { delete frame; }

uint64_t vorc_frame_index(const vorc_frame* frame) { return frame != nullptr ? frame->info().index : 0; }

uint64_t vorc_frame_offset(const vorc_frame* frame) { return frame != nullptr ? frame->info().offset : 0; }

double vorc_frame_timestamp(const vorc_frame* frame) { return frame != nullptr ? frame->info().timestamp : 0.0; }

int vorc_frame_width(const vorc_frame* frame) { return frame != nullptr ? frame->info().width : 0; }

int vorc_frame_height(const vorc_frame* frame) { return frame != nullptr ? frame->info().height : 0; }

int vorc_frame_format(const vorc_frame* frame) {
    if (frame == nullptr) return 0;
    if (!frame->picture) return VORC_FORMAT_JPEG;
    for (const auto& [code, pixelFormat] : PixelFormats) {
        if (pixelFormat == frame->picture->format()) return code;
    }
    return VORC_FORMAT_JPEG;
}

int vorc_frame_damaged(const vorc_frame* frame) { return frame != nullptr && frame->info().damaged; }

int vorc_frame_stale(const vorc_frame* frame) { return frame != nullptr && frame->info().stale; }

int vorc_frame_full_frame(const vorc_frame* frame) { return frame != nullptr && frame->info().fullFrame; }

int64_t vorc_frame_coded_tiles(const vorc_frame* frame) { return frame != nullptr ? frame->info().codedTiles : 0; }

const uint8_t* vorc_frame_data(const vorc_frame* frame) {
    if (frame == nullptr) return nullptr;
    return frame->picture ? frame->picture->data() : frame->jpeg->bytes.data();
}

size_t vorc_frame_size(const vorc_frame* frame) {
    if (frame == nullptr) return 0;
    return frame->picture ? frame->picture->size() : frame->jpeg->bytes.size();
}

const uint8_t* vorc_frame_plane(const vorc_frame* frame, int plane) {
    if (vorc_frame_plane_stride(frame, plane) == 0) return nullptr;
    return frame->picture->plane(plane);
}

size_t vorc_frame_plane_stride(const vorc_frame* frame, int plane) {
    if (frame == nullptr || !frame->picture || plane < 0) return 0;
    if (plane >= (frame->picture->format() == vorc::PixelFormat::I420 ? 3 : 1)) return 0;
    return frame->picture->planeStride(plane);
}

const uint8_t* vorc_frame_tile_bitmap(const vorc_frame* frame, size_t* size) {
    const std::vector<uint8_t>* bitmap = frame != nullptr ? &frame->info().tileBitmap : nullptr;
    if (size != nullptr) *size = bitmap != nullptr ? bitmap->size() : 0;
    return bitmap != nullptr && !bitmap->empty() ? bitmap->data() : nullptr;
}

}  // extern "C"
