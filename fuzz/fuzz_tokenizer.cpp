// Fuzz target of the tokenizer: random dialects, random inputs, random
// chunkings.
//
// Input layout: bytes 0 to 5 choose the dialect and the skip options, byte 6
// the two read sizes of the chunked runs (1 to 8 bytes, and 1 to 61 in steps
// of 4, in turn), byte 7 the row batch of the batched run; the rest is the
// text (at most fuzz::kMaxText bytes).  Every input is tokenized three ways
// (one read, reads of the chosen sizes, and row batches with the buffers
// shrunk and all kept rows but the last discarded between batches); all
// three must give the same rows, counts, errors and warnings, and the tables
// must be consistent after every run.  The one-read run uses the portable
// block scanner, the others the process's (SSE2 on x86-64).
#include "tokenizer_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    using namespace fuzz;
    if (size < kConfigBytes)
        return 0;
    if (size - kConfigBytes > kMaxText)
        return -1;
    static Reader reader;
    static Outcome whole, chunked, batched;
    const uint8_t *cfg = input;
    const uint8_t *text = input + kConfigBytes;
    const size_t len = size - kConfigBytes;
    const size_t sizes[2] = {static_cast<size_t>(input[6] & 7) + 1, static_cast<size_t>(input[6] >> 4) * 4 + 1};

    run(reader, cfg, text, len, RunOptions{nullptr, 0, 0, -1, true}, whole);
    run(reader, cfg, text, len, RunOptions{sizes, 2, 0, -1}, chunked);
    if (!(whole == chunked))
        fail();
    run(reader, cfg, text, len, RunOptions{sizes, 2, static_cast<size_t>(input[7] & 3) + 1, -1}, batched);
    if (!(whole == batched))
        fail();
    return 0;
}
