#include "kelvo/int_parse.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

namespace kelvo {

namespace {

// The code point of every Unicode digit zero (category Nd, Unicode 14); each starts a run of
// ten digits, zero to nine.
constexpr std::array<char32_t, 66> kDigitZeros = {
    0x30,    0x660,   0x6F0,   0x7C0,   0x966,   0x9E6,   0xA66,   0xAE6,   0xB66,   0xBE6,
    0xC66,   0xCE6,   0xD66,   0xDE6,   0xE50,   0xED0,   0xF20,   0x1040,  0x1090,  0x17E0,
    0x1810,  0x1946,  0x19D0,  0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,
    0xA8D0,  0xA900,  0xA9D0,  0xA9F0,  0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066,
    0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450, 0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0,
    0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x16A60, 0x16AC0, 0x16B50, 0x1D7CE, 0x1D7D8, 0x1D7E2,
    0x1D7EC, 0x1D7F6, 0x1E140, 0x1E2F0, 0x1E950, 0x1FBF0,
};

// What str.isspace() calls whitespace.
bool is_space(char32_t c) {
  return (c >= 0x9 && c <= 0xD) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// The digit's value, or -1.
int digit_value(char32_t c) {
  auto it = std::upper_bound(kDigitZeros.begin(), kDigitZeros.end(), c);
  if (it == kDigitZeros.begin()) return -1;
  const char32_t zero = *(it - 1);
  return c - zero < 10 ? static_cast<int>(c - zero) : -1;
}

// Strict UTF-8 decoding; nullopt on any malformed sequence.
std::optional<std::vector<char32_t>> decode_utf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra;
    char32_t cp;
    if (lead < 0x80) {
      extra = 0;
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;  // truncated sequence
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

}  // namespace

std::optional<ParsedInt> parse_python_int(std::string_view text) {
  auto decoded = decode_utf8(text);
  if (!decoded) return std::nullopt;
  const std::vector<char32_t>& s = *decoded;

  size_t begin = 0, end = s.size();
  while (begin < end && is_space(s[begin])) ++begin;
  while (end > begin && is_space(s[end - 1])) --end;

  ParsedInt result;
  bool minus = false;
  if (begin < end && (s[begin] == '+' || s[begin] == '-')) {
    minus = s[begin] == '-';
    ++begin;
  }
  if (begin == end) return std::nullopt;

  bool previous_was_digit = false;
  for (size_t i = begin; i < end; ++i) {
    if (s[i] == '_') {
      // Only between two digits.
      if (!previous_was_digit || i + 1 == end) return std::nullopt;
      previous_was_digit = false;
      continue;
    }
    const int digit = digit_value(s[i]);
    if (digit < 0) return std::nullopt;
    previous_was_digit = true;
    if (!result.overflow) {
      constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
      if (result.magnitude > (kMax - digit) / 10) {
        result.overflow = true;
        result.magnitude = 0;
      } else {
        result.magnitude = result.magnitude * 10 + digit;
      }
    }
  }
  result.negative = minus && (result.overflow || result.magnitude != 0);
  return result;
}

}  // namespace kelvo
