// The tokenizer's build without vector instructions: runs of ordinary bytes
// are found one byte at a time, through the class table.  Every platform
// has it; tokenizer_select.cpp chooses among the builds.
#include "tokenizer/input.h"

namespace tv {

namespace {

struct PortableBlocks {
    static constexpr bool available = false;
    static constexpr unsigned bits_per_byte = 1;
    using Vec = uint8_t;
};

}  // namespace

int tokenize_run_portable(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept
{
    return run<PortableBlocks>(p, quota, encoding_errors);
}

}  // namespace tv
