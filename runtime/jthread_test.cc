#include "runtime/jthread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "runtime/dumpstack.h"
#include "testing/temp_dir.h"

namespace {

std::atomic<bool> g_release{false};
std::atomic<int> g_parked{0};  // a new thread may not have begun to run when its start returns

}  // namespace

// Outside the anonymous namespace so that stack dumps can name it.
[[gnu::noinline]] uint32_t ParkForJThreadTest(JThread* /*thread*/) {
  ++g_parked;
  while (!g_release.load()) platform::SleepMs(1);
  asm volatile("" ::: "memory");
  return 5;
}

namespace {

// Jobs of the worker test append their number; the worker runs them one at a time.
std::vector<int> g_ran;
std::atomic<int> g_running{0};

template <int N>
uint32_t RecordJob(JThread* /*thread*/) {
  g_ran.push_back(g_running.fetch_add(1) == 0 ? N : -N);
  platform::SleepMs(2);
  g_running.fetch_sub(1);
  return N;
}

bool Registered(uint64_t id) {
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Posted jobs run one after another in order; a post waits while the current job runs; a
// stop wakes the idle worker, which ends.
TEST(JThread, WorkerRunsPostedJobsInOrderAndEndsWhenStopped) {
  g_release = false;
  JThread worker, poster;
  ASSERT_EQ(worker.StartWorker(), 1);
  worker.Post(ParkForJThreadTest);
  EXPECT_EQ(worker.IsBusy(), 1);
  static std::atomic<bool> s_posted{false};
  static JThread* s_worker = &worker;
  poster.StartRoutine([](JThread*) -> uint32_t {
    for (auto job : {RecordJob<1>, RecordJob<2>, RecordJob<3>}) s_worker->Post(job);
    return s_posted = true;
  });
  platform::SleepMs(30);
  EXPECT_FALSE(s_posted.load());
  g_release = true;
  EXPECT_EQ(poster.Wait(5000) + worker.WaitIdle(), 2);
  EXPECT_EQ(worker.IsBusy(), 0);
  EXPECT_EQ(g_ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(worker.job_result(), 3u);
  EXPECT_EQ(worker.IsStopping(), 0);
  platform::ThreadHandle handle = worker.handle();
  EXPECT_EQ(worker.Stop() + worker.IsStopping(), 2);
  EXPECT_EQ(platform::ThreadWait(handle, 5000), platform::WaitResult::kSignaled);
  EXPECT_EQ(worker.Wait(0), 1);
}

// The registry holds exactly the live threads; a thread started suspended runs after the
// resume; the result of Run is the exit code, and Run finds its own thread.
TEST(JThread, RegistryHoldsExactlyTheLiveThreads) {
  g_release = false;
  size_t before = JThread::RegisteredThreadIds().size();
  JThread a, b;
  ASSERT_EQ(a.StartRoutine(ParkForJThreadTest) + b.StartRoutine(ParkForJThreadTest), 2);
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before + 2);
  EXPECT_TRUE(Registered(a.thread_id()) && Registered(b.thread_id()));
  g_release = true;
  uint64_t b_id = b.thread_id();
  EXPECT_EQ(b.Wait(), 1);
  EXPECT_EQ(b.handle(), platform::kNoThread);
  EXPECT_EQ(b.thread_id(), 0u);
  EXPECT_FALSE(Registered(b_id));
  EXPECT_EQ(b.Wait(), 0);  // nothing to wait for any more
  a.Wait();
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before);
  ASSERT_EQ(a.StartRoutine(ParkForJThreadTest, platform::kCreateSuspended), 1);
  EXPECT_EQ(platform::ThreadWait(a.handle(), 20), platform::WaitResult::kTimeout);
  EXPECT_EQ(a.Resume(), 1u);
  EXPECT_EQ(a.Wait(5000), 1);
  EXPECT_EQ(JThread::FindCurrent(), nullptr);  // the test's thread is no JThread
}

// A thread that ends at once and is then waited for and deleted by another thread, as the
// server's reaper does with finished client threads: what Start stores is in place before the
// body runs. Its Run finds itself, and its result is the exit code.
class EndsAtOnce : public JThread {
 public:
  std::atomic<bool> ended{false};
  bool saw_itself = false;

 protected:
  uint32_t Run() override {
    saw_itself = handle() != platform::kNoThread && thread_id() != 0 && FindCurrent() == this;
    ended = true;
    return 17;
  }
};

TEST(JThread, WhatStartStoresIsInPlaceBeforeTheBodyRunsSoItsEndMayDeleteIt) {
  for (int round = 0; round < 100; ++round) {
    EndsAtOnce* thread = new EndsAtOnce;
    bool saw_itself = false;
    uint32_t code = 0;
    std::thread reaper([&] {
      while (!thread->ended.load()) std::this_thread::yield();
      saw_itself = thread->saw_itself;
      platform::ThreadWait(thread->handle(), platform::kInfinite);
      platform::ThreadExitCode(thread->handle(), &code);
      thread->Wait();
      delete thread;
    });
    ASSERT_EQ(thread->Start(), 1);
    reaper.join();
    ASSERT_TRUE(saw_itself && code == 17) << "round " << round;
  }
}

TEST(JThread, DumpOfAllThreadsListsEveryRegisteredThreadWithItsStack) {
  CurrentTempDir dir;
  g_release = false;
  g_parked = 0;
  JThread a, b;
  a.StartRoutine(ParkForJThreadTest);
  b.StartRoutine(ParkForJThreadTest);
  while (g_parked.load() < 2) platform::SleepMs(1);
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  std::vector<uint64_t> parked = {a.thread_id(), b.thread_id()};
  DumpAllThreads("threads.log");
  g_release = true;
  a.Wait();
  b.Wait();
  std::string dump = ReadFileBytes("threads.log");
  EXPECT_EQ(dump.rfind("total thread:" + std::to_string(ids.size()) + "\r\n", 0), 0u) << dump;
  size_t place = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string header = "**" + std::to_string(i + 1) + " ThreadID:" + std::to_string(ids[i]) +
                         " *********************************\r\n!!!dump stack time:";
    place = dump.find(header, place);
    ASSERT_NE(place, std::string::npos) << header << "\n" << dump;
    size_t end = dump.find("=== end DumpStack() output ===\r\n\r\n", place);
    bool is_parked = std::find(parked.begin(), parked.end(), ids[i]) != parked.end();
    EXPECT_EQ(dump.substr(place, end - place).find("ParkForJThreadTest") != std::string::npos,
              is_parked);
  }
}

}  // namespace
