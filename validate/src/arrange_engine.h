// The background content-signature computation shared by CCheckSum and CCheckValidate. Each
// class owns one engine bound to its own class-wide members.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "signature_core.h"
#include "vexmor/validate/CArrangeEvent.h"

namespace vexmor::validate {

struct ArrangeStatics {
  std::string& content;
  std::shared_ptr<CArrangeEvent>& main_event;
  std::array<std::shared_ptr<CArrangeEvent>, kPieceCount>& sub_event;
  std::atomic<int32_t>& thread_count;
  std::array<int32_t, kPieceCount>& org_length;
  std::array<int32_t, kPieceCount>& sub_length;
  std::array<std::string, kPieceCount>& sub_content;
  std::atomic<bool>& thread_stopped;
};

class ArrangeEngine {
 public:
  using PieceWorker = std::function<void(int)>;

  ArrangeEngine(const ArrangeStatics& statics, PieceWorker worker);
  ~ArrangeEngine();
  ArrangeEngine(const ArrangeEngine&) = delete;
  ArrangeEngine& operator=(const ArrangeEngine&) = delete;

  // Caller's thread: records the content and a new completion event in the class-wide members
  // and starts the coordinator thread, which stores the signature in *target.
  void Start(const void* owner, int64_t* target, std::string content);

  // The coordinator body on the content and event currently in the class-wide members.
  void RunFromStatics(const void* owner, int64_t* target);

  // The body of piece worker k of the running long-text computation.
  void RunPiece(int k);

  // Waits for (and consumes) the current completion event; false when there is none.
  bool Wait(unsigned int milliseconds);

  // Blocks until no computation started for "owner" is still running (object destruction).
  void WaitUntilIdle(const void* owner);

 private:
  struct Threads;
  // The coordinator and the piece workers: started on first use and kept, since starting
  // threads cost more than the arithmetic of a short message. A forked child starts its own.
  Threads& threads();
  // fork() copies the locks as they are: one held by a thread of the parent stays held in
  // the child, where that thread does not exist.
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();
  void Run(const void* owner, int64_t* target, const std::string& content,
           const std::shared_ptr<CArrangeEvent>& event);
  // Points text_ at the content, or at prepared_ when it holds "=20" to replace.
  void Prepare(const std::string& content);
  int64_t LongTextSignature();  // on text_

  ArrangeStatics s_;
  PieceWorker worker_;

  std::mutex state_mutex_;  // the class-wide event and content, and pending_
  std::condition_variable idle_;
  std::unordered_map<const void*, int> pending_;

  std::mutex run_mutex_;   // one computation of the class at a time
  std::string prepared_;   // the content with "=20" replaced, when it holds any
  std::string_view text_;  // the prepared text the computation and the piece workers read
  std::array<int64_t, kPieceCount> bounds_{};
  // Each worker sums its own piece (piece 0 without its last character): the join is then a
  // few additions instead of a second pass over the whole text.
  std::array<RunningChecksum, kPieceCount> piece_sums_{};
  std::array<uint64_t, kPieceCount> piece_counts_{};
  const platform::Clock* throttle_ = nullptr;

  std::mutex threads_mutex_;
  Threads* threads_ = nullptr;  // never freed: detached threads wait on it until the process ends
};

}  // namespace vexmor::validate
