// Fuzz target of blank-row dropping: on text in which every line holds a
// byte other than a blank, dropping blank rows must change nothing.
//
// Input layout as for fuzz_tokenizer: bytes 0 to 5 choose the dialect and
// the skip options (blank-row dropping is set by the runs), byte 6 the read
// sizes and byte 7 the row batch of the run that drops blank rows; the rest
// is the text.  Every line of the text that is empty or holds only blanks
// (space, tab) gets an "x" before its terminator, then the text is
// tokenized with drop_blank_rows off (one read, portable block scanner) and
// on (the chosen reads and batches, the process's scanner): rows, counts,
// errors and warnings must be the same.
#include "tokenizer_harness.h"

namespace {

// Copies text to out, giving every line a byte other than a blank.  Lines
// end at the row terminator: row_end, or LF, CR and CR LF when it is NUL.
// A byte-order mark at the start is no text of the first line.
void give_every_line_text(const uint8_t *cfg, const uint8_t *text, size_t len, std::string &out)
{
    const char row_end = fuzz::kEnds[cfg[1] % 6];
    out.clear();
    size_t i = 0;
    if (len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        out.append("\xEF\xBB\xBF");
        i = 3;
    }
    bool open = false;  // the current line has bytes
    bool has_text = false;
    for (; i < len; ++i) {
        const char b = static_cast<char>(text[i]);
        const bool ends = row_end != '\0' ? b == row_end : (b == '\n' || b == '\r');
        if (!ends) {
            out.push_back(b);
            open = true;
            has_text = has_text || (b != ' ' && b != '\t');
            continue;
        }
        if (!has_text)
            out.push_back('x');
        out.push_back(b);
        if (row_end == '\0' && b == '\r' && i + 1 < len && text[i + 1] == '\n') {
            out.push_back('\n');
            ++i;
        }
        open = false;
        has_text = false;
    }
    if (open && !has_text)
        out.push_back('x');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    using namespace fuzz;
    if (size < kConfigBytes)
        return 0;
    // Every line may gain a byte: the text stays within kMaxText.
    if (size - kConfigBytes > kMaxText / 2)
        return -1;
    static Reader reader;
    static Outcome kept, dropped;
    static std::string text;
    give_every_line_text(input, input + kConfigBytes, size - kConfigBytes, text);
    const uint8_t *data = reinterpret_cast<const uint8_t *>(text.data());
    const size_t sizes[2] = {static_cast<size_t>(input[6] & 7) + 1, static_cast<size_t>(input[6] >> 4) * 4 + 1};
    const bool chunked = (input[7] & 4) != 0;

    run(reader, input, data, text.size(), RunOptions{nullptr, 0, 0, 0, true}, kept);
    run(reader, input, data, text.size(),
        RunOptions{chunked ? sizes : nullptr, chunked ? 2u : 0u, static_cast<size_t>(input[7] & 3), 1}, dropped);
    if (!(kept == dropped))
        fail();
    return 0;
}
