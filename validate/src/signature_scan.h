// The unpaced scans of the signature, sixteen or thirty-two bytes at a time where the processor
// allows: the normalisation folded straight into the running sums, and the searches for "=20"
// and the session marker. Each gives exactly the result of the byte-by-byte rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexmor::validate {

// What a byte contributes, by its low seven bits: a character, nothing (blank, CR, LF), or
// nothing but a throttle check (any other value).
inline constexpr int16_t kNothing = -1;
inline constexpr int16_t kOther = -2;

struct ByteTable {
  int16_t value[256];
  constexpr ByteTable() : value() {
    for (int b = 0; b < 256; ++b) {
      int low = b & 0x7F;
      int16_t v = kOther;
      if (low == 0x20 || low == 0x0D || low == 0x0A) {
        v = kNothing;
      } else if (low >= 'A' && low <= 'Z') {
        v = static_cast<int16_t>(low + ('a' - 'A'));
      } else if (low >= 'a' && low <= 'z') {
        v = static_cast<int16_t>(b);  // the byte itself, high bit included
      } else if (low == '0') {
        v = 'o';
      } else if (low == '1') {
        v = 'i';
      } else if (low >= '2' && low <= '9') {
        v = static_cast<int16_t>(low + 63);
      }
      value[b] = v;
    }
  }
};

inline constexpr ByteTable kTable;

// The running sums A and B of the checksum, advanced in place.
struct Sums {
  uint64_t a = 0;
  uint64_t b = 0;
};

// The instruction sets the scans may use. The best the processor offers is taken on first use;
// each level gives exactly the same results.
enum class ScanLevel { kBytes, kSse2, kAvx2 };
ScanLevel BestScanLevel();
// Makes the scans use "level" (no higher than BestScanLevel()) from now on, so that tests can
// hold every level against the byte-by-byte rule on one machine.
void UseScanLevel(ScanLevel level);

// Advances "sums" as if the normalised form of text[begin, end) had been appended byte by byte;
// returns how many characters that form has. With drop_last the last of them is left out of
// the sums (the count still includes it).
size_t SumNormalisedRange(std::string_view text, size_t begin, size_t end, bool drop_last,
                          Sums& sums);

// The first occurrence of "needle" (three characters or more) in "text" at or after "from".
size_t FindFrom(std::string_view text, std::string_view needle, size_t from);

}  // namespace vexmor::validate
