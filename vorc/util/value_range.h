// Tracks the smallest and largest of a series of integers, for applications
// that watch values passing through their own code.
#ifndef VORC_UTIL_VALUE_RANGE_H
#define VORC_UTIL_VALUE_RANGE_H

#include <cstdint>

class vorcValueRange {
public:
    vorcValueRange();

    void feedValue(int value);
    // Prints "[ min , max ]" to standard output, without a line end; an
    // empty range prints zeros.
    void dumpRange();

    int32_t minValue;
    int32_t maxValue;
    bool empty;
};

#endif
