// Tokenizer throughput without Python: the three generated inputs of
// bench_tokenizer.py (numeric, quoted text, wide) tokenized from memory
// through an in-memory read function (256 KiB reads), in batches of 2000
// rows that are discarded after use, as a client reads.  CPU time, best of
// several runs; the peer is one pass of memchr over the same bytes.
//
//   python benchmarks/native.py bench_tokenizer_native [MB] [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <time.h>
#include <vector>

#include "tokenizer/text_parser.h"

namespace {

double cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Memory {
    const std::string *data;
    size_t pos;
};

char *read_memory(void *handle, size_t want, size_t *got, int *status, const char *) noexcept
{
    auto *m = static_cast<Memory *>(handle);
    const size_t n = std::min(want, m->data->size() - m->pos);
    char *p = const_cast<char *>(m->data->data()) + m->pos;
    m->pos += n;
    *got = n;
    *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
    return p;
}

// The block repeated to `size` bytes, cut after the last whole row.
std::string repeated(const std::string &block, size_t size)
{
    std::string out;
    while (out.size() < size)
        out += block;
    out.resize(size);
    out.resize(out.rfind('\n') + 1);
    return out;
}

std::string numeric(size_t size)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1e4, 1e4);
    std::string block;
    char buf[32];
    for (int line = 0; line < 997; ++line) {
        for (int c = 0; c < 10; ++c) {
            std::snprintf(buf, sizeof buf, "%s%.6f", c ? "," : "", u(rng));
            block += buf;
        }
        block += '\n';
    }
    return repeated(block, size);
}

std::string text(size_t size)
{
    std::mt19937 rng(2);
    const char *words[] = {"alpha", "beta, gamma", "say \"\"hi\"\"", "x", "delta epsilon", "a,b,c", "q"};
    std::string block;
    for (int line = 0; line < 997; ++line) {
        for (int c = 0; c < 6; ++c) {
            if (c)
                block += ',';
            block += '"';
            block += words[rng() % 7];
            block += '"';
        }
        block += '\n';
    }
    return repeated(block, size);
}

std::string wide(size_t size)
{
    std::mt19937 rng(3);
    std::string block;
    for (int line = 0; line < 97; ++line) {
        for (int c = 0; c < 200; ++c) {
            if (c)
                block += ',';
            block += std::to_string(rng() % 100);
        }
        block += '\n';
    }
    return repeated(block, size);
}

double tokenize_batches(const std::string &data, bool doubling)
{
    Memory m{&data, 0};
    TextParser *p = tv::parser_alloc();
    tv::parser_apply_defaults(p);
    tv::parser_setup(p);
    p->quote_doubling = doubling;
    p->src_handle = &m;
    p->read_fn = read_memory;
    p->chunk_bytes = 256 * 1024;
    p->last_header_row = UINT64_MAX;
    const double t0 = cpu_seconds();
    while (p->tok_state != Finished) {
        if (tv::tokenize_row_count(p, 2000, nullptr) != 0) {
            std::fprintf(stderr, "error: %s\n", p->error_text ? p->error_text : "?");
            std::exit(1);
        }
        tv::parser_discard_rows(p, p->row_count);
    }
    const double t = cpu_seconds() - t0;
    tv::parser_release(p);
    tv::parser_dealloc(p);
    return t;
}

double count_lines(const std::string &data)
{
    const double t0 = cpu_seconds();
    size_t n = 0;
    const char *p = data.data(), *end = p + data.size();
    while ((p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr) {
        ++n;
        ++p;
    }
    const double t = cpu_seconds() - t0;
    if (n == 0)
        std::exit(2);
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t size = static_cast<size_t>((argc > 1 ? std::atof(argv[1]) : 50) * 1e6);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("%-8s %8s %12s %12s %10s\n", "file", "MB", "batch MB/s", "memchr MB/s", "ratio");
    struct {
        const char *name;
        std::string (*make)(size_t);
        bool doubling;
    } files[] = {{"numeric", numeric, false}, {"text", text, true}, {"wide", wide, false}};
    for (const auto &f : files) {
        const std::string data = f.make(size);
        double best = 1e9, floor = 1e9;
        for (int i = 0; i < runs; ++i) {
            best = std::min(best, tokenize_batches(data, f.doubling));
            floor = std::min(floor, count_lines(data));
        }
        const double mb = data.size() / 1e6;
        std::printf("%-8s %8.1f %12.0f %12.0f %10.3f\n", f.name, mb, mb / best, mb / floor, floor / best);
    }
}
