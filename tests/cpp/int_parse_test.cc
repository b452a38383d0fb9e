#include "kelvo/int_parse.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace kelvo {
namespace {

struct Valid {
  std::string text;
  uint64_t value;
  bool negative;
};

class ParsePythonIntValid : public ::testing::TestWithParam<Valid> {};

TEST_P(ParsePythonIntValid, ReadsAsPythonDoes) {
  const auto parsed = parse_python_int(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << GetParam().text;
  EXPECT_FALSE(parsed->overflow);
  EXPECT_EQ(parsed->magnitude, GetParam().value);
  EXPECT_EQ(parsed->negative, GetParam().negative);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParsePythonIntValid,
    ::testing::Values(Valid{"257", 257, false}, Valid{" 257 ", 257, false},
                      Valid{"+257", 257, false}, Valid{"\t\n257\r\v\f", 257, false},
                      Valid{"0", 0, false}, Valid{"-0", 0, false}, Valid{"007", 7, false},
                      Valid{"1_000", 1000, false}, Valid{"1_2_3", 123, false},
                      Valid{"-1", 1, true}, Valid{" -12 ", 12, true},
                      // Arabic-Indic, Devanagari and full-width digits; no-break and ideographic
                      // spaces.
                      Valid{"\u0662\u0665\u0667", 257, false}, Valid{"\u0968\u096B\u096D", 257, false},
                      Valid{"\uFF12\uFF15\uFF17", 257, false}, Valid{"\u00A0257\u3000", 257, false},
                      Valid{"18446744073709551615", std::numeric_limits<uint64_t>::max(), false}));

class ParsePythonIntInvalid : public ::testing::TestWithParam<std::string> {};

TEST_P(ParsePythonIntInvalid, IsRefused) {
  EXPECT_FALSE(parse_python_int(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Texts, ParsePythonIntInvalid,
                         ::testing::Values("", " ", "+", "-", "257.0", "0x101", "abc", "2 57",
                                           "++1", "+-1", "_1", "1_", "1__0", "+_1", "1e3",
                                           "\xff\xfe", "\xc0\xb1", "\xed\xa0\x80",
                                           "\u00B2", "1\u200B"));

TEST(ParsePythonInt, HugeValuesOverflowInsteadOfWrapping) {
  const auto parsed = parse_python_int("18446744073709551616");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(parsed->overflow);
  const auto negative = parse_python_int("-99999999999999999999999");
  ASSERT_TRUE(negative.has_value());
  EXPECT_TRUE(negative->overflow);
  EXPECT_TRUE(negative->negative);
}

}  // namespace
}  // namespace kelvo
