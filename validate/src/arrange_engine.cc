#include "arrange_engine.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace vexmor::validate {

namespace {

// A thread started once that runs the tasks handed to it, one after another, in order.
class TaskThread {
 public:
  // False when no thread can be had; the caller then runs the task itself.
  bool Post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (!started_) {
      try {
        std::thread([this] { Loop(); }).detach();
      } catch (const std::system_error&) {
        return false;
      }
      started_ = true;
    }
    tasks_.push_back(std::move(task));
    ready_.notify_one();
    return true;
  }

 private:
  [[noreturn]] void Loop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool started_ = false;
};

// Every engine of the process, for the fork handlers; never destroyed.
std::mutex& EnginesMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
std::vector<ArrangeEngine*>& Engines() {
  static auto* engines = new std::vector<ArrangeEngine*>();
  return *engines;
}

}  // namespace

ArrangeEngine::ArrangeEngine(const ArrangeStatics& statics, PieceWorker worker)
    : s_(statics), worker_(std::move(worker)) {
  std::lock_guard lock(EnginesMutex());
  static const bool registered =
      pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild) == 0;
  (void)registered;
  Engines().push_back(this);
}

ArrangeEngine::~ArrangeEngine() {
  std::lock_guard lock(EnginesMutex());
  auto& engines = Engines();
  engines.erase(std::remove(engines.begin(), engines.end(), this), engines.end());
}

// The short locks are taken across the fork, so the child gets its state whole. The lock of
// a running computation is not (a computation may take seconds): the child makes it anew and
// forgets the parent's computations, which go on in the parent only.
void ArrangeEngine::BeforeFork() {
  EnginesMutex().lock();
  for (ArrangeEngine* engine : Engines()) {
    engine->state_mutex_.lock();
    engine->threads_mutex_.lock();
  }
}

void ArrangeEngine::AfterForkInParent() {
  for (ArrangeEngine* engine : Engines()) {
    engine->threads_mutex_.unlock();
    engine->state_mutex_.unlock();
  }
  EnginesMutex().unlock();
}

void ArrangeEngine::AfterForkInChild() {
  for (ArrangeEngine* engine : Engines()) {
    new (&engine->run_mutex_) std::mutex();
    new (&engine->idle_) std::condition_variable();
    engine->pending_.clear();
    engine->threads_mutex_.unlock();
    engine->state_mutex_.unlock();
  }
  EnginesMutex().unlock();
}

struct ArrangeEngine::Threads {
  pid_t pid = ::getpid();
  TaskThread coordinator;
  std::array<TaskThread, kPieceCount> pieces;
};

ArrangeEngine::Threads& ArrangeEngine::threads() {
  std::lock_guard lock(threads_mutex_);
  // A forked child has none of its parent's threads: it starts its own.
  if (threads_ == nullptr || threads_->pid != ::getpid()) threads_ = new Threads();
  return *threads_;
}

void ArrangeEngine::Start(const void* owner, int64_t* target, std::string content) {
  auto event = std::make_shared<CArrangeEvent>();
  {
    std::lock_guard lock(state_mutex_);
    s_.content = content;
    s_.main_event = event;
    ++pending_[owner];
  }
  bool posted = threads().coordinator.Post([this, owner, target, content = std::move(content),
                                            event] { Run(owner, target, content, event); });
  // No thread to be had: compute in the caller's thread rather than never signal.
  if (!posted) Run(owner, target, s_.content, event);
}

void ArrangeEngine::RunFromStatics(const void* owner, int64_t* target) {
  std::string content;
  std::shared_ptr<CArrangeEvent> event;
  {
    std::lock_guard lock(state_mutex_);
    content = s_.content;
    event = s_.main_event;
    ++pending_[owner];
  }
  Run(owner, target, content, event ? event : std::make_shared<CArrangeEvent>());
}

void ArrangeEngine::Run(const void* owner, int64_t* target, const std::string& content,
                        const std::shared_ptr<CArrangeEvent>& event) {
  {
    std::lock_guard run(run_mutex_);
    try {
      throttle_ = ConfiguredThrottle();
      // prepared_ keeps its capacity from one computation to the next.
      PrepareContentInto(content, prepared_);
      *target = prepared_.size() <= kShortTextLimit ? ShortTextSignature(prepared_, throttle_)
                                                    : LongTextSignature();
    } catch (const std::bad_alloc&) {
      // Out of memory: keep the previous signature, but always release the waiting consumer.
    }
    ReleaseScratch(prepared_);
    event->Set();
  }
  std::lock_guard lock(state_mutex_);
  if (--pending_[owner] == 0) pending_.erase(owner);
  idle_.notify_all();
}

int64_t ArrangeEngine::LongTextSignature() {
  bounds_ = PieceBoundaries(static_cast<int64_t>(prepared_.size()));
  s_.thread_count = 0;
  std::mutex done_mutex;
  std::condition_variable done;
  int left = kPieceCount;
  Threads& workers = threads();
  for (int k = 0; k < kPieceCount; ++k) {
    s_.sub_length[k] = static_cast<int32_t>(bounds_[k]);
    s_.sub_event[k] = std::make_shared<CArrangeEvent>();
  }
  for (int k = 0; k < kPieceCount; ++k) {
    auto piece = [this, k, &done_mutex, &done, &left] {
      worker_(k);
      std::lock_guard lock(done_mutex);
      if (--left == 0) done.notify_one();
    };
    if (!workers.pieces[k].Post(piece)) piece();  // no thread: scan the piece here
  }
  {
    std::unique_lock lock(done_mutex);
    done.wait(lock, [&] { return left == 0; });
  }
  s_.thread_stopped = false;
  RunningChecksum joined;
  for (int k = 0; k < kPieceCount; ++k) joined.Append(piece_sums_[k], piece_counts_[k]);
  joined.Update(std::string_view("", 1));  // the closing zero byte
  int64_t signature = joined.Value();
  // Emptied, but the room is kept for the next message unless it is unusually large.
  for (std::string& piece : s_.sub_content) ReleaseScratch(piece);
  return signature;
}

void ArrangeEngine::RunPiece(int k) {
  if (k < 0 || k >= kPieceCount) return;
  auto [begin, end] = PieceRange(bounds_, k);
  // Into the piece's own string, whose room the previous long text left.
  std::string& piece = s_.sub_content[k];
  piece.clear();
  NormaliseRange(prepared_, begin, end, piece, throttle_);
  s_.org_length[k] = static_cast<int32_t>(piece.size());
  std::string_view joined = piece;
  if (k == 0 && !joined.empty()) joined.remove_suffix(1);
  piece_sums_[k] = RunningChecksum();
  piece_sums_[k].Update(joined);
  piece_counts_[k] = joined.size();
  if (++s_.thread_count == kPieceCount) s_.thread_stopped = true;
  if (std::shared_ptr<CArrangeEvent> done = std::move(s_.sub_event[k])) done->Set();
}

bool ArrangeEngine::Wait(unsigned int milliseconds) {
  std::shared_ptr<CArrangeEvent> event;
  {
    std::lock_guard lock(state_mutex_);
    event = s_.main_event;
  }
  return event != nullptr && event->Wait(milliseconds);
}

void ArrangeEngine::WaitUntilIdle(const void* owner) {
  std::unique_lock lock(state_mutex_);
  idle_.wait(lock, [&] { return pending_.find(owner) == pending_.end(); });
}

}  // namespace vexmor::validate
