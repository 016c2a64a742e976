#pragma once
// The engine's synchronisation queue: how worker threads run code on "the
// main thread" without the engine knowing the host's event loop.
//
// - Synchronize(proc) on a worker queues proc, calls the wake hook and blocks
//   until the main thread has run it (an exception thrown by proc is rethrown
//   in the worker). On the main thread it runs proc directly.
// - The host drains the queue on the main thread with CheckSynchronize: the
//   Qt application from the wake hook (a queued call onto the GUI thread), the
//   CLI in its own loop.
// - Deadlock rule: a main thread that waits for a worker (join, stop) must keep
//   draining the queue while it waits (e.g. loop on CheckSynchronize(10) until
//   the worker is done), because the worker may be blocked in Synchronize.
//
// The main thread is the thread that ran the engine's static initialisation
// (the process's main thread) unless SetMainThreadId names another one.

#include <functional>
#include <thread>

// Runs AProc on the main thread and returns when it has run. Any thread.
void Synchronize(std::function<void()> AProc);

// Like Synchronize but the worker does not wait: AProc is queued and runs on
// the main thread later, in queue order with the Synchronize calls (directly
// when called on the main thread). An exception it throws is dropped.
void Queue(std::function<void()> AProc);

// Main thread only: runs every queued call (in queue order) and returns
// whether anything ran. With ATimeoutMs > 0 and an empty queue it first waits
// up to that many milliseconds for work to arrive. Called on another thread
// it does nothing and returns false.
bool CheckSynchronize(int ATimeoutMs = 0);

// Hook called (on the queuing worker, after queuing, without locks held)
// whenever work is queued; empty = none. Set it from the main thread.
void SetSyncWakeHook(std::function<void()> AHook);

// The thread treated as the main thread.
void SetMainThreadId(std::thread::id AId);
std::thread::id MainThreadId();
bool IsMainThread();
