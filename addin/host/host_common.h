// What the parts of the add-in host share: its voice on standard error, the largest message it
// reads whole, and its reference-counted objects.
#pragma once

#include <cstddef>
#include <string>

#include "vexmor/addin/com.h"
#include "vexmor/addin/incoming_filter.h"

namespace vexmor::addin_host {

// The host never holds a large message whole either: its header gives what the host needs.
inline constexpr size_t kWholeLimit = addin::kLargeMessageBytes - 1;

// A line on standard error, "Vexmor_AddinHost: LINE".
void Say(const std::string& line);

// The host's objects count references as every object of ours does.
template <typename Interface>
using HostObject = com::RefCounted<Interface>;

template <typename T>
void ReleaseAndClear(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

// The whole file, or empty when it cannot be read.
std::string ReadWhole(const std::string& path);

}  // namespace vexmor::addin_host
