#include "signature_core.h"

#include "signature_scan.h"

#include <cstdlib>
#include <cstring>

namespace vexmor::validate {
void RunningChecksum::Update(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t count = bytes.size();
  uint64_t a = a_;
  uint64_t b = b_;
  size_t i = 0;
  for (; i + 4 < count; i += 4) {
    auto c0 = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(data[i])));
    auto c1 = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(data[i + 1])));
    auto c2 = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(data[i + 2])));
    auto c3 = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(data[i + 3])));
    b += 4 * (a + c0) + 3 * c1 + 2 * c2 + c3;
    a += c0 + c1 + c2 + c3;
  }
  for (; i < count; ++i) {
    a += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(data[i])));
    b += a;
  }
  a_ = a;
  b_ = b;
}

int64_t Checksum(const unsigned char* data, size_t count) {
  RunningChecksum sum;
  sum.Update(std::string_view(reinterpret_cast<const char*>(data), count));
  return sum.Value();
}

namespace {

// The unpaced normalisation runs in chunks that fit the first-level cache: a chunk is
// normalised onto the stack and then appended, so the output is never zero-filled first.
constexpr size_t kChunk = 4096;

// Normalises text[begin, end) (end - begin at most kChunk) into dst without any pacing;
// returns the number of characters written.
size_t NormaliseChunk(const unsigned char* bytes, size_t begin, size_t end, char* dst) {
  size_t n = 0;
  for (size_t i = begin; i < end; ++i) {
    int16_t v = kTable.value[bytes[i]];
    dst[n] = static_cast<char>(v);
    n += v >= 0 ? 1 : 0;
  }
  return n;
}

// The value of the sums once the closing zero byte is added (it adds 0 to A, then A to B).
int64_t ClosedValue(Sums sums) {
  sums.b += sums.a;
  return static_cast<int64_t>((sums.b << 16) + (sums.a & 0xFFFF));
}

}  // namespace

void ReleaseScratch(std::string& scratch) {
  scratch.clear();
  if (scratch.capacity() > kKeptScratch) std::string().swap(scratch);
}

void NormaliseRange(std::string_view text, size_t begin, size_t end, std::string& out,
                    const platform::Clock* throttle) {
  if (end > text.size()) end = text.size();
  if (begin >= end) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (throttle == nullptr) {
    // Appends into reserved room: nothing is zero-filled first.
    out.reserve(out.size() + (end - begin));
    char buffer[kChunk];
    while (begin < end) {
      size_t stop = end - begin > kChunk ? begin + kChunk : end;
      out.append(buffer, NormaliseChunk(bytes, begin, stop, buffer));
      begin = stop;
    }
    return;
  }
  size_t start_size = out.size();
  out.resize(start_size + (end - begin));
  char* dst = out.data() + start_size;
  size_t n = 0;
  Pacer pacer(throttle);
  for (size_t i = begin; i < end; ++i) {
    int16_t v = kTable.value[bytes[i]];
    if (v >= 0) {
      dst[n++] = static_cast<char>(v);
      pacer.Appended(n);
    } else if (v == kOther) {
      pacer.Skipped(n);
    }
  }
  out.resize(start_size + n);
}

void PrepareContentInto(std::string_view content, std::string& prepared, size_t from) {
  prepared.clear();
  prepared.reserve(content.size());
  size_t pos = 0;
  for (size_t hit = FindFrom(content, "=20", from); hit != std::string_view::npos;
       hit = FindFrom(content, "=20", pos)) {
    prepared.append(content, pos, hit - pos);
    prepared += ':';
    pos = hit + 3;
  }
  prepared.append(content, pos);
}

std::string PrepareContent(std::string_view content) {
  std::string prepared;
  PrepareContentInto(content, prepared);
  return prepared;
}

int64_t ShortTextSignature(std::string_view prepared, const platform::Clock* throttle) {
  size_t end = prepared.size();
  if (prepared.size() > 1) {
    size_t marker = FindFrom(prepared, kSessionMarker, 1);
    if (marker != std::string_view::npos) end = marker + kSessionMarker.size();
  }
  if (throttle == nullptr) {
    // Normalisation and the sums in one pass: the normalised text is never stored whole.
    Sums sums;
    SumNormalisedRange(prepared, 0, end, false, sums);
    return ClosedValue(sums);
  }
  std::string normalised;
  NormaliseRange(prepared, 0, end, normalised, throttle);
  normalised += '\0';
  return Checksum(normalised);
}

std::array<int64_t, kPieceCount> PieceBoundaries(int64_t length) {
  // 64-bit products: the same boundaries as 32-bit arithmetic wherever that does not overflow.
  std::array<int64_t, kPieceCount> bounds{};
  for (int k = 0; k < kPieceCount; ++k) bounds[k] = (length * (k + 1)) / kPieceCount;
  return bounds;
}

std::pair<size_t, size_t> PieceRange(const std::array<int64_t, kPieceCount>& bounds, int k) {
  int64_t begin = k == 0 ? 0 : bounds[k - 1];
  int64_t end = bounds[k] - 1;  // exclusive: index bounds[k] - 2 is the last one scanned
  if (end < begin) end = begin;
  return {static_cast<size_t>(begin), static_cast<size_t>(end)};
}

int64_t JoinedPiecesSignature(const std::array<std::string, kPieceCount>& pieces) {
  RunningChecksum sum;
  if (!pieces[0].empty()) sum.Update(std::string_view(pieces[0]).substr(0, pieces[0].size() - 1));
  for (int k = 1; k < kPieceCount; ++k) sum.Update(pieces[k]);
  sum.Update(std::string_view("", 1));  // the closing zero byte
  return sum.Value();
}

int64_t ContentSignature(std::string_view content, const platform::Clock* throttle) {
  // Reused by every signature of this thread: no fresh pages per message. A text without
  // "=20" is its own prepared form and is not copied at all.
  thread_local std::string scratch;
  std::string_view prepared = content;
  if (size_t first = FindFrom(content, "=20", 0); first != std::string_view::npos) {
    PrepareContentInto(content, scratch, first);
    prepared = scratch;
  }
  int64_t signature = 0;
  if (prepared.size() <= kShortTextLimit) {
    signature = ShortTextSignature(prepared, throttle);
  } else if (throttle == nullptr) {
    auto bounds = PieceBoundaries(static_cast<int64_t>(prepared.size()));
    Sums sums;
    for (int k = 0; k < kPieceCount; ++k) {
      auto [begin, end] = PieceRange(bounds, k);
      SumNormalisedRange(prepared, begin, end, k == 0, sums);  // piece 0 without its last
    }
    signature = ClosedValue(sums);
  } else {
    auto bounds = PieceBoundaries(static_cast<int64_t>(prepared.size()));
    std::array<std::string, kPieceCount> pieces;
    for (int k = 0; k < kPieceCount; ++k) {
      auto [begin, end] = PieceRange(bounds, k);
      NormaliseRange(prepared, begin, end, pieces[k], throttle);
    }
    signature = JoinedPiecesSignature(pieces);
  }
  ReleaseScratch(scratch);
  return signature;
}

int64_t PlainSignature(std::string_view text) {
  std::string buffer(text);
  buffer += '\0';
  return Checksum(buffer);
}

const platform::Clock* ConfiguredThrottle() {
  const char* setting = std::getenv("VEXMOR_THROTTLE");
  if (setting != nullptr) {
    for (const char* off : {"off", "0", "no", "false", "OFF"}) {
      if (std::strcmp(setting, off) == 0) return nullptr;
    }
  }
  return &platform::SystemClock();
}

}  // namespace vexmor::validate
