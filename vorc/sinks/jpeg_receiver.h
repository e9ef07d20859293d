// The abstract sink for complete JPEG images. The transcoder (the scan
// decoder that re-encodes every frame instead of decoding pixels) hands each
// finished image to one: beginFrame, consecutive pieces through
// receiveJPEGBytes (the last one ends with FF D9), then endFrame. A frame
// that fails to transcode produces none of these calls.
#ifndef VORC_SINKS_JPEG_RECEIVER_H
#define VORC_SINKS_JPEG_RECEIVER_H

class vorcJPEGReceiver {
public:
    vorcJPEGReceiver() = default;
    virtual ~vorcJPEGReceiver() {}
    vorcJPEGReceiver(const vorcJPEGReceiver&) = delete;
    vorcJPEGReceiver& operator=(const vorcJPEGReceiver&) = delete;

    virtual void beginFrame() = 0;
    virtual void endFrame() = 0;
    // The bytes belong to the caller and are valid only during the call.
    virtual void receiveJPEGBytes(const unsigned char* bytes, int count) = 0;
};

#endif
