// A per-thread count of the work the text scans do: bytes examined by searches, bytes the HTML
// parser allocates, open elements and nodes visited. A test reads it around one call to show
// that a hostile input's cost grows in step with its size, exactly and on any machine, where a
// timing would depend on the machine's caches and load (the timings live in bench/).
#pragma once

#include <cstddef>

namespace vexmor::platform {

inline thread_local size_t t_work_units = 0;

inline void CountWork(size_t units) {
  t_work_units += units;
}

inline size_t WorkUnits() {
  return t_work_units;
}

}  // namespace vexmor::platform
