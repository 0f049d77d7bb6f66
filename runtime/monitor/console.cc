// The console queue: lines gather in a text under a short lock; the writer thread takes the
// whole text every few milliseconds and writes it. When the console falls far behind (the
// reader of the pipe stopped), a line's own thread writes what is queued, so the queue never
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
    bool full = false;
    {
      ScopedLock hold(queue_lock_, kUnit, __LINE__);
      queued_.append(text, std::strlen(text));
      full = queued_.size() >= kMostQueued;
    }
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

 protected:
  uint32_t Run() override {
    while (IsStopping() == 0) {
      JThread::Sleep(kWriteSliceMs);
      WriteQueued();
    }
    return 0;
  }

 private:
  CCriticalSection write_lock_;
  CCriticalSection queue_lock_;
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
  queue->Wait();
  SetConsoleFlush(nullptr);
  queue->WriteQueued();
  g_queue.store(nullptr);
}

}  // namespace console
