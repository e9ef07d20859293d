// Differential fuzz target: damage is found, counted and contained. The input
// builds a valid stream (valid_stream.h) and damages it in one place: a bit
// flipped, a byte or a length field overwritten, a few bytes inserted or
// removed. Read under SkipFrame, the damaged stream must give every frame
// whose EOI lies before the damage exactly as the clean stream does, must
// hand on at least as many frames (a frame lost to the damage comes out as
// damaged, so the frames after it keep their numbers), and from the first
// full frame after the damage that names its size on, the same pictures and
// images, none of them damaged or stale. Damage that leaves a valid stream
// behind (a changed pixel value, say) cannot be told from one and is not judged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "exact_size_parser.h"
#include "valid_stream.h"

namespace {

constexpr int MaxFrames = 10;
constexpr int MaxTiles = 30;

struct Damage {
    size_t at = 0;     // first byte touched
    size_t after = 0;  // first byte of the clean stream after the damage
};

Damage damage(std::vector<uint8_t>& stream, vorcfuzz::InputBytes& damageInput) {
    const uint8_t kind = damageInput.next() % 5;
    const size_t at = static_cast<size_t>(damageInput.upTo(0xFFFF)) * stream.size() / 0x10000;
    switch (kind) {
        case 0:
            stream[at] = static_cast<uint8_t>(stream[at] ^ (1u << (damageInput.next() % 8)));
            return {at, at + 1};
        case 1:
            stream[at] = damageInput.next();
            return {at, at + 1};
        case 2: {
            // A length field, or any two bytes, set anew.
            const size_t end = std::min(stream.size(), at + 2);
            for (size_t i = at; i < end; ++i) stream[i] = damageInput.next();
            return {at, end};
        }
        case 3: {
            std::vector<uint8_t> inserted(1 + damageInput.next() % 8);
            for (uint8_t& byte : inserted) byte = damageInput.next();
            stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
            return {at, at};
        }
        default: {
            const size_t end = std::min(stream.size(), at + 1 + damageInput.next() % 4);
            stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(end));
            return {at, end};
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return -1;
    vorcfuzz::silenceStatusMessages();
    vorcfuzz::InputBytes damageInput(data + 1, 5);
    vorcfuzz::InputBytes input(data + 6, size - 6);
    const vorcfuzz::ValidStream clean = vorcfuzz::buildValidStream(input, MaxFrames, MaxTiles);
    if (clean.bytes.empty()) return -1;
    std::vector<uint8_t> stream = clean.bytes;
    const Damage hit = damage(stream, damageInput);
    if (stream.empty()) return -1;

    const vorcfuzz::ChainTrace got = vorcfuzz::traceChains(stream, true, data[0], MaxTiles);
    if (got.damagedFrames == 0 && got.skippedBytes == 0 && !got.streamError) return 0;
    const vorcfuzz::ChainTrace expected = vorcfuzz::traceChains(clean.bytes, true, data[0], MaxTiles);

    const size_t frames = clean.frameStarts.size();
    if (got.framesHandedOn < frames || got.damaged.size() < frames)
        vorcfuzz::failCheck("damaged stream", "a frame was lost without being counted");
    for (size_t k = 0; k < frames && clean.eoiEnds[k] <= hit.at; ++k) {
        if (got.damaged[k] != expected.damaged[k] || got.pictures[k] != expected.pictures[k] ||
            got.imageOfFrame[k] != expected.imageOfFrame[k])
            vorcfuzz::failCheck("damaged stream", "a frame before the damage changed");
    }
    // The frames after the damage, matched from the end of the stream.
    const size_t extra = got.damaged.size() - frames;
    for (size_t k = 0, settled = false; k < frames; ++k) {
        if (!settled) settled = clean.frameStarts[k] >= hit.after && clean.fullFrames[k] && clean.namesSize[k];
        if (!settled) continue;
        if (got.damaged[k + extra] || got.stale[k + extra] || got.pictures[k + extra] != expected.pictures[k] ||
            got.imageOfFrame[k + extra] != expected.imageOfFrame[k])
            vorcfuzz::failCheck("damaged stream", "a frame after the next full frame is not exact");
    }
    return 0;
}
