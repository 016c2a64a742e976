#include "engine/FFSync.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace {

// The completion record of a waiting call; lives on the stack of the worker
// that waits for it.
struct TSyncItem {
  std::exception_ptr Error;
  bool Done = false;
};

struct TQueued {
  std::function<void()> Proc;
  TSyncItem *Waiter; // null for a call nobody waits for (Queue)
};

struct TSyncQueue {
  std::mutex Lock;                  // guards every field below
  std::condition_variable Queued;   // main thread waits for work
  std::condition_variable Finished; // workers wait for their item
  std::deque<TQueued> Items;
  std::function<void()> WakeHook;
  std::thread::id MainThread = std::this_thread::get_id();
};

TSyncQueue &SyncQueue() {
  static TSyncQueue queue;
  return queue;
}

// Static initialisation runs on the process's main thread: fix the main
// thread id now rather than on first use by some worker.
const bool MainThreadCaptured = (SyncQueue(), true);

void Enqueue(std::function<void()> AProc, TSyncItem *AWaiter) {
  TSyncQueue &q = SyncQueue();
  std::function<void()> hook;
  {
    std::lock_guard lock(q.Lock);
    q.Items.push_back({std::move(AProc), AWaiter});
    hook = q.WakeHook;
  }
  q.Queued.notify_all();
  if (hook)
    hook();
}

} // namespace

void SetMainThreadId(std::thread::id AId) {
  std::lock_guard lock(SyncQueue().Lock);
  SyncQueue().MainThread = AId;
}

std::thread::id MainThreadId() {
  std::lock_guard lock(SyncQueue().Lock);
  return SyncQueue().MainThread;
}

bool IsMainThread() {
  return MainThreadId() == std::this_thread::get_id();
}

void SetSyncWakeHook(std::function<void()> AHook) {
  std::lock_guard lock(SyncQueue().Lock);
  SyncQueue().WakeHook = std::move(AHook);
}

void Synchronize(std::function<void()> AProc) {
  (void)MainThreadCaptured;
  if (!AProc)
    return;
  if (IsMainThread()) {
    AProc();
    return;
  }
  TSyncQueue &q = SyncQueue();
  TSyncItem item;
  Enqueue(std::move(AProc), &item);
  std::unique_lock lock(q.Lock);
  q.Finished.wait(lock, [&] { return item.Done; });
  if (item.Error)
    std::rethrow_exception(item.Error);
}

void Queue(std::function<void()> AProc) {
  if (!AProc)
    return;
  if (IsMainThread()) {
    AProc();
    return;
  }
  Enqueue(std::move(AProc), nullptr);
}

bool CheckSynchronize(int ATimeoutMs) {
  TSyncQueue &q = SyncQueue();
  std::unique_lock lock(q.Lock);
  if (q.MainThread != std::this_thread::get_id())
    return false;
  if (q.Items.empty() && ATimeoutMs > 0)
    q.Queued.wait_for(lock, std::chrono::milliseconds(ATimeoutMs),
                      [&] { return !q.Items.empty(); });
  bool ran = false;
  while (!q.Items.empty()) {
    TQueued next = std::move(q.Items.front());
    q.Items.pop_front();
    lock.unlock(); // the call may log, queue or synchronise itself
    std::exception_ptr error;
    try {
      next.Proc();
    } catch (...) {
      error = std::current_exception(); // dropped for Queue calls: nobody to receive it
    }
    lock.lock();
    ran = true;
    if (next.Waiter) {
      next.Waiter->Error = error;
      next.Waiter->Done = true;
      q.Finished.notify_all();
    }
  }
  return ran;
}
