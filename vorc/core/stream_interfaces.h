// The abstract classes that join the decoding chain
//   source -> parser -> scan decoder -> back end
// A source delivers stream bytes, a decoder pulls and processes them, and a
// back end receives decoder events and decoded pixels. The framewise parser
// and the scan-decoder interface live in framewise_decoder.h and
// scan_decoder.h, because the scan decoder consumes the parser's nested
// frame descriptor.
#ifndef VORC_CORE_STREAM_INTERFACES_H
#define VORC_CORE_STREAM_INTERFACES_H

class vorcStreamSource {
public:
    vorcStreamSource() = default;
    virtual ~vorcStreamSource() = default;
    vorcStreamSource(const vorcStreamSource&) = delete;
    vorcStreamSource& operator=(const vorcStreamSource&) = delete;

    // Stores up to maxBytes bytes at buffer and returns how many; 0 means
    // nothing now (end of stream, time-out, error or no data waiting).
    virtual int fetchBytes(unsigned char* buffer, int maxBytes) = 0;
    // False once the source has ended for good.
    virtual bool stillUp() = 0;
};

class vorcStreamDecoder {
public:
    explicit vorcStreamDecoder(vorcStreamSource* source);
    // Destroys the source.
    virtual ~vorcStreamDecoder();
    vorcStreamDecoder(const vorcStreamDecoder&) = delete;
    vorcStreamDecoder& operator=(const vorcStreamDecoder&) = delete;

    // Pulls at most maxBytes bytes from the source, processes them and
    // returns how many were pulled.
    virtual int decode(int maxBytes) = 0;
    bool sourceStillUp();

protected:
    vorcStreamSource* source;  // owned
};

class vorcTesraDecoderBackEnd {
public:
    vorcTesraDecoderBackEnd() = default;
    virtual ~vorcTesraDecoderBackEnd() = default;
    vorcTesraDecoderBackEnd(const vorcTesraDecoderBackEnd&) = delete;
    vorcTesraDecoderBackEnd& operator=(const vorcTesraDecoderBackEnd&) = delete;

    // The pictures that follow have this size in pixels.
    virtual void videoResolutionChanged(int width, int height) = 0;
    // Decoding the current frame's scan failed; no more tiles will come.
    virtual void errorEncountered() = 0;
    // The current frame is finished (also after errorEncountered).
    virtual void frameComplete() = 0;
    // Stores where the tile's top-left pixel goes (3 bytes per pixel, 16
    // pixels per tile row) and the pad, in 4-byte units, added after each
    // 48-byte tile row.
    virtual void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                             int* rowPad) = 0;
    // One more coded tile of the current frame has been handled.
    virtual void videoTileReceived() = 0;
};

class vorcTesraDecoder : public vorcStreamDecoder {
public:
    vorcTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd);
    // Destroys the back end, then (through the base) the source.
    ~vorcTesraDecoder() override;

    int decode(int maxBytes) override = 0;
    vorcTesraDecoderBackEnd* getBackEnd();

protected:
    vorcTesraDecoderBackEnd* backEnd;  // owned
};

#endif
