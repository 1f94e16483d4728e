// Timing loops for the exported calendar functions, called through the
// pointers taken from almanac's capsules (built and loaded by bench_native.py).
// Times are this thread's CPU time, so that other work on a shared machine
// inflates them less than wall-clock time would.
#include <cstdint>
#include <ctime>

namespace {

struct IsoCalendar {
    int32_t year, week, day;
};
using IsoFn = IsoCalendar (*)(int, int, int, int);
using DowFn = int (*)(int, int, int);

// Dates walk years 1600.., months 1..12 and days 1..28, so that every branch
// of the formulas is taken in a realistic mix.
template <typename Body>
double time_loop(int64_t n, Body body)
{
    timespec start, stop;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    int y = 1600, m = 1, d = 1;
    for (int64_t i = 0; i < n; ++i) {
        body(y, m, d);
        if (++d > 28) {
            d = 1;
            if (++m > 12) {
                m = 1;
                if (++y > 2400)
                    y = 1600;
            }
        }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
    return static_cast<double>(stop.tv_sec - start.tv_sec) + 1e-9 * static_cast<double>(stop.tv_nsec - start.tv_nsec);
}

// A straightforward peer: weekday from a day count of 400-year eras.
inline int weekday_by_day_count(int y, int m, int d)
{
    const int64_t yy = y - (m <= 2);
    const int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    const int64_t yoe = yy - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    const int64_t w = (days + 3) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

}  // namespace

extern "C" {

// Each returns seconds for n calls and stores a checksum so that nothing is
// optimised away.
double time_iso(void *fn, int64_t n, int64_t *checksum)
{
    IsoFn volatile f = reinterpret_cast<IsoFn>(fn);
    int64_t sum = 0;
    const double t = time_loop(n, [&](int y, int m, int d) {
        const IsoCalendar r = f(y, m, d, 0);
        sum += r.year + r.week + r.day;
    });
    *checksum = sum;
    return t;
}

double time_dayofweek(void *fn, int64_t n, int64_t *checksum)
{
    DowFn volatile f = reinterpret_cast<DowFn>(fn);
    int64_t sum = 0;
    const double t = time_loop(n, [&](int y, int m, int d) { sum += f(y, m, d); });
    *checksum = sum;
    return t;
}

double time_peer_weekday(int64_t n, int64_t *checksum)
{
    int64_t sum = 0;
    const double t = time_loop(n, [&](int y, int m, int d) { sum += weekday_by_day_count(y, m, d); });
    *checksum = sum;
    return t;
}

double time_loop_alone(int64_t n, int64_t *checksum)
{
    int64_t sum = 0;
    const double t = time_loop(n, [&](int y, int m, int d) { sum += y ^ m ^ d; });
    *checksum = sum;
    return t;
}
}
