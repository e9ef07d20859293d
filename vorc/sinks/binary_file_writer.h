// A byte sink on a POSIX descriptor, opened from a path (and then closed by
// the writer) or handed in by the caller (never closed). The first failed
// open or write switches it into a state that drops every later byte;
// hasFailed() lets the caller learn of it.
#ifndef VORC_SINKS_BINARY_FILE_WRITER_H
#define VORC_SINKS_BINARY_FILE_WRITER_H

#include <cstdint>

#include "vorc/sinks/byte_stream_receiver.h"

class vorcBinaryFileWriter : public vorcByteStreamReceiver {
public:
    // Creates or truncates path (mode 0644).
    explicit vorcBinaryFileWriter(const char* path);
    // Writes to the caller's descriptor; a negative one writes nothing.
    explicit vorcBinaryFileWriter(int fd);
    ~vorcBinaryFileWriter() override;

    void receiveStreamBytes(const unsigned char* bytes, int count) override;
    // An open or a write has failed: bytes were lost.
    bool hasFailed() const { return failed != 0; }

protected:
    int32_t fd;
    int32_t ownsDescriptor;
    int32_t failed;
};

#endif
