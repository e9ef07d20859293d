// Frame rates with display names for applications that let a user choose
// the rate at which a live camera stream is requested. The library itself
// never reads these tables.
#ifndef VORC_SOURCES_FRAME_RATE_PRESETS_H
#define VORC_SOURCES_FRAME_RATE_PRESETS_H

#include <cstdint>

namespace vorc {

extern int32_t FrameRatePresetNum;
// Frames per second; 0 asks the camera for its maximum rate.
extern float FrameRatePresets[12];
extern const char* FrameRatePresetNames[12];

}  // namespace vorc

#endif
