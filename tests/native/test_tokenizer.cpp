#include <gtest/gtest.h>
#include "tokenizer/text_parser.h"
TEST(Tokenizer, Placeholder) { SUCCEED(); }
