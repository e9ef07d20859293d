// Ownership rules of the decoder interfaces: a decoder destroys what it owns.
#include "vorc/core/stream_interfaces.h"

vorcStreamDecoder::vorcStreamDecoder(vorcStreamSource* source) : source(source) {}

vorcStreamDecoder::~vorcStreamDecoder() { delete source; }

bool vorcStreamDecoder::sourceStillUp() { return source->stillUp(); }

vorcTesraDecoder::vorcTesraDecoder(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd)
    : vorcStreamDecoder(source), backEnd(backEnd) {}

vorcTesraDecoder::~vorcTesraDecoder() { delete backEnd; }

vorcTesraDecoderBackEnd* vorcTesraDecoder::getBackEnd() { return backEnd; }
