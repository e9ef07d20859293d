// The framewise stream parser. It walks the bytes at the level of JPEG
// markers, in pieces of any size, and hands each collected frame on without
// copying. Every stream error goes through vorc::failStream: it ends the
// process, or under SkipFrame it unwinds to feedPiece, which hands the frame
// on as damaged and searches the next SOI from inside it. Recovery acts only
// where the default policy would have ended the process, or on what only a
// damaged stream shows, so that a valid stream reads alike under both.
#include "vorc/parse/framewise_decoder.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <initializer_list>

#include "vorc/core/fatal_error.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/parse/scan_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/dsp/kernel_table.h"

namespace {

// State numbers of the marker state machine.
enum State : uint32_t {
    AwaitSOI = 0,
    AwaitAPP0 = 1,
    ReadAPP0 = 2,
    AwaitFirstCOM = 3,
    ReadFirstCOM = 4,
    AfterK7IMG = 5,
    AwaitTSF = 6,
    ReadTSF = 7,
    AfterTSF = 8,
    AwaitTablesOrBitmap = 9,
    ReadYTable = 10,
    AwaitUVTable = 11,
    ReadUVTable = 12,
    AwaitSizeOrDHT = 13,
    ReadSOF0 = 14,
    ReadDHT = 15,
    AwaitSOSOrDHT = 16,
    ReadSOS = 17,
    SearchScanEnd = 18,
    ReadBitmap = 19,
    AwaitTablesOrSOS = 20,
    AwaitNextFrame = 21,
    ReadAPP13 = 22,
    Rejected = 23,
};

using namespace vorc::jpeg;

constexpr char TagK7IMG[] = "#:K7IMG";
constexpr char TagTSF[] = "TSF";

// Table id byte plus 64 quantisation values.
constexpr int32_t DQTPayloadSize = 65;
// Precision, height, width.
constexpr int32_t SOF0PayloadSize = 5;
// Unused bytes in front of the bitmap in its comment.
constexpr int32_t BitmapOffset = 12;

constexpr int AccelerationTextCapacity = 100;

constexpr const char* MsgNoGoodState = "!!! Tesra decoder failure (no_good_state) !!!";
constexpr const char* MsgInvalidScanEnd = "!!! Tesra decoder failure (invalid scan termination) !!!";
constexpr const char* MsgOverflow = "!!! Tesra decoder failure (prefetch buffer overflow) !!!";
constexpr const char* MsgInternal = "!!! Tesra decoder INTERNAL FAILURE !!!";
constexpr const char* MsgBadLength = "!!! Tesra decoder failure (segment length below 2) !!!";
constexpr const char* MsgShortDQT = "!!! Tesra decoder failure (quantization table segment too short) !!!";
constexpr const char* MsgShortSOF0 = "!!! Tesra decoder failure (frame header segment too short) !!!";
constexpr const char* MsgShortBitmap = "!!! Tesra decoder failure (tile bitmap too short for the picture) !!!";
constexpr const char* MsgStreamEnded = "!!! Tesra decoder failure (stream ended inside a frame) !!!";
constexpr const char* MsgBadScanHeader = "!!! Tesra decoder failure (scan header of a foreign length) !!!";
constexpr const char* MsgSwallowedFrame = "!!! Tesra decoder failure (a frame's tag inside a segment) !!!";

// The scan header's payload: the format's three components, or nothing.
constexpr bool scanHeaderFits(int32_t payloadLength) {
    return payloadLength == 0 || payloadLength == static_cast<int32_t>(sizeof TileScanHeaderPayload);
}

// The tag comment of a frame, FF FE, two length bytes and "TSF", as the last
// seven bytes of a search window.
constexpr uint64_t TagWindowMask = 0x00FFFF0000FFFFFFu;
constexpr uint64_t TagWindowPattern = 0x00FFFE0000545346u;
// A search that starts after damage between frames looks this far back for
// the start of a tag comment, in the buffer or, for bytes already let go,
// in the released tail: what it finds must not depend on which decode call
// brought which byte.
constexpr int32_t TagLookBackBytes = 6;

// A trusted APP13 segment keeps its bytes in the buffer until an SOI follows;
// past this much the bytes after it are let go, and the segment with them.
constexpr int32_t LongestAPP13Hold = 1 << 20;

}  // namespace

// The scan decoder reports to the back end through this link, which tells
// the parser that a frame's sweep failed.
class vorcFramewiseTesraDecoder::SweepWatch final : public vorcTesraDecoderBackEnd {
public:
    explicit SweepWatch(vorcFramewiseTesraDecoder& parser) : parser_(parser) {}
    void videoResolutionChanged(int width, int height) override {
        parser_.backEnd->videoResolutionChanged(width, height);
    }
    void errorEncountered() override {
        parser_.frameDamaged = true;
        parser_.backEnd->errorEncountered();
    }
    void frameComplete() override { parser_.backEnd->frameComplete(); }
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget, int* rowPad) override {
        parser_.backEnd->provideVideoTilePixelTarget(tileColumn, tileRow, pixelTarget, rowPad);
    }
    void videoTileReceived() override { parser_.backEnd->videoTileReceived(); }

private:
    vorcFramewiseTesraDecoder& parser_;
};

vorcFramewiseTesraDecoder::vorcFramewiseTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                                                     vorcFramewiseTesraScanDecoder* scanDecoder)
    : vorcFramewiseTesraDecoder(source, backEnd, scanDecoder, DefaultPrefetchCapacity) {}

vorcFramewiseTesraDecoder::vorcFramewiseTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                                                     vorcFramewiseTesraScanDecoder* scanDecoder,
                                                     int32_t capacity)
    : vorcTesraDecoder(source, backEnd),
      state(AwaitSOI),
      cursor(nullptr),
      bytesLeft(0),
      markerFFPending(0),
      payloadPhase(0),
      lengthHighByte(0),
      payloadBytesToSkip(0),
      scanFFPending(0),
      payload(nullptr),
      currentFrame(),
      reportedWidth(0),
      reportedHeight(0),
      // Taken over first, so that it is destroyed with everything else if the
      // buffer allocation below throws.
      scanDecoder(scanDecoder),
      prefetchBuffer(),
      prefetchCapacity(capacity),
      prefetchFill(0) {
    prefetchBuffer.reset(new unsigned char[static_cast<size_t>(prefetchCapacity)]);
    sweepWatch = std::make_unique<SweepWatch>(*this);
    this->scanDecoder->setBackEnd(sweepWatch.get());

    char method[AccelerationTextCapacity];
    const char* announced = this->scanDecoder->getAccelerationTypeString();
    std::snprintf(method, sizeof method, "%s", announced != nullptr ? announced : "");
    char message[AccelerationTextCapacity + 64];
    std::snprintf(message, sizeof message, "FramewiseTesraDecoder : acceleration method : %s", method);
    vorc::sendStatusMsg(message, nullptr);
}

// The members release the watch, the buffer, then the scan decoder; the bases
// then destroy the back end and the source.
vorcFramewiseTesraDecoder::~vorcFramewiseTesraDecoder() = default;

int vorcFramewiseTesraDecoder::decode(int maxBytes) {
    using vorc::detail::StreamErrorSkipped;
    const vorc::detail::SkipStreamErrors scope(skipping());
    if (maxBytes < 1) {
        // The caller's mistake, not a damaged stream: no frame is lost.
        try {
            vorc::failStream(MsgOverflow, this);
        } catch (const StreamErrorSkipped& error) {
            recordStreamError(error.message, prefetchBuffer.get() + prefetchFill);
            return 0;
        }
    }
    releaseCompletedFrames();
    if (prefetchFill >= prefetchCapacity) {
        // The frame in progress does not fit: it is damaged like any other.
        unsigned char* const end = prefetchBuffer.get() + prefetchFill;
        try {
            failFrame(MsgOverflow, this);
        } catch (const StreamErrorSkipped& error) {
            cursor = end;
            bytesLeft = 0;
            unsigned char* const resume = skipDamagedFrame(error.message);
            feedPiece(resume, static_cast<int>(end - resume));
            releaseCompletedFrames();
        }
    }
    int32_t want = prefetchCapacity - prefetchFill;
    if (maxBytes < want) want = maxBytes;

    int total = 0;
    while (want > 0) {
        unsigned char* const piece = prefetchBuffer.get() + prefetchFill;
        const int got = source->fetchBytes(piece, want);
        if (got <= 0) {
            if (frameBegun && !source->stillUp()) finishStream();
            break;
        }
        // A source that stores more than it was asked for has already written
        // past the room it was given; nothing sane can follow.
        if (got > want) vorc::failInternal(MsgInternal, nullptr);
        total += got;
        prefetchFill += got;
        feedPiece(piece, got);
        want -= got;
    }
    return total;
}

void vorcFramewiseTesraDecoder::feedPiece(unsigned char* bytes, int count) {
    unsigned char* const end = bytes + count;
    for (;;) {
        try {
            feedBytes(bytes, static_cast<int>(end - bytes));
            // A marker rejected as the last byte of a piece is acted on now,
            // not when a further byte comes: under SkipFrame the outcome
            // must not depend on where pieces end.
            if (state == Rejected && skipping()) failFrame(MsgNoGoodState, this);
            return;
        } catch (const vorc::detail::StreamErrorSkipped& error) {
            bytes = skipDamagedFrame(error.message);
        }
    }
}

void vorcFramewiseTesraDecoder::failFrame(const char* message, void* context) {
    if (frameBegun && !frameConfirmed && frameFoundBySearch && skipping())
        throw vorc::detail::StreamErrorSkipped{message};
    vorc::failStream(message, context);
}

unsigned char* vorcFramewiseTesraDecoder::skipDamagedFrame(const char* message) {
    if (frameBegun && (state == AwaitNextFrame || state == ReadAPP13)) {
        // The frame's EOI has arrived: it is whole, whatever the damage after it.
        unsigned char* const at = cursor;
        const int32_t left = bytesLeft;
        state = AwaitSOI;
        markerFFPending = 0;
        payloadPhase = 0;
        lengthHighByte = 0;
        payloadBytesToSkip = 0;
        if (!completeFrame()) return cursor;
        cursor = at;
        bytesLeft = left;
    }
    unsigned char* resume = cursor;
    bool ignoreOwnTag = false;
    bool betweenFrames = false;
    if (frameBegun && frameFoundBySearch && !frameConfirmed) {
        // An FF D8 inside other data: the search goes on right after it, and
        // its two bytes were passed over after all.
        resume = frameStart;
        skippedByteCount += 2;
        frameBegun = false;
        const uint64_t window = seekWindow;
        startSearch(ignoreNextTag);
        seekWindow = window;
        currentFrame.reset(reportedWidth, reportedHeight);
        return resume;
    }
    recordStreamError(message, cursor);
    if (frameBegun) {
        backEnd->errorEncountered();
        frameDamaged = true;
        pictureStale = true;
        backEnd->frameComplete();
        ++damagedFrameCount;
        ++handedOnFrames;
        // The damaged frame's own segments are not searched again; what a
        // damaged length swallowed after them is.
        resume = recoveryStart;
        skippedByteCount += static_cast<uint64_t>(recoveryStart - frameStart);
        ignoreOwnTag = !frameConfirmed;
        frameBegun = false;
    } else if (pendingAPP13 != nullptr) {
        // What follows the APP13 segment is no frame: its length may have
        // been damaged and have swallowed the next frame's start.
        resume = pendingAPP13;
    } else {
        betweenFrames = true;
    }
    startSearch(ignoreOwnTag);
    if (betweenFrames) {
        // The damage may be the next frame's tag comment's own marker: the
        // search looks at the bytes just read for its start.
        // Bytes further back than the look-back are shifted out before the
        // first test of the window.
        seekWindow = releasedTail;
        for (const unsigned char* at = std::max<const unsigned char*>(prefetchBuffer.get(), resume - TagLookBackBytes);
             at < resume; ++at)
            seekWindow = seekWindow << 8 | *at;
    }
    currentFrame.reset(reportedWidth, reportedHeight);
    return resume;
}

void vorcFramewiseTesraDecoder::startSearch(bool ignoreOwnTag) {
    state = AwaitSOI;
    seekingFrame = true;
    seekWindow = 0;
    ignoreNextTag = ignoreOwnTag;
    pendingAPP13 = nullptr;
    markerFFPending = 0;
    payloadPhase = 0;
    lengthHighByte = 0;
    payloadBytesToSkip = 0;
    scanFFPending = 0;
    payload = nullptr;
}

void vorcFramewiseTesraDecoder::recordStreamError(const char* message, const unsigned char* at) {
    lastError = vorc::StreamError{message, handedOnFrames, streamOffsetOf(at)};
}

void vorcFramewiseTesraDecoder::feedBytes(unsigned char* bytes, int count) {
    if (count <= 0) return;
    cursor = bytes;
    bytesLeft = count;
    unsigned char code = 0;
    while (bytesLeft != 0) {
        switch (state) {
            case AwaitSOI:
                if (seekingFrame) {
                    if (!seekStartOfImage()) return;
                    beginFrame(true);
                    state = AwaitAPP0;
                    break;
                }
                if (!awaitMarker(&code)) return;
                state = code == MarkerSOI ? AwaitAPP0 : Rejected;
                if (state == AwaitAPP0) beginFrame(false);
                break;
            case AwaitAPP0:
                if (!awaitMarker(&code)) return;
                state = code == MarkerAPP0 ? ReadAPP0 : Rejected;
                break;
            case ReadAPP0:
                if (!readMarkerPayload()) return;
                state = AwaitFirstCOM;
                break;
            case AwaitFirstCOM:
                if (!awaitMarker(&code)) return;
                state = code == MarkerCOM ? ReadFirstCOM : Rejected;
                break;
            case ReadFirstCOM:
                if (!readMarkerPayload()) return;
                if (payloadStartsWith(TagK7IMG, sizeof TagK7IMG - 1)) {
                    state = AfterK7IMG;
                } else if (payloadStartsWith(TagTSF, sizeof TagTSF - 1)) {
                    confirmFrame();
                    state = AfterTSF;
                } else {
                    state = Rejected;
                }
                break;
            case AfterK7IMG:
                state = AwaitTSF;
                break;
            case AwaitTSF:
                if (!awaitMarker(&code)) return;
                state = code == MarkerCOM ? ReadTSF : Rejected;
                break;
            case ReadTSF:
                if (!readMarkerPayload()) return;
                state = payloadStartsWith(TagTSF, sizeof TagTSF - 1) ? AfterTSF : Rejected;
                if (state == AfterTSF) confirmFrame();
                break;
            case AfterTSF:
                state = AwaitTablesOrBitmap;
                break;
            case AwaitTablesOrBitmap:
                if (!awaitMarker(&code)) return;
                if (code == MarkerDQT) {
                    currentFrame.tileBitmap = nullptr;
                    state = ReadYTable;
                } else {
                    state = code == MarkerCOM ? ReadBitmap : Rejected;
                }
                break;
            case ReadYTable:
                if (!readMarkerPayload()) return;
                requirePayload(DQTPayloadSize, MsgShortDQT);
                scanDecoder->setYQuantizationTable(payload + 1);
                state = AwaitUVTable;
                break;
            case AwaitUVTable:
                if (!awaitMarker(&code)) return;
                state = code == MarkerDQT ? ReadUVTable : Rejected;
                break;
            case ReadUVTable:
                if (!readMarkerPayload()) return;
                requirePayload(DQTPayloadSize, MsgShortDQT);
                scanDecoder->setUVQuantizationTable(payload + 1);
                state = AwaitSizeOrDHT;
                break;
            case AwaitSizeOrDHT:
                if (!awaitMarker(&code)) return;
                state = code == MarkerDHT ? ReadDHT : code == MarkerSOF0 ? ReadSOF0 : Rejected;
                break;
            case ReadSOF0:
                if (!readMarkerPayload()) return;
                requirePayload(SOF0PayloadSize, MsgShortSOF0);
                currentFrame.setResolution(payload[3] * 256 + payload[4], payload[1] * 256 + payload[2]);
                state = AwaitSOSOrDHT;
                break;
            case ReadDHT:
                if (!readMarkerPayload()) return;
                state = AwaitSOSOrDHT;
                break;
            case AwaitSOSOrDHT:
                if (!awaitMarker(&code)) return;
                state = code == MarkerSOS ? ReadSOS : code == MarkerDHT ? ReadDHT : Rejected;
                break;
            case ReadSOS:
                if (!readMarkerPayload()) return;
                // A damaged length would move the scan's start into the
                // scan, or past the frame's end into the next one.
                if (skipping() && !scanHeaderFits(payloadLength)) failFrame(MsgBadScanHeader, this);
                currentFrame.scanBytes = cursor;
                state = SearchScanEnd;
                break;
            case SearchScanEnd:
                if (!doScan()) return;
                // The buffer is 4 MiB, so the distance always fits.
                currentFrame.scanLength = static_cast<int32_t>(cursor - currentFrame.scanBytes);
                state = AwaitNextFrame;
                break;
            case ReadBitmap:
                if (!readMarkerPayload()) return;
                // The bitmap's own size is known only with the frame's size,
                // which may still follow; it is checked when the frame completes.
                requirePayload(BitmapOffset, MsgShortBitmap);
                currentFrame.tileBitmap = payload + BitmapOffset;
                bitmapPayloadLength = payloadLength;
                state = AwaitTablesOrSOS;
                break;
            case AwaitTablesOrSOS:
                if (!awaitMarker(&code)) return;
                state = code == MarkerDQT ? ReadYTable : code == MarkerSOS ? ReadSOS : Rejected;
                break;
            case AwaitNextFrame:
                if (!awaitMarker(&code)) return;
                if (code == MarkerAPP13) {
                    state = ReadAPP13;
                    break;
                }
                // A frame followed by a foreign marker is still handed on
                // before the marker is rejected.
                state = code == MarkerSOI ? AwaitAPP0 : Rejected;
                if (completeFrame() && state == AwaitAPP0) beginFrame(false);
                break;
            case ReadAPP13: {
                if (!readMarkerPayload()) return;
                state = AwaitSOI;
                unsigned char* const app13 = payload;
                if (completeFrame() && skipping()) pendingAPP13 = app13;
                break;
            }
            case Rejected:
                failFrame(MsgNoGoodState, this);
            default:
                vorc::failInternal(MsgInternal, nullptr);
        }
    }
}

bool vorcFramewiseTesraDecoder::awaitMarker(unsigned char* code) {
    const bool skippingErrors = skipping();
    while (bytesLeft != 0) {
        const unsigned char byte = *cursor++;
        --bytesLeft;
        if (markerFFPending != 0) {
            // Under SkipFrame, FF fill bytes before a marker code are passed
            // over, as JPEG allows; the default policy rejects them.
            if (skippingErrors && byte == MarkerPrefix) continue;
            markerFFPending = 0;
            *code = byte;
            return true;
        }
        // Bytes other than FF between segments are passed over.
        if (byte == MarkerPrefix) markerFFPending = 1;
    }
    return false;
}

// A segment of a frame never holds another frame's tag comment; one that
// does has a damaged length that swallowed that frame's start. The length is
// searched too: its low byte may have been the comment's FF. (Any other bytes
// may stand in the free payloads, an embedded image's start among them.) A
// bitmap may hold any bits, so a damaged bitmap comment shows only in its
// sweep.
void vorcFramewiseTesraDecoder::checkPayloadOfFrame() {
    if (state == ReadBitmap) return;
    const unsigned char* const end = payload + payloadLength;
    for (const unsigned char* at = payload - 2; end - at >= 7; ++at) {
        at = static_cast<const unsigned char*>(std::memchr(at, MarkerPrefix, static_cast<size_t>(end - at) - 6));
        if (at == nullptr) return;
        if (at[1] == MarkerCOM && std::memcmp(at + 4, TagTSF, sizeof TagTSF - 1) == 0) failFrame(MsgSwallowedFrame, this);
    }
}

bool vorcFramewiseTesraDecoder::readMarkerPayload() {
    int32_t length = 0;
    if (payloadPhase == 0) {
        if (bytesLeft >= 2) {
            length = cursor[0] * 256 + cursor[1];
            cursor += 2;
            bytesLeft -= 2;
        } else {
            lengthHighByte = *cursor++;
            --bytesLeft;
            payloadPhase = 1;
            return false;
        }
    } else if (payloadPhase == 1) {
        length = lengthHighByte * 256 + *cursor++;
        --bytesLeft;
    }
    if (payloadPhase != 2) {
        // The length counts its own two bytes; anything smaller would make
        // the payload end before it starts.
        if (length < 2) failFrame(MsgBadLength, this);
        payloadLength = length - 2;
        payloadBytesToSkip = payloadLength;
        payload = cursor;
        payloadPhase = 2;
    }
    if (bytesLeft < payloadBytesToSkip) {
        cursor += bytesLeft;
        payloadBytesToSkip -= bytesLeft;
        bytesLeft = 0;
        return false;
    }
    cursor += payloadBytesToSkip;
    bytesLeft -= payloadBytesToSkip;
    payloadPhase = 0;
    lengthHighByte = 0;
    payloadBytesToSkip = 0;
    if (frameBegun && state != ReadAPP13 && skipping()) checkPayloadOfFrame();
    return true;
}

bool vorcFramewiseTesraDecoder::doScan() {
    while (bytesLeft != 0) {
        if (scanFFPending == 0) {
            // Stuffed FF 00 pairs are passed over without stopping.
            const unsigned char* const ff = vorc::dsp::selectedKernels().findScanMarker(cursor, cursor + bytesLeft);
            const int32_t passed = static_cast<int32_t>(ff - cursor);
            cursor += passed;
            bytesLeft -= passed;
            if (bytesLeft == 0) return false;
            ++cursor;
            --bytesLeft;
            scanFFPending = 1;
            continue;
        }
        const unsigned char next = *cursor++;
        --bytesLeft;
        scanFFPending = 0;
        if (next == MarkerEOI) return true;
        if (next != 0x00) failFrame(MsgInvalidScanEnd, nullptr);
    }
    return false;
}

bool vorcFramewiseTesraDecoder::seekStartOfImage() {
    while (bytesLeft != 0) {
        const unsigned char byte = *cursor++;
        --bytesLeft;
        ++skippedByteCount;
        seekWindow = seekWindow << 8 | byte;
        if ((seekWindow & TagWindowMask) == TagWindowPattern) {
            // The tag comment of a frame whose SOI is gone: it is lost, and
            // handed on as such, so that the frames after it keep their numbers.
            if (!ignoreNextTag) handOnLostFrame(streamOffsetOf(cursor) - 7);
            ignoreNextTag = false;
        }
        if (markerFFPending != 0 && byte == MarkerSOI) {
            // The FF D8 itself belongs to the frame found.
            skippedByteCount -= 2;
            markerFFPending = 0;
            seekingFrame = false;
            return true;
        }
        markerFFPending = byte == MarkerPrefix ? 1 : 0;
    }
    return false;
}

void vorcFramewiseTesraDecoder::handOnLostFrame(uint64_t tagOffset) {
    frameOffset = tagOffset;
    frameDamaged = true;
    pictureStale = true;
    backEnd->errorEncountered();
    backEnd->frameComplete();
    ++damagedFrameCount;
    ++handedOnFrames;
}

void vorcFramewiseTesraDecoder::beginFrame(bool foundBySearch) {
    frameBegun = true;
    frameFoundBySearch = foundBySearch;
    frameConfirmed = false;
    frameDamaged = false;
    frameStart = cursor;
    recoveryStart = cursor;
    frameOffset = streamOffsetOf(cursor) - 2;
    // An SOI after the APP13 segment shows that its length was right.
    pendingAPP13 = nullptr;
    // Whatever came before the SOI is of no more use.
    completedBytes = static_cast<int32_t>(cursor - prefetchBuffer.get());
}

void vorcFramewiseTesraDecoder::confirmFrame() {
    frameConfirmed = true;
    // Right after the tag: the comment's own length may be the damaged one.
    recoveryStart = payload + (sizeof TagTSF - 1);
}

bool vorcFramewiseTesraDecoder::completeFrame() {
    // The frame ends here even when its sweep fails: the next frame's
    // markers have already been read.
    frameInHand_ = true;
    try {
        if (currentFrame.tileBitmap != nullptr) {
            const int64_t tiles = static_cast<int64_t>(currentFrame.tileColumns) * currentFrame.tileRows;
            if (bitmapPayloadLength - BitmapOffset < (tiles + 7) / 8) vorc::failStream(MsgShortBitmap, this);
        }
        if (currentFrame.width != reportedWidth || currentFrame.height != reportedHeight) {
            backEnd->videoResolutionChanged(currentFrame.width, currentFrame.height);
            reportedWidth = currentFrame.width;
            reportedHeight = currentFrame.height;
        }
        scanDecoder->performScanSweep(&currentFrame);
    } catch (const vorc::detail::StreamErrorSkipped& error) {
        recordStreamError(error.message, cursor);
        backEnd->errorEncountered();
        frameDamaged = true;
    }
    if (frameDamaged) {
        pictureStale = true;
        ++damagedFrameCount;
    } else if (currentFrame.tileBitmap == nullptr) {
        pictureStale = false;
    }
    backEnd->frameComplete();
    frameInHand_ = false;
    ++handedOnFrames;
    frameBegun = false;

    // The frame's bytes are released by the next decode call.
    completedBytes = static_cast<int32_t>(cursor - prefetchBuffer.get());
    currentFrame.reset(reportedWidth, reportedHeight);
    if (!frameDamaged || !skipping()) return true;
    // A damaged frame may have swallowed the start of the next: the search
    // goes through what came after its tag comment once more.
    skippedByteCount += static_cast<uint64_t>(recoveryStart - frameStart);
    bytesLeft += static_cast<int32_t>(cursor - recoveryStart);
    cursor = recoveryStart;
    startSearch(!frameConfirmed);
    return false;
}

void vorcFramewiseTesraDecoder::finishStream() {
    unsigned char* const end = prefetchBuffer.get() + prefetchFill;
    while (frameBegun) {
        if (state == AwaitNextFrame || state == ReadAPP13) {
            // The frame's EOI has arrived: it is whole. Under SkipFrame, an
            // APP13 cut off by the end may have swallowed further frames.
            unsigned char* const rest = state == ReadAPP13 && payloadPhase == 2 ? payload : end;
            cursor = end;
            bytesLeft = 0;
            markerFFPending = 0;
            payloadPhase = 0;
            lengthHighByte = 0;
            payloadBytesToSkip = 0;
            state = AwaitSOI;
            if (!completeFrame()) {
                feedPiece(cursor, bytesLeft);
            } else if (skipping() && rest != end) {
                startSearch(false);
                feedPiece(rest, static_cast<int>(end - rest));
            }
            continue;
        }
        cutOffFrameOffset = frameOffset;
        if (!skipping()) return;
        // Under SkipFrame a frame cut off by the end is damaged; its search
        // for the next SOI may find frames that a damaged length swallowed.
        try {
            failFrame(MsgStreamEnded, this);
        } catch (const vorc::detail::StreamErrorSkipped& error) {
            cursor = end;
            bytesLeft = 0;
            unsigned char* const resume = skipDamagedFrame(error.message);
            feedPiece(resume, static_cast<int>(end - resume));
        }
    }
}

// Once per decode call, not at every frame: a piece of many small frames
// would otherwise be moved once per frame, in time quadratic in its size.
void vorcFramewiseTesraDecoder::releaseCompletedFrames() {
    unsigned char* const start = prefetchBuffer.get();
    // Between frames every byte fed so far is used up, but for a trusted
    // APP13 segment's bytes, kept for a while.
    if (state == AwaitSOI && !frameBegun) completedBytes = prefetchFill;
    if (pendingAPP13 != nullptr) {
        const int32_t held = static_cast<int32_t>(pendingAPP13 - start);
        if (prefetchFill - held > LongestAPP13Hold) {
            pendingAPP13 = nullptr;
        } else if (completedBytes > held) {
            completedBytes = held;
        }
    }
    if (completedBytes == 0) return;
    for (int32_t i = std::max(completedBytes - TagLookBackBytes, 0); i < completedBytes; ++i)
        releasedTail = releasedTail << 8 | start[i];
    unsigned char* const kept = start + completedBytes;
    const int32_t keptBytes = prefetchFill - completedBytes;
    if (keptBytes != 0) std::memmove(start, kept, static_cast<size_t>(keptBytes));
    // What the next frame has collected so far moves with its bytes.
    for (unsigned char** pointer : {&payload, &currentFrame.scanBytes, &currentFrame.tileBitmap, &frameStart,
                                    &recoveryStart, &pendingAPP13}) {
        if (*pointer != nullptr && *pointer >= kept) *pointer -= completedBytes;
    }
    bufferStreamOffset += static_cast<uint64_t>(completedBytes);
    prefetchFill = keptBytes;
    completedBytes = 0;
}

void vorcFramewiseTesraDecoder::requirePayload(int32_t needed, const char* failureMessage) {
    if (payloadLength < needed) failFrame(failureMessage, this);
}

bool vorcFramewiseTesraDecoder::payloadStartsWith(const char* tag, int32_t tagLength) const {
    return payloadLength >= tagLength && std::memcmp(payload, tag, static_cast<size_t>(tagLength)) == 0;
}
