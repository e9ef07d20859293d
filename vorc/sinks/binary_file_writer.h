// A byte sink on a POSIX descriptor, opened from a path (and then closed by
// the writer) or handed in by the caller (never closed). It reports nothing:
// the first failed open or write switches it into a state that silently
// drops every later byte.
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

protected:
    int32_t fd;
    int32_t ownsDescriptor;
    int32_t failed;
};

#endif
