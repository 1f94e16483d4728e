// Fuzz target of the column reader's number scanning: every text is read
// once bounded by its own end and once with the eight-byte loads allowed
// (both must agree), and what is accepted must equal the C library's
// correctly rounded strtod / exact strtoll of the same text.
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "column_reader/number_parse.hpp"
#include "column_reader/utf8_check.hpp"

using namespace tv::reader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    // The text, then bytes the scanner may load but must not read as text.
    std::vector<char> buf(size + 32, '7');
    std::memcpy(buf.data(), data, size);
    const char *b = buf.data();
    const char *e = b + size;
    const char marks[2] = {static_cast<char>(size ? data[0] : ','), ','};

    double bounded = 0, loaded = 0;
    const bool ok = scan_float(b, e, '.', '\0', &bounded);
    const bool ok_loaded = scan_float(b, e, '.', '\0', &loaded, b + buf.size());
    assert(ok == ok_loaded);
    if (ok) {
        assert(std::memcmp(&bounded, &loaded, sizeof bounded) == 0 || (std::isnan(bounded) && std::isnan(loaded)));
        std::vector<char> copy(b, e);
        copy.push_back('\0');
        char *end = nullptr;
        const double want = std::strtod(copy.data(), &end);
        if (!std::isnan(want))
            assert(std::memcmp(&want, &bounded, sizeof want) == 0);
    }
    double with_marks;
    (void)scan_float(b, e, marks[0] == '.' ? ',' : '.', marks[1], &with_marks);

    IntValue v{0, false};
    if (scan_int64(b, e, '\0', &v) == IntScan::Ok) {
        std::vector<char> copy(b, e);
        copy.push_back('\0');
        errno = 0;
        const long long want = std::strtoll(copy.data(), nullptr, 10);
        assert(errno == 0 && want == v.value);
    }
    (void)scan_int64(b, e, marks[0], &v);
    (void)utf8_valid(b, size);
    return 0;
}
