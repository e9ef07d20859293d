// Fuzz target: arbitrary bytes as a stream file read through vorc::Reader,
// the pull API, as pictures in one of its pixel formats or as JPEG images,
// as the first byte chooses; the rest is the file. Damaged input must never
// escape as an exception: the frames come out numbered one after the other,
// each picture of the size its format gives, each undamaged JPEG frame a
// whole image, and the damaged frames are those the Reader counts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_check.h"
#include "vorc/reader.h"

namespace {

// 1024 tiles, as in the other stream targets; larger pictures come out
// damaged and empty.
constexpr uint64_t MaxPixels = 1024 * 256;

[[noreturn]] void reject(const char* why) { vorcfuzz::failCheck("Reader", why); }

size_t pictureBytes(vorc::PixelFormat format, size_t width, size_t height) {
    switch (format) {
        case vorc::PixelFormat::RGB24:
        case vorc::PixelFormat::BGR24:
            return width * height * 3;
        case vorc::PixelFormat::RGBA:
            return width * height * 4;
        case vorc::PixelFormat::GRAY8:
            return width * height;
        case vorc::PixelFormat::I420:
            break;
    }
    return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
}

// Checks what is common to both kinds of frame; counts the damaged ones.
void checkInfo(const vorc::FrameInfo& frame, uint64_t& index, uint64_t& damaged) {
    if (frame.index != ++index) reject("frames out of order");
    if (frame.damaged) ++damaged;
    if (!frame.damaged && (frame.width <= 0 || frame.height <= 0)) reject("a whole frame without a picture");
    if (uint64_t(frame.width) * uint64_t(frame.height) > MaxPixels && !frame.damaged)
        reject("a picture over the limit was decoded");
}

void read(const std::string& path, uint8_t choice) {
    vorc::ReaderOptions options;
    options.maxPixels = MaxPixels;
    const bool jpeg = choice % 6 == 5;
    options.format = static_cast<vorc::PixelFormat>(jpeg ? 0 : choice % 6);
    vorc::Reader reader(path, options);
    uint64_t index = 0;
    uint64_t damaged = 0;
    if (jpeg) {
        while (const auto frame = reader.nextJPEG()) {
            checkInfo(*frame, index, damaged);
            const auto& bytes = frame->bytes;
            if (frame->damaged && bytes.empty()) continue;
            if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[bytes.size() - 2] != 0xFF ||
                bytes.back() != 0xD9)
                reject("a JPEG frame that is not a whole image");
        }
    } else {
        while (const auto frame = reader.next()) {
            checkInfo(*frame, index, damaged);
            if (frame->size() != pictureBytes(options.format, size_t(frame->width), size_t(frame->height)))
                reject("a picture of the wrong size for its format");
        }
    }
    if (reader.damagedFrames() != damaged) reject("damaged frames miscounted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return -1;
    // One file in memory for the whole run, rewritten for every input.
    static const int file = memfd_create("reader_fuzzer", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    if (file < 0 || ftruncate(file, 0) != 0 ||
        pwrite(file, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
        reject("cannot write the stream file");
    try {
        read(path, data[0]);
    } catch (const std::exception& error) {
        vorcfuzz::failCheck("Reader threw", error.what());
    }
    return 0;
}
