// The Reader's last step after the back end: the buffered back end's
// bottom-up RGB picture copied into a frame, top row first, in the frame's
// pixel format. Grey and YCbCr values use the raw frame dumper's conversion,
// so an I420 frame holds the dumper's planes (with U and V in I420 order).
#ifndef VORC_READER_PICTURE_CONVERSION_H
#define VORC_READER_PICTURE_CONVERSION_H

#include "vorc/backends/buffered_backend.h"
#include "vorc/reader.h"

namespace vorc {

// frame has the picture's size; the back end holds a picture.
void convertPicture(const vorcBufferedTesraDecoderBackEnd& picture, Frame* frame);

}  // namespace vorc

#endif
