// The plain stream layout: what the stream encoder writes unless told otherwise.
#include "vorc/encode/stream_layout.h"

namespace vorc {

StreamLayout::~StreamLayout() = default;

std::vector<uint8_t> StreamLayout::gapBefore(uint8_t) { return {}; }

std::vector<uint8_t> StreamLayout::app0Payload(std::vector<uint8_t> plain) { return plain; }

bool StreamLayout::imageTag(bool plain) { return plain; }

std::vector<uint8_t> StreamLayout::afterTag(bool) { return {}; }

void StreamLayout::bitmapHeader(uint8_t (&)[12]) {}

bool StreamLayout::tablesInPartialFrame(bool plain) { return plain; }

bool StreamLayout::namePictureSize() { return true; }

int StreamLayout::huffmanTables() { return 4; }

std::optional<std::vector<uint8_t>> StreamLayout::app13After() { return std::nullopt; }

}  // namespace vorc
