// Semaphores and mutexes on one waitable record: a count guarded by a std::mutex with a
// condition variable. A semaphore's count is its free slots; a mutex's count is 1 when free,
// and its owner and recursion depth are kept beside it.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace platform {
namespace {

constexpr uint32_t kSemaphoreTag = 0x53454D41;
constexpr uint32_t kMutexTag = 0x4D555458;

struct Waitable {
  uint32_t tag;
  std::mutex mutex;
  std::condition_variable changed;
  int32_t count;
  int32_t maximum;
  uint64_t owner = 0;  // mutexes only
  uint32_t depth = 0;  // mutexes only: entries by the owner not yet released
};

Waitable* Object(SyncHandle handle, uint32_t tag) {
  Waitable* object = reinterpret_cast<Waitable*>(handle);
  bool known = object != nullptr && (object->tag == kSemaphoreTag || object->tag == kMutexTag);
  if (!known || (tag != 0 && object->tag != tag)) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return object;
}

// Called with the record's lock held: takes what a waiter needs when it is there.
bool TryTake(Waitable& object, uint64_t me) {
  if (object.tag == kMutexTag && object.owner == me) {
    ++object.depth;
    return true;
  }
  if (object.count == 0) return false;
  --object.count;
  if (object.tag == kMutexTag) {
    object.owner = me;
    object.depth = 1;
  }
  return true;
}

}  // namespace

SyncHandle SemaphoreCreate(int32_t initial, int32_t maximum) {
  if (maximum < 1 || initial < 0 || initial > maximum) {
    SetLastError(kErrorInvalidParameter);
    return kNoSync;
  }
  return reinterpret_cast<SyncHandle>(new Waitable{kSemaphoreTag, {}, {}, initial, maximum});
}

bool SemaphoreRelease(SyncHandle semaphore, int32_t count, int32_t* previous) {
  Waitable* object = Object(semaphore, kSemaphoreTag);
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> hold(object->mutex);
  if (count < 1 || count > object->maximum - object->count) {
    SetLastError(count < 1 ? kErrorInvalidParameter : kErrorTooManyPosts);
    return false;
  }
  if (previous != nullptr) *previous = object->count;
  object->count += count;
  object->changed.notify_all();
  return true;
}

SyncHandle MutexCreate() {
  return reinterpret_cast<SyncHandle>(new Waitable{kMutexTag, {}, {}, 1, 1});
}

bool MutexRelease(SyncHandle mutex) {
  Waitable* object = Object(mutex, kMutexTag);
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> hold(object->mutex);
  if (object->depth == 0 || object->owner != CurrentThreadId()) {
    SetLastError(kErrorNotOwner);
    return false;
  }
  if (--object->depth == 0) {
    object->owner = 0;
    object->count = 1;
    object->changed.notify_one();
  }
  return true;
}

WaitResult SyncWait(SyncHandle handle, uint32_t timeout_ms) {
  Waitable* object = Object(handle, 0);
  if (object == nullptr) return WaitResult::kFailed;
  uint64_t me = CurrentThreadId();
  std::unique_lock<std::mutex> hold(object->mutex);
  auto ready = [&] { return TryTake(*object, me); };
  if (timeout_ms == kInfinite) {
    object->changed.wait(hold, ready);
    return WaitResult::kSignaled;
  }
  bool taken = object->changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), ready);
  return taken ? WaitResult::kSignaled : WaitResult::kTimeout;
}

bool SyncClose(SyncHandle handle) {
  Waitable* object = Object(handle, 0);
  if (object == nullptr) return false;
  object->tag = 0;
  delete object;
  return true;
}

}  // namespace platform
