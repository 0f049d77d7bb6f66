#include "runtime/jthread.h"

#include <gtest/gtest.h>

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
std::vector<int> g_ran;

template <int N>
uint32_t RecordJob(JThread* /*thread*/) {
  g_ran.push_back(N);
  return N;
}

}  // namespace

// Outside the anonymous namespace so that stack dumps can name it.
[[gnu::noinline]] uint32_t ParkForJThreadTest(JThread* /*thread*/) {
  ++g_parked;
  while (!g_release.load()) platform::SleepMs(1);
  asm volatile("" ::: "memory");
  return 5;
}

namespace {

// A post waits while the current job runs; a stop wakes the idle worker, which ends.
TEST(JThread, WorkerRunsPostedJobsInOrderAndEndsWhenStopped) {
  g_release = false;
  JThread worker;
  ASSERT_EQ(worker.StartWorker(), 1);
  worker.Post(ParkForJThreadTest);
  std::atomic<bool> posted{false};
  std::thread poster([&] {
    for (auto job : {RecordJob<1>, RecordJob<2>, RecordJob<3>}) worker.Post(job);
    posted = true;
  });
  platform::SleepMs(30);
  EXPECT_FALSE(posted.load());
  g_release = true;
  poster.join();
  EXPECT_EQ(worker.WaitIdle(), 1);
  EXPECT_EQ(g_ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(worker.job_result(), 3u);
  EXPECT_EQ(worker.Stop() + worker.IsStopping() + worker.Wait(5000), 3);
}

// The registry and the dump of all threads hold exactly the live threads, each with its stack.
TEST(JThread, RegistryAndDumpHoldExactlyTheLiveThreads) {
  CurrentTempDir dir;
  g_release = false;
  g_parked = 0;
  size_t before = JThread::RegisteredThreadIds().size();
  JThread a, b;
  ASSERT_EQ(a.StartRoutine(ParkForJThreadTest) + b.StartRoutine(ParkForJThreadTest), 2);
  while (g_parked.load() < 2) platform::SleepMs(1);
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  ASSERT_EQ(ids.size(), before + 2);
  DumpAllThreads("threads.log");
  std::string dump = ReadFileBytes("threads.log");
  for (size_t i = 0, place = 0; i < ids.size(); ++i) {
    place = dump.find("**" + std::to_string(i + 1) + " ThreadID:" + std::to_string(ids[i]) + " **",
                      place);
    ASSERT_NE(place, std::string::npos) << i << "\n" << dump;
    size_t end = dump.find("=== end DumpStack() output ===", place);
    EXPECT_EQ(dump.substr(place, end - place).find("ParkForJThreadTest") != std::string::npos,
              ids[i] == a.thread_id() || ids[i] == b.thread_id());
  }
  g_release = true;
  EXPECT_EQ(b.Wait() + a.Wait(), 2);
  EXPECT_EQ(JThread::RegisteredThreadIds().size(), before);
}

// A thread deleted by a reaper as it ends: what Start stores is in place before the body runs.
struct EndsAtOnce : JThread {
  std::atomic<bool> ended{false};
  bool saw_itself = false;
  uint32_t Run() override {
    saw_itself = handle() != platform::kNoThread && thread_id() != 0 && FindCurrent() == this;
    ended = true;
    return 17;
  }
};

TEST(JThread, WhatStartStoresIsInPlaceBeforeTheBodyRunsSoItsEndMayDeleteIt) {
  for (int round = 0; round < 100; ++round) {
    EndsAtOnce* thread = new EndsAtOnce;
    uint32_t code = 0;
    std::thread reaper([&] {
      while (!thread->ended.load()) std::this_thread::yield();
      EXPECT_TRUE(thread->saw_itself);
      platform::ThreadWait(thread->handle(), platform::kInfinite);
      platform::ThreadExitCode(thread->handle(), &code);
      thread->Wait();
      delete thread;
    });
    ASSERT_EQ(thread->Start(), 1);
    reaper.join();
    ASSERT_EQ(code, 17u) << "round " << round;
  }
}

}  // namespace
