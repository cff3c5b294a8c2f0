#include "signature_scan.h"

#include <atomic>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define VEXMOR_SCAN_AVX2 1
#endif

namespace vexmor::validate {
namespace {

#if defined(__SSE2__)

// For each eight-bit mask, byte j holds how many of the mask's bits below bit j are set: the
// number of kept characters before position j of a half block.
struct PrefixTable {
  uint64_t value[256];
  constexpr PrefixTable() : value() {
    for (int m = 0; m < 256; ++m) {
      uint64_t packed = 0;
      int count = 0;
      for (int j = 0; j < 8; ++j) {
        packed |= static_cast<uint64_t>(count) << (8 * j);
        count += (m >> j) & 1;
      }
      value[m] = packed;
    }
  }
};

constexpr PrefixTable kPrefix;

// Bits set in an eight-bit mask (the baseline instruction set has no population count).
constexpr int BitCount(unsigned mask) {
  return static_cast<int>(kPrefix.value[mask] >> 56) + static_cast<int>(mask >> 7);
}

// Bytes per vector run: small enough that the 16-bit weights and the 32-bit lane sums cannot
// overflow (a weight is at most kRun + 31, a lane gathers at most 2 * kRun / 16 products).
constexpr size_t kRun = 4096;

int64_t LaneSum(__m128i lanes) {
  alignas(16) int32_t part[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(part), lanes);
  return int64_t{part[0]} + part[1] + part[2] + part[3];
}

// Normalises and sums text[i, i + 16 * blocks). For the kept characters c_j of the run (K of
// them, C their total) and k_j the number kept before j, the byte-by-byte sums end at
// A + C and B + K * A + K * C - sum(c_j * k_j); the vectors gather C and that last sum.
size_t SumBlocks(const unsigned char* p, size_t blocks, Sums& sums) {
  const __m128i low_bits = _mm_set1_epi8(0x7F);
  const __m128i before_upper = _mm_set1_epi8('A' - 1);
  const __m128i after_upper = _mm_set1_epi8('Z' + 1);
  const __m128i before_lower = _mm_set1_epi8('a' - 1);
  const __m128i after_lower = _mm_set1_epi8('z' + 1);
  const __m128i before_digit = _mm_set1_epi8('0' - 1);
  const __m128i after_digit = _mm_set1_epi8('9' + 1);
  const __m128i one_digit = _mm_set1_epi8('1');
  const __m128i to_lower = _mm_set1_epi8('a' - 'A');
  const __m128i digit_to_letter = _mm_set1_epi8(63);  // '0' -> 'o', '2'..'9' -> 'q'..'x'
  const __m128i one_fix = _mm_set1_epi8(63 - ('i' - '1'));
  const __m128i ones16 = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();

  __m128i weighted = zero;
  __m128i total = zero;
  uint32_t kept = 0;
  for (size_t block = 0; block < blocks; ++block, p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i low = _mm_and_si128(x, low_bits);
    __m128i upper =
        _mm_and_si128(_mm_cmpgt_epi8(low, before_upper), _mm_cmpgt_epi8(after_upper, low));
    __m128i lower =
        _mm_and_si128(_mm_cmpgt_epi8(low, before_lower), _mm_cmpgt_epi8(after_lower, low));
    __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(low, before_digit), _mm_cmpgt_epi8(after_digit, low));
    __m128i digit_value = _mm_sub_epi8(_mm_add_epi8(low, digit_to_letter),
                                       _mm_and_si128(_mm_cmpeq_epi8(low, one_digit), one_fix));
    __m128i value = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(upper, _mm_add_epi8(low, to_lower)), _mm_and_si128(lower, x)),
        _mm_and_si128(digit, digit_value));
    auto mask =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(upper, lower), digit)));
    if (mask == 0) continue;

    auto low_count = static_cast<uint64_t>(BitCount(mask & 0xFF));
    __m128i before = _mm_set_epi64x(
        static_cast<int64_t>(kPrefix.value[mask >> 8] + low_count * 0x0101010101010101ULL),
        static_cast<int64_t>(kPrefix.value[mask & 0xFF]));
    __m128i run_before = _mm_set1_epi16(static_cast<int16_t>(kept));
    __m128i weight_low = _mm_add_epi16(_mm_unpacklo_epi8(before, zero), run_before);
    __m128i weight_high = _mm_add_epi16(_mm_unpackhi_epi8(before, zero), run_before);
    __m128i value_low = _mm_srai_epi16(_mm_unpacklo_epi8(value, value), 8);
    __m128i value_high = _mm_srai_epi16(_mm_unpackhi_epi8(value, value), 8);
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(value_low, weight_low));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(value_high, weight_high));
    total = _mm_add_epi32(total, _mm_madd_epi16(_mm_add_epi16(value_low, value_high), ones16));
    kept += static_cast<uint32_t>(low_count) + static_cast<uint32_t>(BitCount(mask >> 8));
  }
  auto c = static_cast<uint64_t>(LaneSum(total));
  auto k = static_cast<uint64_t>(kept);
  sums.b += k * sums.a + k * c - static_cast<uint64_t>(LaneSum(weighted));
  sums.a += c;
  return kept;
}

#endif

#if defined(VEXMOR_SCAN_AVX2)

#define VEXMOR_AVX2 __attribute__((target("avx2,popcnt")))

VEXMOR_AVX2 int64_t LaneSum256(__m256i lanes) {
  __m128i half = _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
  alignas(16) int32_t part[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(part), half);
  return int64_t{part[0]} + part[1] + part[2] + part[3];
}

// SumBlocks over thirty-two bytes a step. The bytes and their weights are widened by the same
// unpack steps, so each value meets its own weight whatever order the lanes hold them in.
VEXMOR_AVX2 size_t SumBlocksAvx2(const unsigned char* p, size_t blocks, Sums& sums) {
  const __m256i low_bits = _mm256_set1_epi8(0x7F);
  const __m256i before_upper = _mm256_set1_epi8('A' - 1);
  const __m256i after_upper = _mm256_set1_epi8('Z' + 1);
  const __m256i before_lower = _mm256_set1_epi8('a' - 1);
  const __m256i after_lower = _mm256_set1_epi8('z' + 1);
  const __m256i before_digit = _mm256_set1_epi8('0' - 1);
  const __m256i after_digit = _mm256_set1_epi8('9' + 1);
  const __m256i one_digit = _mm256_set1_epi8('1');
  const __m256i to_lower = _mm256_set1_epi8('a' - 'A');
  const __m256i digit_to_letter = _mm256_set1_epi8(63);
  const __m256i one_fix = _mm256_set1_epi8(63 - ('i' - '1'));
  const __m256i ones16 = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one8 = _mm256_set1_epi8(1);
  const __m256i last_byte = _mm256_set1_epi8(15);  // each half's byte 15, across its half

  __m256i weighted = zero;
  __m256i total = zero;
  uint32_t kept = 0;
  for (size_t block = 0; block < blocks; ++block, p += 32) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i low = _mm256_and_si256(x, low_bits);
    __m256i upper =
        _mm256_and_si256(_mm256_cmpgt_epi8(low, before_upper), _mm256_cmpgt_epi8(after_upper, low));
    __m256i lower =
        _mm256_and_si256(_mm256_cmpgt_epi8(low, before_lower), _mm256_cmpgt_epi8(after_lower, low));
    __m256i digit =
        _mm256_and_si256(_mm256_cmpgt_epi8(low, before_digit), _mm256_cmpgt_epi8(after_digit, low));
    __m256i digit_value =
        _mm256_sub_epi8(_mm256_add_epi8(low, digit_to_letter),
                        _mm256_and_si256(_mm256_cmpeq_epi8(low, one_digit), one_fix));
    __m256i value =
        _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(upper, _mm256_add_epi8(low, to_lower)),
                                        _mm256_and_si256(lower, x)),
                        _mm256_and_si256(digit, digit_value));
    __m256i keep = _mm256_or_si256(_mm256_or_si256(upper, lower), digit);
    auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(keep));
    if (mask == 0) continue;

    // Kept characters before each byte of the step: a prefix sum of the keep bits within each
    // half, the low half's total added to the high half, less the byte's own bit.
    __m256i bit = _mm256_and_si256(keep, one8);
    __m256i prefix = _mm256_add_epi8(bit, _mm256_slli_si256(bit, 1));
    prefix = _mm256_add_epi8(prefix, _mm256_slli_si256(prefix, 2));
    prefix = _mm256_add_epi8(prefix, _mm256_slli_si256(prefix, 4));
    prefix = _mm256_add_epi8(prefix, _mm256_slli_si256(prefix, 8));
    __m256i low_total = _mm256_shuffle_epi8(prefix, last_byte);
    prefix = _mm256_add_epi8(prefix, _mm256_permute2x128_si256(low_total, low_total, 0x08));
    __m256i before = _mm256_sub_epi8(prefix, bit);
    __m256i run_before = _mm256_set1_epi16(static_cast<int16_t>(kept));
    __m256i weight_low = _mm256_add_epi16(_mm256_unpacklo_epi8(before, zero), run_before);
    __m256i weight_high = _mm256_add_epi16(_mm256_unpackhi_epi8(before, zero), run_before);
    __m256i value_low = _mm256_srai_epi16(_mm256_unpacklo_epi8(value, value), 8);
    __m256i value_high = _mm256_srai_epi16(_mm256_unpackhi_epi8(value, value), 8);
    weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(value_low, weight_low));
    weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(value_high, weight_high));
    total =
        _mm256_add_epi32(total, _mm256_madd_epi16(_mm256_add_epi16(value_low, value_high), ones16));
    kept += static_cast<uint32_t>(__builtin_popcount(mask));
  }
  auto c = static_cast<uint64_t>(LaneSum256(total));
  auto k = static_cast<uint64_t>(kept);
  sums.b += k * sums.a + k * c - static_cast<uint64_t>(LaneSum256(weighted));
  sums.a += c;
  return kept;
}

// FindFrom's candidate search over text[i, ...) thirty-two positions a step; returns the first
// match or the position where fewer than 32 + tail bytes remain, with found telling which.
VEXMOR_AVX2 size_t FindAvx2(std::string_view text, std::string_view needle, size_t i, bool& found) {
  const char* p = text.data();
  const size_t tail = needle.size() - 1;
  const __m256i first = _mm256_set1_epi8(needle.front());
  const __m256i last = _mm256_set1_epi8(needle.back());
  for (; i + 32 + tail <= text.size(); i += 32) {
    __m256i hit = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + tail)),
                          last));
    auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(hit));
    while (mask != 0) {
      size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(p + at + 1, needle.data() + 1, tail - 1) == 0) {
        found = true;
        return at;
      }
      mask &= mask - 1;
    }
  }
  found = false;
  return i;
}

#endif

ScanLevel DetectScanLevel() {
#if defined(VEXMOR_SCAN_AVX2)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return ScanLevel::kAvx2;
#endif
#if defined(__SSE2__)
  return ScanLevel::kSse2;
#else
  return ScanLevel::kBytes;
#endif
}

std::atomic<ScanLevel>& CurrentLevel() {
  static std::atomic<ScanLevel> level{BestScanLevel()};
  return level;
}

}  // namespace

ScanLevel BestScanLevel() {
  static const ScanLevel best = DetectScanLevel();
  return best;
}

void UseScanLevel(ScanLevel level) {
  CurrentLevel().store(level < BestScanLevel() ? level : BestScanLevel(),
                       std::memory_order_relaxed);
}

size_t SumNormalisedRange(std::string_view text, size_t begin, size_t end, bool drop_last,
                          Sums& sums) {
  if (end > text.size()) end = text.size();
  if (begin >= end) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t kept = 0;
  size_t i = begin;
  const ScanLevel level = CurrentLevel().load(std::memory_order_relaxed);
#if defined(VEXMOR_SCAN_AVX2)
  if (level == ScanLevel::kAvx2) {
    while (end - i >= 32) {
      size_t length = end - i < kRun ? (end - i) & ~size_t{31} : kRun;
      kept += SumBlocksAvx2(bytes + i, length / 32, sums);
      i += length;
    }
  }
#endif
#if defined(__SSE2__)
  while (level != ScanLevel::kBytes && end - i >= 16) {
    size_t length = end - i < kRun ? (end - i) & ~size_t{15} : kRun;
    kept += SumBlocks(bytes + i, length / 16, sums);
    i += length;
  }
#endif
  uint64_t a = sums.a;
  uint64_t b = sums.b;
  for (; i < end; ++i) {
    int16_t v = kTable.value[bytes[i]];
    if (v < 0) continue;
    a += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(v)));
    b += a;
    ++kept;
  }
  if (drop_last && kept > 0) {
    // Undo the last step: it added the last character to A and then A to B.
    size_t last = end;
    while (kTable.value[bytes[--last]] < 0) {
    }
    b -= a;
    a -=
        static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(kTable.value[bytes[last]])));
  }
  sums.a = a;
  sums.b = b;
  return kept;
}

size_t FindFrom(std::string_view text, std::string_view needle, size_t from) {
  if (needle.size() < 3 || from > text.size()) return text.find(needle, from);
  size_t i = from;
  const ScanLevel level = CurrentLevel().load(std::memory_order_relaxed);
#if defined(VEXMOR_SCAN_AVX2)
  if (level == ScanLevel::kAvx2) {
    if (needle.size() > text.size()) return std::string_view::npos;
    bool found = false;
    i = FindAvx2(text, needle, i, found);
    if (found) return i;
  }
#endif
#if defined(__SSE2__)
  if (level == ScanLevel::kBytes) return text.find(needle, i);
  if (needle.size() > text.size()) return std::string_view::npos;
  const char* p = text.data();
  // Candidates are where the needle's first and last characters both match; the rest is
  // compared only there. The loads of a step reach up to i + 15 + (needle.size() - 1).
  const size_t tail = needle.size() - 1;
  const __m128i first = _mm_set1_epi8(needle.front());
  const __m128i last = _mm_set1_epi8(needle.back());
  for (; i + 16 + tail <= text.size(); i += 16) {
    __m128i hit = _mm_and_si128(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), first),
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + tail)), last));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (mask != 0) {
      size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(p + at + 1, needle.data() + 1, tail - 1) == 0) return at;
      mask &= mask - 1;
    }
  }
#endif
  return text.find(needle, i);
}

}  // namespace vexmor::validate
