// Integers read from text the way Python's int(text) reads them in base 10.
#ifndef KELVO_INT_PARSE_H_
#define KELVO_INT_PARSE_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvo {

struct ParsedInt {
  bool negative = false;  // a minus sign and a non-zero magnitude ("-0" is not negative)
  bool overflow = false;  // the magnitude does not fit in 64 bits; `magnitude` is then 0
  uint64_t magnitude = 0;
};

// Reads UTF-8 `text` as int(text) does: whitespace around it (Unicode whitespace included), one
// optional sign, decimal digits of any script, single underscores between digits. Anything
// else (empty text, a decimal point, a base prefix, letters, invalid UTF-8) gives nullopt.
std::optional<ParsedInt> parse_python_int(std::string_view text);

}  // namespace kelvo

#endif  // KELVO_INT_PARSE_H_
