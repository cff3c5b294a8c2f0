// The signature arithmetic shared by CCheckSum and CCheckValidate: checksum, normalisation,
// the content preparation and the piece boundaries. Pure functions; the only side effect is
// the throttle's sleeps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vexmor/platform/clock.h"

namespace vexmor::validate {

inline constexpr size_t kShortTextLimit = 25000;  // longer texts are cut into five pieces
inline constexpr int kPieceCount = 5;
inline constexpr std::string_view kSessionMarker = "read.php?sessionid";

// The running sums over bytes taken as signed 8-bit values, combined as (B << 16) | (A & 0xFFFF)
// with 64-bit wrap-around.
// The running sums, fed in parts: Update over consecutive parts gives the Checksum of their
// concatenation without building it.
class RunningChecksum {
 public:
  RunningChecksum() = default;
  // Sums computed elsewhere (the one-pass scan) taken over as they are.
  RunningChecksum(uint64_t a, uint64_t b) : a_(a), b_(b) {}
  void Update(std::string_view bytes);
  // Continues with the sums of the "count" bytes that followed, as if Update had been given
  // them: the sums of parts computed apart join without reading the parts again.
  void Append(const RunningChecksum& next, uint64_t count) {
    b_ += next.b_ + count * a_;
    a_ += next.a_;
  }
  int64_t Value() const { return static_cast<int64_t>((b_ << 16) + (a_ & 0xFFFF)); }

 private:
  uint64_t a_ = 0;  // unsigned: the 64-bit wrap-around without undefined behaviour
  uint64_t b_ = 0;
};

int64_t Checksum(const unsigned char* data, size_t count);
inline int64_t Checksum(std::string_view text) {
  return Checksum(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Paces a normalising scan: 20 ms of sleep each time the count of appended characters reaches
// a multiple of 100. A byte that appends nothing (other than a blank or line break) checks the
// current count too, but sleeps at most once per count, so a run of punctuation cannot stall
// the scan. Without a clock the scan is not paced at all.
class Pacer {
 public:
  static constexpr std::chrono::milliseconds kPause{20};
  static constexpr size_t kEvery = 100;

  explicit Pacer(const platform::Clock* clock) : clock_(clock) {}
  bool enabled() const { return clock_ != nullptr; }
  void Appended(size_t count) {
    if (count % kEvery == 0) Pause(count);
  }
  void Skipped(size_t count) {
    if (count % kEvery == 0 && count != last_pause_) Pause(count);
  }

 private:
  void Pause(size_t count) {
    last_pause_ = count;
    clock_->SleepFor(kPause);
  }
  const platform::Clock* clock_;
  size_t last_pause_ = SIZE_MAX;
};

// Appends the normalised form of text[begin, end) to "out".
void NormaliseRange(std::string_view text, size_t begin, size_t end, std::string& out,
                    const platform::Clock* throttle);

// Every "=20" becomes ":". (The zero character the computation appends is not added here.)
std::string PrepareContent(std::string_view content);
// The same into "prepared", replacing what it held but keeping its capacity. "from" is where
// the search for "=20" starts: a caller that knows there is none before may skip ahead.
void PrepareContentInto(std::string_view content, std::string& prepared, size_t from = 0);

// Scratch texts are reused from one signature to the next so that no message pays for fresh
// pages; one far larger than a usual message is given back rather than kept.
inline constexpr size_t kKeptScratch = size_t{4} << 20;
// Empties a scratch text, keeping its room unless that exceeds kKeptScratch.
void ReleaseScratch(std::string& scratch);

// Signature of a prepared text of at most kShortTextLimit characters: the range up to and
// including the first session marker found from index 1 (else the whole text), normalised,
// followed by one zero byte.
int64_t ShortTextSignature(std::string_view prepared, const platform::Clock* throttle);

// The end boundary of each of the five pieces of a text of "length" characters.
std::array<int64_t, kPieceCount> PieceBoundaries(int64_t length);

// The range [begin, end) worker k scans: from the previous boundary up to the character before
// its own boundary's last one (the character at boundary - 1 is never scanned).
std::pair<size_t, size_t> PieceRange(const std::array<int64_t, kPieceCount>& bounds, int k);

// Signature of the joined pieces: piece 0 without its last character, pieces 1 to 4 whole,
// one zero byte. When piece 0 is empty the join starts with piece 1 (nothing outside the
// pieces is read).
int64_t JoinedPiecesSignature(const std::array<std::string, kPieceCount>& pieces);

// The whole computation in the calling thread (the classes run the same steps on threads).
int64_t ContentSignature(std::string_view content, const platform::Clock* throttle);

// The plain signature of a text followed by one zero byte.
int64_t PlainSignature(std::string_view text);

// The throttle the computation uses: the system clock, unless the environment variable
// VEXMOR_THROTTLE is "off", "0", "no" or "false" (batch tools, tests, benchmarks).
const platform::Clock* ConfiguredThrottle();

}  // namespace vexmor::validate
