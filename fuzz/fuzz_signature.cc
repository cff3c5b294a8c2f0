// The content signature's vector scans against the byte-by-byte rule: every scan level the
// processor offers gives the literal signature of the input (the input whole and from an odd
// offset), and the "=20" and session-marker searches agree with a plain search.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "signature_core.h"
#include "signature_scan.h"

namespace {

using vexmor::validate::ScanLevel;

char Normalised(unsigned char byte, bool& kept) {
  const int low = byte & 0x7F;
  kept = true;
  if (low >= 'A' && low <= 'Z') return static_cast<char>(low - 'A' + 'a');
  if (low >= 'a' && low <= 'z') return static_cast<char>(byte);
  if (low == '0') return 'o';
  if (low == '1') return 'i';
  if (low >= '2' && low <= '9') return static_cast<char>(low + 63);
  kept = false;
  return 0;
}

std::string Normalise(std::string_view text, size_t begin, size_t end) {
  std::string out;
  for (size_t i = begin; i < end && i < text.size(); ++i) {
    bool kept = false;
    char c = Normalised(static_cast<unsigned char>(text[i]), kept);
    if (kept) out += c;
  }
  return out;
}

int64_t Literal(std::string_view content) {
  std::string prepared;
  for (size_t i = 0; i < content.size();) {
    if (content.substr(i, 3) == "=20") {
      prepared += ':';
      i += 3;
    } else {
      prepared += content[i++];
    }
  }
  std::string joined;
  const auto length = static_cast<int64_t>(prepared.size());
  if (length <= 25000) {
    size_t end = prepared.size();
    size_t marker = length > 1 ? prepared.find("read.php?sessionid", 1) : std::string::npos;
    if (marker != std::string::npos) end = marker + 18;
    joined = Normalise(prepared, 0, end);
  } else {
    int64_t begin = 0;
    for (int k = 0; k < 5; ++k) {
      int64_t bound = length * (k + 1) / 5;
      std::string piece = Normalise(prepared, static_cast<size_t>(begin),
                                    static_cast<size_t>(bound - 1 > begin ? bound - 1 : begin));
      if (k == 0 && !piece.empty()) piece.pop_back();
      joined += piece;
      begin = bound;
    }
  }
  joined += '\0';
  uint64_t a = 0, b = 0;
  for (char c : joined) {
    a += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(c)));
    b += a;
  }
  return static_cast<int64_t>((b << 16) + (a & 0xFFFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const int64_t expected = Literal(text);
  const int64_t expected_skipped = size > 3 ? Literal(text.substr(3)) : 0;
  for (ScanLevel level : {ScanLevel::kBytes, ScanLevel::kSse2, ScanLevel::kAvx2}) {
    if (level > vexmor::validate::BestScanLevel()) break;
    vexmor::validate::UseScanLevel(level);
    if (vexmor::validate::ContentSignature(text, nullptr) != expected) std::abort();
    if (size > 3 && vexmor::validate::ContentSignature(text.substr(3), nullptr) != expected_skipped)
      std::abort();
    for (std::string_view needle :
         {std::string_view("=20"), std::string_view("read.php?sessionid")})
      if (vexmor::validate::FindFrom(text, needle, 1) != text.find(needle, 1)) std::abort();
  }
  return 0;
}
