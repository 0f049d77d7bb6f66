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
// How many threads have reached ParkForJThreadTest: a new thread may not have begun to run
// when its start returns.
std::atomic<int> g_parked{0};

}  // namespace

// Outside the anonymous namespace so that stack dumps can name it.
[[gnu::noinline]] uint32_t ParkForJThreadTest(JThread* /*thread*/) {
  ++g_parked;
  while (!g_release.load()) platform::SleepMs(1);
  asm volatile("" ::: "memory");
  return 5;
}

namespace {

// Jobs of the worker tests append their number; the worker runs them one at a time.
std::vector<int> g_ran;
std::atomic<int> g_running{0};
std::atomic<bool> g_overlap{false};

template <int N>
uint32_t RecordJob(JThread* /*thread*/) {
  if (g_running.fetch_add(1) != 0) g_overlap = true;
  platform::SleepMs(2);
  g_ran.push_back(N);
  g_running.fetch_sub(1);
  return N;
}

uint32_t BlockUntilReleased(JThread* /*thread*/) {
  while (!g_release.load()) platform::SleepMs(1);
  return 9;
}

class JThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    g_release = false;
    g_ran.clear();
    g_overlap = false;
  }
};

bool Registered(uint64_t id) {
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Posted jobs run one after another in order; a post waits while the current job runs; a
// stop wakes the idle worker, which ends.
TEST_F(JThreadTest, WorkerRunsPostedJobsInOrderAndEndsWhenStopped) {
  JThread worker;
  ASSERT_EQ(worker.StartWorker(), 1);
  worker.Post(BlockUntilReleased);
  EXPECT_EQ(worker.IsBusy(), 1);
  static std::atomic<bool> s_posted;
  s_posted = false;
  static JThread* s_worker = &worker;
  JThread poster;
  poster.StartRoutine([](JThread*) -> uint32_t {
    for (auto job : {RecordJob<1>, RecordJob<2>, RecordJob<3>}) s_worker->Post(job);
    s_posted = true;
    return 0;
  });
  platform::SleepMs(30);
  EXPECT_FALSE(s_posted.load());
  g_release = true;
  EXPECT_EQ(poster.Wait(5000), 1);
  EXPECT_TRUE(s_posted.load());
  EXPECT_EQ(worker.WaitIdle(), 1);
  EXPECT_EQ(worker.IsBusy(), 0);
  EXPECT_EQ(g_ran, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(g_overlap);
  EXPECT_EQ(worker.job_result(), 3u);
  EXPECT_EQ(worker.IsStopping(), 0);
  platform::ThreadHandle handle = worker.handle();
  EXPECT_EQ(worker.Stop(), 1);
  EXPECT_EQ(worker.IsStopping(), 1);
  EXPECT_EQ(platform::ThreadWait(handle, 5000), platform::WaitResult::kSignaled);
  EXPECT_EQ(worker.Wait(0), 1);
}

TEST_F(JThreadTest, RegistryHoldsExactlyTheLiveThreads) {
  size_t before = JThread::RegisteredThreadIds().size();
  JThread a, b, c;
  ASSERT_EQ(a.StartRoutine(BlockUntilReleased), 1);
  ASSERT_EQ(b.StartRoutine(BlockUntilReleased), 1);
  ASSERT_EQ(c.StartRoutine(BlockUntilReleased), 1);
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before + 3);
  EXPECT_TRUE(Registered(a.thread_id()) && Registered(b.thread_id()) && Registered(c.thread_id()));
  g_release = true;
  uint64_t b_id = b.thread_id();
  EXPECT_EQ(b.Wait(), 1);
  EXPECT_EQ(b.handle(), platform::kNoThread);
  EXPECT_EQ(b.thread_id(), 0u);
  EXPECT_FALSE(Registered(b_id));
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before + 2);
  EXPECT_EQ(b.Wait(), 0);  // nothing to wait for any more
  a.Wait();
  c.Wait();
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before);

  // Started suspended, it runs after the resume.
  ASSERT_EQ(a.StartRoutine(BlockUntilReleased, platform::kCreateSuspended), 1);
  EXPECT_EQ(platform::ThreadWait(a.handle(), 20), platform::WaitResult::kTimeout);
  EXPECT_EQ(a.Resume(), 1u);
  EXPECT_EQ(a.Wait(5000), 1);
}

class Counting : public JThread {
 public:
  std::atomic<JThread*> found{nullptr};

 protected:
  uint32_t Run() override {
    found = FindCurrent();
    return 17;
  }
};

TEST_F(JThreadTest, RunOverrideFindsItselfAndItsResultIsTheExitCode) {
  Counting thread;
  ASSERT_EQ(thread.Start(), 1);
  platform::ThreadHandle handle = thread.handle();
  platform::ThreadWait(handle, platform::kInfinite);
  uint32_t code = 0;
  ASSERT_TRUE(platform::ThreadExitCode(handle, &code));
  EXPECT_EQ(code, 17u);
  EXPECT_EQ(thread.found.load(), &thread);
  EXPECT_EQ(JThread::FindCurrent(), nullptr);  // the test's thread is no JThread
  thread.Wait();
}

// A thread that ends at once and is then waited for and deleted by another thread, as the
// server's reaper does with finished client threads.
class EndsAtOnce : public JThread {
 public:
  std::atomic<bool> ended{false};
  platform::ThreadHandle seen_handle = platform::kNoThread;
  uint64_t seen_id = 0;

 protected:
  uint32_t Run() override {
    seen_handle = handle();
    seen_id = thread_id();
    ended = true;
    return 0;
  }
};

TEST_F(JThreadTest, WhatStartStoresIsInPlaceBeforeTheBodyRunsSoItsEndMayDeleteIt) {
  for (int round = 0; round < 100; ++round) {
    EndsAtOnce* thread = new EndsAtOnce;
    bool saw_itself = false;
    std::thread reaper([&] {
      while (!thread->ended.load()) std::this_thread::yield();
      saw_itself = thread->seen_handle != platform::kNoThread && thread->seen_id != 0;
      thread->Wait();
      delete thread;
    });
    ASSERT_EQ(thread->Start(), 1);
    reaper.join();
    ASSERT_TRUE(saw_itself) << "round " << round;
  }
}

TEST_F(JThreadTest, DumpOfAllThreadsListsEveryRegisteredThreadWithItsStack) {
  CurrentTempDir dir;
  JThread a, b;
  g_parked = 0;
  a.StartRoutine(ParkForJThreadTest);
  b.StartRoutine(ParkForJThreadTest);
  while (g_parked.load() < 2) platform::SleepMs(1);
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  std::vector<uint64_t> parked = {a.thread_id(), b.thread_id()};
  for (uint64_t id : parked) ASSERT_TRUE(Registered(id));
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
    ASSERT_NE(end, std::string::npos);
    std::string block = dump.substr(place, end - place);
    if (std::find(parked.begin(), parked.end(), ids[i]) != parked.end()) {
      EXPECT_NE(block.find("ParkForJThreadTest"), std::string::npos) << block;
    }
  }
}

}  // namespace
