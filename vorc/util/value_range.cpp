// Minimum/maximum tracker.
#include "vorc/util/value_range.h"

#include <cstdio>

vorcValueRange::vorcValueRange() : minValue(0), maxValue(0), empty(true) {}

void vorcValueRange::feedValue(int value) {
    if (empty) {
        minValue = value;
        maxValue = value;
        empty = false;
        return;
    }
    if (value < minValue) minValue = value;
    if (value > maxValue) maxValue = value;
}

void vorcValueRange::dumpRange() { std::printf("[ %7d , %7d ]", minValue, maxValue); }
