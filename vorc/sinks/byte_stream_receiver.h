// The library's abstract byte sink: runs of bytes accepted one after the
// other. The raw frame dumper writes its frames to one; the MJPEG writer is
// itself one (through the binary file writer).
#ifndef VORC_SINKS_BYTE_STREAM_RECEIVER_H
#define VORC_SINKS_BYTE_STREAM_RECEIVER_H

class vorcByteStreamReceiver {
public:
    vorcByteStreamReceiver() = default;
    // Abstract, with an empty body: derived classes need no destructor.
    virtual ~vorcByteStreamReceiver() = 0;
    vorcByteStreamReceiver(const vorcByteStreamReceiver&) = delete;
    vorcByteStreamReceiver& operator=(const vorcByteStreamReceiver&) = delete;

    // The bytes belong to the caller and are valid only during the call.
    virtual void receiveStreamBytes(const unsigned char* bytes, int count) = 0;
};

inline vorcByteStreamReceiver::~vorcByteStreamReceiver() = default;

#endif
