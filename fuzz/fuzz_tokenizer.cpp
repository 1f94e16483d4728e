#include <cstddef>
#include <cstdint>
#include "tokenizer/text_parser.h"
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }
