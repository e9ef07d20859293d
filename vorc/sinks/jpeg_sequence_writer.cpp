// Numbered JPEG files, one per transcoded frame.
#include "vorc/sinks/jpeg_sequence_writer.h"

#include <cerrno>
#include <cstring>

namespace {
// Room after the prefix for the widest number "%06d" can print, ".jpg" and NUL.
constexpr size_t FileNameRoom = 21;
}  // namespace

vorcJPEGSequenceWriter::vorcJPEGSequenceWriter(const char* prefixText)
    : file(nullptr), frameNumber(0), fileNameSize(std::strlen(prefixText) + FileNameRoom) {
    const size_t prefixSize = std::strlen(prefixText) + 1;
    prefix.reset(new char[prefixSize]);
    std::memcpy(prefix.get(), prefixText, prefixSize);
    fileName.reset(new char[fileNameSize]);
}

vorcJPEGSequenceWriter::~vorcJPEGSequenceWriter() { closeFile(); }

void vorcJPEGSequenceWriter::beginFrame() {
    // A frame without endFrame: its file is given up and the name reused.
    closeFile();
    std::snprintf(fileName.get(), fileNameSize, "%s%06d.jpg", prefix.get(),
                  static_cast<int>(frameNumber));
    file = std::fopen(fileName.get(), "w");
    if (file == nullptr) noteFailure(errno);
}

void vorcJPEGSequenceWriter::receiveJPEGBytes(const unsigned char* bytes, int count) {
    if (file == nullptr || count <= 0) return;
    if (std::fwrite(bytes, static_cast<size_t>(count), 1, file) != 1) {
        noteFailure(errno);
        closeFile();
    }
}

void vorcJPEGSequenceWriter::endFrame() {
    closeFile();
    ++frameNumber;
}

void vorcJPEGSequenceWriter::closeFile() {
    if (file == nullptr) return;
    // The buffered rest of the image is written only now: a full disk shows here.
    if (std::fclose(file) != 0) noteFailure(errno);
    file = nullptr;
}

void vorcJPEGSequenceWriter::noteFailure(int error) {
    if (!firstFailure.empty()) return;
    firstFailure = std::string("cannot write '") + fileName.get() + "': " + std::strerror(error);
}
