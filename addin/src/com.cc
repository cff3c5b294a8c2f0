#include "vexmor/addin/com.h"

#include <cstdio>

namespace vexmor::com {

std::string GuidToString(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1,
                guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3],
                guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
  return text;
}

bool GuidFromString(std::string_view text, GUID* guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  auto hex = [&](size_t at, size_t digits, uint64_t* value) {
    *value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      char c = text[i];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return false;
      *value = *value * 16 + static_cast<uint64_t>(digit);
    }
    return true;
  };
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
  uint64_t v = 0;
  GUID out{};
  if (!hex(1, 8, &v)) return false;
  out.data1 = static_cast<uint32_t>(v);
  if (!hex(10, 4, &v)) return false;
  out.data2 = static_cast<uint16_t>(v);
  if (!hex(15, 4, &v)) return false;
  out.data3 = static_cast<uint16_t>(v);
  static constexpr size_t kAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!hex(kAt[i], 2, &v)) return false;
    out.data4[i] = static_cast<uint8_t>(v);
  }
  *guid = out;
  return true;
}

}  // namespace vexmor::com
