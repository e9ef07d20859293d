// Writes the transcoder's JPEG images as one multipart/x-mixed-replace
// stream (the MJPEG format browsers and players accept) on a file or on a
// caller's descriptor. It is both a JPEG receiver and a binary file writer:
// every piece goes straight to write(), and the writer's first failure
// silences it for good, closing delimiter included.
#ifndef VORC_SINKS_MJPEG_WRITER_H
#define VORC_SINKS_MJPEG_WRITER_H

#include <memory>

#include "vorc/sinks/binary_file_writer.h"
#include "vorc/sinks/jpeg_receiver.h"

class vorcMJPEGWriter : public vorcJPEGReceiver, public vorcBinaryFileWriter {
public:
    // The caller's descriptor is never closed. A null separator writes the
    // images back to back with no multipart framing.
    vorcMJPEGWriter(int fd, const char* separator);
    // Creates or truncates path (mode 0644); closed on destruction.
    vorcMJPEGWriter(const char* path, const char* separator);
    // Writes the closing delimiter, unless the writer has failed.
    ~vorcMJPEGWriter() override;

    void beginFrame() override;
    void endFrame() override;
    void receiveJPEGBytes(const unsigned char* bytes, int count) override;

protected:
    // Copies the separator and writes the stream header.
    void installSeparator(const char* separatorText);

    std::unique_ptr<char[]> separator;

private:
    bool framing() const { return separator != nullptr && failed == 0; }
    // One piece of framing: fixed text, separator, fixed text, as three writes.
    void writePiece(const char* head, const char* tail);
};

#endif
