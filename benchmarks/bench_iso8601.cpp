// Native timing of the ISO 8601 core: parses every NUL-separated text of a
// file, then formats one record per text at nanoseconds.  Times are CPU time
// of the process (best of three), so that other work on a shared machine
// does not count.  Prints
// "parse_ns_per_item format_ns_per_item checksum"; driven by bench_iso8601.py,
// which compares the figures with the Python-level peers in the same run.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <time.h>

#include "datetime_core/iso8601_format.h"
#include "datetime_core/iso8601_parser.h"

using namespace tv::dt;

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TEXTS_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<const char *> texts;
    std::vector<int> lengths;
    for (size_t pos = 0; pos < blob.size();) {
        size_t end = blob.find('\0', pos);
        if (end == std::string::npos)
            end = blob.size();
        texts.push_back(blob.data() + pos);
        lengths.push_back(static_cast<int>(end - pos));
        pos = end + 1;
    }
    const size_t n = texts.size();
    std::vector<npy_datetimestruct> records(n);
    auto cpu_seconds = [] {
        timespec ts;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    };
    long long checksum = 0;

    double best_parse = 1e30;
    for (int round = 0; round < 3; ++round) {
        double t0 = cpu_seconds();
        for (size_t i = 0; i < n; ++i) {
            int unit = 0, has_zone = 0, offset = 0;
            DtError err;
            if (parse_iso8601(texts[i], lengths[i], &records[i], &unit, &has_zone, &offset, "", 0, TV_FORMAT_INFER,
                              &err) != 0) {
                std::fprintf(stderr, "parse failed: %.*s\n", lengths[i], texts[i]);
                return 1;
            }
            checksum += unit + offset;
        }
        best_parse = std::min(best_parse, cpu_seconds() - t0);
    }

    double best_format = 1e30;
    char buf[64];
    for (int round = 0; round < 3; ++round) {
        double t0 = cpu_seconds();
        for (size_t i = 0; i < n; ++i) {
            DtError err;
            if (format_iso8601(&records[i], buf, sizeof(buf), 0, NPY_FR_ns, &err) != 0)
                return 1;
            checksum += buf[18];
        }
        best_format = std::min(best_format, cpu_seconds() - t0);
    }
    std::printf("%.3f %.3f %lld\n", best_parse * 1e9 / static_cast<double>(n),
                best_format * 1e9 / static_cast<double>(n), checksum);
    return 0;
}
