// Motion zones as text, the way `vorc motion --zone` and `vorc serve`'s
// configuration file give them: [NAME=][-]X,Y,WxH, a rectangle in pixels,
// widened to whole tiles; rectangles of one NAME make one zone, a nameless
// one is a zone of its own (named by its number), and '-' leaves the
// rectangle out of the zone NAME or, without a NAME, out of every zone.
#ifndef VORC_TOOLS_MOTION_ZONE_OPTIONS_H
#define VORC_TOOLS_MOTION_ZONE_OPTIONS_H

#include <string>
#include <vector>

#include "vorc/motion/motion_detector.h"

struct ZoneOption {
    std::string name;  // empty: a zone of its own, or with exclude every zone
    vorc::ZoneArea area;
};

// False when the text is not [NAME=][-]X,Y,WxH.
bool parseZone(const char* text, ZoneOption* zone);

// The zones of the options, in the order their names first came; none
// (the detector's whole picture) for no options.
std::vector<vorc::Zone> zonesOf(const std::vector<ZoneOption>& options);

#endif
