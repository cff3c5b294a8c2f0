// The hand-over objects of the background signature computation: an auto-reset completion
// event and the per-piece semaphores (count 0 to 1) of the long-text workers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vexmor/validate/ValidateExport.h"

class CArrangeEvent {
 public:
  CArrangeEvent() = default;
  CArrangeEvent(const CArrangeEvent&) = delete;
  CArrangeEvent& operator=(const CArrangeEvent&) = delete;

  // Signals the event (a second Set before a wait changes nothing).
  void Set() {
    {
      std::lock_guard lock(m_mutex);
      m_bSignalled = true;
    }
    m_cv.notify_all();
  }

  // Waits for the signal and consumes it (auto-reset). False when the time ran out.
  bool Wait(unsigned int dwMilliseconds = VEXMOR_INFINITE) {
    std::unique_lock lock(m_mutex);
    if (dwMilliseconds == VEXMOR_INFINITE) {
      m_cv.wait(lock, [this] { return m_bSignalled; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                              [this] { return m_bSignalled; })) {
      return false;
    }
    m_bSignalled = false;
    return true;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSignalled = false;
};
