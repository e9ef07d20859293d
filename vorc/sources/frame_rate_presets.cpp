// Frame-rate preset tables. They are plain writable globals so that an
// application may adapt them to its camera.
#include "vorc/sources/frame_rate_presets.h"

namespace vorc {

int32_t FrameRatePresetNum = 12;

float FrameRatePresets[12] = {0.0f, 25.0f, 12.0f, 6.0f, 4.0f, 3.0f, 2.0f, 1.0f, 0.5f, 0.33f, 0.25f, 0.2f};

// Single-digit names start with a blank so that a list of them lines up.
const char* FrameRatePresetNames[12] = {"Maximum", "25 fps", "12 fps", " 6 fps", " 4 fps", " 3 fps",
                                        " 2 fps",  " 1 fps", "1/2 fps", "1/3 fps", "1/4 fps", "1/5 fps"};

}  // namespace vorc
