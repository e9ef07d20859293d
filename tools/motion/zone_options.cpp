// Zone rectangles read from text and gathered into zones by name.
#include "tools/motion/zone_options.h"

#include <algorithm>
#include <cstdio>

bool parseZone(const char* text, ZoneOption* zone) {
    std::string zoneText = text;
    if (const size_t equals = zoneText.find('='); equals != std::string::npos) {
        zone->name = zoneText.substr(0, equals);
        zoneText.erase(0, equals + 1);
        if (zone->name.empty()) return false;
    }
    vorc::ZoneArea& area = zone->area;
    area.unit = vorc::ZoneArea::Unit::Pixels;
    area.exclude = !zoneText.empty() && zoneText[0] == '-';
    if (area.exclude) zoneText.erase(0, 1);
    int consumed = 0;
    return std::sscanf(zoneText.c_str(), "%d,%d,%dx%d%n", &area.left, &area.top, &area.width, &area.height, &consumed) == 4 &&
           static_cast<size_t>(consumed) == zoneText.size() && zoneText[0] >= '0' && zoneText[0] <= '9' && area.left >= 0 &&
           area.top >= 0 && area.width >= 1 && area.height >= 1;
}

// The zones of the --zone options, in the order their names first came.
std::vector<vorc::Zone> zonesOf(const std::vector<ZoneOption>& options) {
    std::vector<vorc::Zone> zones;
    std::vector<vorc::ZoneArea> everywhere;
    for (const ZoneOption& option : options) {
        if (option.name.empty() && option.area.exclude) {
            everywhere.push_back(option.area);
            continue;
        }
        const std::string name = option.name.empty() ? std::to_string(zones.size() + 1) : option.name;
        auto zone = option.name.empty() ? zones.end()
                                        : std::find_if(zones.begin(), zones.end(),
                                                       [&](const vorc::Zone& z) { return z.name == name; });
        if (zone == zones.end()) zone = zones.insert(zones.end(), vorc::Zone{name, {}});
        zone->areas.push_back(option.area);
    }
    if (zones.empty() && !everywhere.empty()) zones.push_back(vorc::Zone{"all", {}});
    for (vorc::Zone& zone : zones) zone.areas.insert(zone.areas.end(), everywhere.begin(), everywhere.end());
    return zones;
}
