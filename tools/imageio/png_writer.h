// PNG output of the vorc tool (libpng): writes a decoded RGB picture, such
// as the buffered back end's, as an 8-bit truecolour image.
#ifndef VORC_TOOLS_IMAGEIO_PNG_WRITER_H
#define VORC_TOOLS_IMAGEIO_PNG_WRITER_H

#include <cstdio>
#include <vector>

// rows[i] is the picture's i-th row from the top, width * 3 bytes of R, G, B.
// False when libpng reports an error or the file cannot be written; errno
// then holds the system's reason for a failed write.
bool writeRgbPng(std::FILE* out, int width, int height, const std::vector<const unsigned char*>& rows);

#endif
