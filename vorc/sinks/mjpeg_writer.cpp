// MJPEG writer: multipart framing around the transcoder's JPEG images.
#include "vorc/sinks/mjpeg_writer.h"

#include <cstring>
#include <new>

namespace {
constexpr const char* StreamHeaderHead = "Content-type: multipart/x-mixed-replace;boundary=\"";
constexpr const char* StreamHeaderTail = "\"\r\n";
constexpr const char* PartHeaderHead = "\r\n--";
constexpr const char* PartHeaderTail = "\r\nContent-type: image/jpeg\r\n\r\n";
constexpr const char* ClosingHead = "\r\n--";
constexpr const char* ClosingTail = "--\r\n";
}  // namespace

vorcMJPEGWriter::vorcMJPEGWriter(int fd, const char* separatorText) : vorcBinaryFileWriter(fd) {
    installSeparator(separatorText);
}

vorcMJPEGWriter::vorcMJPEGWriter(const char* path, const char* separatorText)
    : vorcBinaryFileWriter(path) {
    installSeparator(separatorText);
}

vorcMJPEGWriter::~vorcMJPEGWriter() {
    if (framing()) writePiece(ClosingHead, ClosingTail);
}

void vorcMJPEGWriter::installSeparator(const char* separatorText) {
    if (separatorText == nullptr) return;
    const size_t size = std::strlen(separatorText) + 1;
    separator.reset(new (std::nothrow) char[size]);
    if (separator == nullptr) {
        // Without its separator the stream would be unreadable; write nothing.
        failed = 1;
        return;
    }
    std::memcpy(separator.get(), separatorText, size);
    if (failed == 0) writePiece(StreamHeaderHead, StreamHeaderTail);
}

void vorcMJPEGWriter::beginFrame() {
    if (framing()) writePiece(PartHeaderHead, PartHeaderTail);
}

void vorcMJPEGWriter::endFrame() {}

void vorcMJPEGWriter::receiveJPEGBytes(const unsigned char* bytes, int count) {
    receiveStreamBytes(bytes, count);
}

void vorcMJPEGWriter::writePiece(const char* head, const char* tail) {
    const auto asBytes = [](const char* text) {
        return reinterpret_cast<const unsigned char*>(text);
    };
    receiveJPEGBytes(asBytes(head), static_cast<int>(std::strlen(head)));
    receiveJPEGBytes(asBytes(separator.get()), static_cast<int>(std::strlen(separator.get())));
    receiveJPEGBytes(asBytes(tail), static_cast<int>(std::strlen(tail)));
}
