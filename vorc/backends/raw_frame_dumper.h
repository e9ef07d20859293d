// The raw frame dumper: a back end that turns the stream into raw,
// headerless video. The scan decoder fills the inherited bottom-up RGB picture; after
// each frame (or on request) the whole picture goes to a byte receiver,
// either as RGB rows (top row first) or as planar YCbCr 4:2:0 in the order
// Y, Cr, Cb.
#ifndef VORC_BACKENDS_RAW_FRAME_DUMPER_H
#define VORC_BACKENDS_RAW_FRAME_DUMPER_H

#include <memory>

#include "vorc/backends/buffered_backend.h"
#include "vorc/sinks/byte_stream_receiver.h"

class vorcTesraRawFrameDumper : public vorcBufferedTesraDecoderBackEnd {
public:
    // Takes ownership of receiver (which may be null: nothing is dumped).
    vorcTesraRawFrameDumper(vorcByteStreamReceiver* receiver, bool yuvMode);
    ~vorcTesraRawFrameDumper() override;

    // Besides the RGB picture, keeps a YCbCr frame buffer (in both modes);
    // odd sizes get none, so YCbCr dumps are skipped until an even size.
    void videoResolutionChanged(int width, int height) override;
    // A frame with errors is dumped like any other.
    void errorEncountered() override;
    // Dumps the picture unless explicit dump mode is on.
    void frameComplete() override;
    void videoTileReceived() override;

    // When enabled, only dumpFrame() writes; takes effect at the next frame.
    void setExplicitDumpModeEnabled(bool enabled);
    // Writes the current picture once more; nothing while there is none.
    void dumpFrame();

protected:
    std::unique_ptr<vorcByteStreamReceiver> receiver;
    bool yuvMode;
    // width * height * 3 / 2 bytes: the Y plane, then Cr, then Cb.
    std::unique_ptr<unsigned char[]> yuvBuffer;
    bool explicitDumpMode;

private:
    void dumpRGB();
    void dumpYCbCr();
};

#endif
