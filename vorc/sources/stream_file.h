// The file stream source: reads a stream from a file named by a path or
// from a descriptor the caller already holds (pipe, socket, standard input),
// optionally waiting only a limited time for data so that a caller driving
// decode() in a loop regains control while a live descriptor stays silent.
#ifndef VORC_SOURCES_STREAM_FILE_H
#define VORC_SOURCES_STREAM_FILE_H

#include <cstdint>

#include "vorc/core/stream_interfaces.h"

class vorcStreamFile : public vorcStreamSource {
public:
    // Opens path read-only. A failed open is silent: the source starts ended.
    explicit vorcStreamFile(const char* path);
    // Reads from the caller's descriptor, which the source never closes.
    explicit vorcStreamFile(int fd);
    // Closes the descriptor only if the source opened it itself.
    ~vorcStreamFile() override;

    // Switching the mode off keeps the previous limit.
    void setTimedBlockModeEnabled(bool enabled, long timeoutMillis);

    // 0 on a time-out (source still up), at end of file or after an error
    // (source ended for good).
    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override;

protected:
    int32_t fd;
    bool up;
    bool timedBlockMode;
    int32_t timeoutMillis;
    bool ownsDescriptor;

private:
    // False when the time limit ran out with nothing to read.
    bool waitForData();
};

#endif
