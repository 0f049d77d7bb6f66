// The console queue: lines gather in a text under a short lock; the writer thread, woken by
// the first line of a batch, takes the whole text and writes it. When the console falls far behind
// (the reader of the pipe stopped), a line's own thread writes what is queued, so the queue never
// grows without bound and no line is dropped.
#include "runtime/monitor/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/dumpstack.h"
#include "runtime/jthread.h"
#include "runtime/mt.h"

namespace {

constexpr char kUnit[] = "console";
constexpr uint32_t kWriteSliceMs = 10;
constexpr size_t kMostQueued = 1 << 20;

class Queue : public JThread {
 public:
  void Add(const char* text) {
    bool first = false;
    bool full = false;
    {
      ScopedLock hold(queue_lock_, kUnit, __LINE__);
      first = queued_.empty();
      queued_.append(text, std::strlen(text));
      full = queued_.size() >= kMostQueued;
    }
    if (first) Wake();
    if (full) WriteQueued();
  }

  // Takes what is queued and writes it; the write lock keeps batches in the order they were
  // taken.
  void WriteQueued() {
    ScopedLock write_hold(write_lock_, kUnit, __LINE__);
    {
      ScopedLock hold(queue_lock_, kUnit, __LINE__);
      writing_.swap(queued_);
    }
    if (writing_.empty()) return;
    std::fwrite(writing_.data(), 1, writing_.size(), stdout);
    std::fflush(stdout);
    writing_.clear();
  }

  // Lets the writer run: a line came to an empty queue, or the queue stops. (A second wake
  // before the writer ran finds the semaphore at its maximum and changes nothing.)
  void Wake() { wake_.Unlock(); }

 protected:
  // Waits for lines without polling (an idle server's writer never wakes), and after each write
  // lets the lines of the next slice gather into one write.
  uint32_t Run() override {
    while (IsStopping() == 0) {
      wake_.Lock(kUnit, __LINE__);
      WriteQueued();
      JThread::Sleep(kWriteSliceMs);
    }
    return 0;
  }

 private:
  CCriticalSection write_lock_;
  CCriticalSection queue_lock_;
  CSemaphore wake_{0, 1};
  std::string queued_;   // guarded by queue_lock_
  std::string writing_;  // guarded by write_lock_
};

// Set and cleared only by StartQueue and StopQueue; Print reads it from any thread.
std::atomic<Queue*> g_queue{nullptr};

// What the fatal paths run first: the queued lines come before their own output.
void WriteQueuedLines() {
  if (Queue* queue = g_queue.load()) queue->WriteQueued();
}

}  // namespace

namespace console {

void Print(const char* text) {
  if (Queue* queue = g_queue.load()) {
    queue->Add(text);
    return;
  }
  std::fputs(text, stdout);
}

bool StartQueue() {
  if (g_queue.load() != nullptr) return true;
  auto queue = std::make_unique<Queue>();
  if (queue->Start() == 0) return false;
  g_queue.store(queue.release());
  SetConsoleFlush(WriteQueuedLines);
  return true;
}

void StopQueue() {
  std::unique_ptr<Queue> queue(g_queue.load());
  if (queue == nullptr) return;
  queue->Stop();
  queue->Wake();
  queue->Wait();
  SetConsoleFlush(nullptr);
  queue->WriteQueued();
  g_queue.store(nullptr);
}

}  // namespace console
