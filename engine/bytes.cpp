#include "engine/bytes.h"

namespace marovi {

std::string HexDigits(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

std::string HexOffset(std::uint64_t value) { return "0x" + HexDigits(value); }

}  // namespace marovi
