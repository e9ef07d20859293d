// The functions of the Matroska writer module (vorc-matroska.so), which the
// vorc tool loads the first time it writes a Matroska file. libmatroska and
// libebml are shared C++ libraries: linked into the tool they would load the
// shared C++ run-time at every start, a few milliseconds that walking a
// stream file never needs. Only plain C types cross between the tool and the
// module, and no exception does, because each links its own C++ run-time.
#ifndef VORC_TOOLS_MATROSKA_MATROSKA_MODULE_H
#define VORC_TOOLS_MATROSKA_MATROSKA_MODULE_H

#include <cstddef>
#include <cstdint>

extern "C" {
struct VorcMatroskaWriter;

// Takes fd (open for reading and writing, empty); NULL when out of memory,
// fd then closed.
typedef VorcMatroskaWriter* (*VorcMatroskaOpen)(int fd);
// One JPEG image received receivedMillis after the epoch; the first image
// gives the track its picture size.
typedef void (*VorcMatroskaAdd)(VorcMatroskaWriter* writer, const uint8_t* jpeg, size_t size,
                                int64_t receivedMillis, int width, int height);
// Whether a write or seek failed so far.
typedef int (*VorcMatroskaFailed)(const VorcMatroskaWriter* writer);
// Writes the index, sizes and duration, closes fd and frees writer; 1 when
// every write succeeded.
typedef int (*VorcMatroskaClose)(VorcMatroskaWriter* writer);
}

// The names the module exports them under.
#define VORC_MATROSKA_OPEN_NAME "vorc_matroska_open"
#define VORC_MATROSKA_ADD_NAME "vorc_matroska_add"
#define VORC_MATROSKA_FAILED_NAME "vorc_matroska_failed"
#define VORC_MATROSKA_CLOSE_NAME "vorc_matroska_close"

#endif
