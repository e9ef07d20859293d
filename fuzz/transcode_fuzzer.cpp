// Fuzz target: arbitrary bytes as a Tesra stream through source -> parser ->
// JPEG transcoder, whose images go to a receiver that checks each one is a
// structurally complete JPEG image: SOI, whole segments, a scan with every
// FF byte stuffed, and EOI at its end. The first byte chooses how the
// source splits the stream into pieces; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact_size_parser.h"
#include "fuzz_check.h"
#include "exact_size_source.h"
#include "vorc/backends/default_backend.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

// The transcoder re-encodes the whole picture for every frame; larger
// pictures only slow the search down.
constexpr int64_t MaxTiles = 1024;

[[noreturn]] void reject(const char* why) { vorcfuzz::failCheck("transcoder wrote a broken image", why); }

class CheckingReceiver : public vorcJPEGReceiver {
public:
    void beginFrame() override {
        if (open_) reject("beginFrame inside a frame");
        open_ = true;
        image_.clear();
    }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        if (!open_) reject("bytes outside a frame");
        if (count < 0) reject("negative byte count");
        image_.insert(image_.end(), bytes, bytes + count);
    }
    void endFrame() override {
        if (!open_) reject("endFrame outside a frame");
        open_ = false;
        checkImage();
    }

private:
    void checkImage() const {
        const size_t size = image_.size();
        if (size < 4 || image_[0] != 0xFF || image_[1] != 0xD8) reject("no SOI");
        size_t at = 2;
        for (;;) {
            if (at + 4 > size || image_[at] != 0xFF) reject("no marker where a segment starts");
            const unsigned char marker = image_[at + 1];
            const size_t length = size_t(image_[at + 2]) * 256 + image_[at + 3];
            if (length < 2 || at + 2 + length > size) reject("segment runs past the image");
            at += 2 + length;
            if (marker == 0xDA) break;
        }
        // The scan: every FF is a stuffed data byte, up to the final EOI.
        if (size - at < 2 || image_[size - 2] != 0xFF || image_[size - 1] != 0xD9) reject("no EOI at the end");
        for (size_t i = at; i < size - 2; ++i) {
            if (image_[i] != 0xFF) continue;
            if (i + 1 >= size - 2 || image_[i + 1] != 0x00) reject("unstuffed FF in the scan");
            ++i;
        }
    }

    std::vector<unsigned char> image_;
    bool open_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorcfuzz::silenceStatusMessages();
    vorcfuzz::StreamInput input{};
    if (!vorcfuzz::splitStreamInput(data, size, MaxTiles, input)) return -1;
    vorcfuzz::ExactSizeParser parser(new vorcfuzz::ExactSizeSource(input.stream, input.size, input.pieceSeed),
                                     new vorcDefaultTesraDecoderBackEnd(),
                                     new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new CheckingReceiver()),
                                     input.size);
    parser.decodeAll();
    return 0;
}
