// Shorthand for building date-time records in the native date-time tests.
#pragma once

#include <cstdint>
#include <cstring>

#include "datetime_core/np_datetime.h"

inline npy_datetimestruct make(int64_t y, int mo = 1, int d = 1, int h = 0, int mi = 0, int s = 0, int us = 0,
                               int ps = 0, int as = 0)
{
    npy_datetimestruct r;
    std::memset(&r, 0, sizeof(r));
    r.year = y;
    r.month = mo;
    r.day = d;
    r.hour = h;
    r.min = mi;
    r.sec = s;
    r.us = us;
    r.ps = ps;
    r.as = as;
    return r;
}
