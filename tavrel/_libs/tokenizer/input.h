// Input handling of a tokenizer run: reads from read_fn, the byte-order mark
// at the start of the input (bytes of it held back until the next byte
// decides), the reservation made for each chunk before it is processed, and
// the end of the data.  The bytes themselves go to the state machine.
//
// Everything here has internal linkage (see block_scan.h).
#pragma once

#include <stdio.h>
#include <string.h>

#include "tokenizer/state_machine.h"

namespace tv {

namespace {

const uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

// The chunk size as read_fn's size, which readers take back as the signed
// size it stands for (a negative one asks for everything); false when the
// platform's sizes cannot hold it.
bool narrow_read_size(int64_t chunk_bytes, size_t &size) noexcept
{
    if constexpr (sizeof(size_t) < sizeof(int64_t)) {
        if (chunk_bytes < PTRDIFF_MIN || chunk_bytes > PTRDIFF_MAX) {
            return false;
        }
    }
    size = static_cast<size_t>(static_cast<ptrdiff_t>(chunk_bytes));
    return true;
}

// Tokenizes until `quota` more rows are kept, the data ends, or an error;
// the result of tokenize_row_count (Blocks: the block scanner of the build).
template <class Blocks>
int run(TextParser *P, uint64_t quota, const char *encoding_errors) noexcept
{
    if (P->tok_state == Finished) {
        return 0;
    }
    TokenizerPrivate &priv = record_of(P)->priv;
    if (priv.skip_set_failed) {
        set_error_text(P, kOutOfMemory);
        return -1;
    }
    int st = P->tok_state;
    if (published_state(priv.internal_state) == st) {
        st = priv.internal_state;
    }

    Dialect<Blocks> dialect;
    build_dialect(dialect, P);
    Machine<Blocks> m(P, dialect, P->row_count, quota);
    const uint64_t rows_at_start = P->row_count;
    int result = 0;

    for (;;) {
        if (P->row_count - rows_at_start >= quota) {
            break;
        }
        // Bytes held back at the start of the input that were not a
        // byte-order mark after all.
        if (priv.pending_pos < priv.pending_len) {
            const size_t n = static_cast<size_t>(priv.pending_len - priv.pending_pos);
            if (parser_reserve(P, n) != 0) {
                set_error_text(P, kOutOfMemory);
                result = -1;
                break;
            }
            const uint8_t *p = priv.pending + priv.pending_pos;
            const int r = m.process(p, priv.pending + priv.pending_len, st);
            priv.pending_pos = static_cast<int>(p - priv.pending);
            if (r != 0) {
                result = r < 0 ? -1 : 0;
                break;
            }
            continue;
        }
        if (priv.input_ended) {
            result = m.finish(st);
            break;
        }
        if (P->chunk_pos >= P->chunk_len || P->chunk_pos < 0) {
            if (P->read_fn == nullptr) {
                set_error_text(P, "Unknown error in IO callback");
                result = -1;
                break;
            }
            const WideReadFn wide = wide_form_of(P->read_fn);
            size_t size = 0;
            if (wide == nullptr && !narrow_read_size(P->chunk_bytes, size)) {
                char text[120];
                snprintf(text, sizeof text, "chunk size %lld is beyond the sizes read_fn takes on this platform",
                         static_cast<long long>(P->chunk_bytes));
                set_error_text(P, text);
                result = -1;
                break;
            }
            size_t got = 0;
            int status = 0;
            P->chunk_pos = 0;
            char *data = wide != nullptr ? wide(P->src_handle, P->chunk_bytes, &got, &status, encoding_errors)
                                         : P->read_fn(P->src_handle, size, &got, &status, encoding_errors);
            P->chunk_len = static_cast<int64_t>(got);
            P->chunk = data;
            if (status == TV_READ_EOF) {
                if (got != 0) {
                    P->chunk_len = 0;
                    st = Finished;
                    result = -1;
                    break;
                }
                priv.input_ended = 1;
                if (priv.bom_matched > 0 && priv.bom_matched < 3) {
                    // The whole input was a prefix of a byte-order mark: data.
                    memcpy(priv.pending, kByteOrderMark, static_cast<size_t>(priv.bom_matched));
                    priv.pending_pos = 0;
                    priv.pending_len = priv.bom_matched;
                }
                priv.bom_matched = 3;
                continue;
            }
            if (data == nullptr) {
                P->chunk_len = 0;
                set_error_text(P, status == TV_READ_FAILED
                                      ? "Calling read(nbytes) on source failed. Try engine='python'."
                                      : "Unknown error in IO callback");
                result = -1;
                break;
            }
            if (status != TV_READ_OK) {
                result = status;
                break;
            }
            continue;
        }

        const size_t avail = static_cast<size_t>(P->chunk_len - P->chunk_pos);
        if (parser_reserve(P, avail) != 0) {
            set_error_text(P, kOutOfMemory);
            result = -1;
            break;
        }
        const uint8_t *base = reinterpret_cast<const uint8_t *>(P->chunk);
        if (priv.bom_matched < 3) {
            int k = priv.bom_matched;
            int64_t pos = P->chunk_pos;
            while (k < 3 && pos < P->chunk_len && base[pos] == kByteOrderMark[k]) {
                ++k;
                ++pos;
            }
            if (k == 3) {
                P->chunk_pos = pos;
                priv.bom_matched = 3;
            } else if (pos == P->chunk_len) {
                priv.bom_matched = k;  // undecided: hold these bytes back
                P->chunk_pos = pos;
                continue;
            } else {
                const int held = priv.bom_matched;
                priv.bom_matched = 3;
                if (held > 0) {
                    memcpy(priv.pending, kByteOrderMark, static_cast<size_t>(held));
                    priv.pending_pos = 0;
                    priv.pending_len = held;
                    continue;
                }
            }
        }
        const uint8_t *p = base + P->chunk_pos;
        const int r = m.process(p, base + P->chunk_len, st);
        P->chunk_pos = p - base;
        if (r != 0) {
            result = r < 0 ? -1 : 0;
            break;
        }
    }
    P->tok_state = published_state(st);
    priv.internal_state = st;
    return result;
}

}  // namespace

}  // namespace tv
