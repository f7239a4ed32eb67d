// Waiting inside the server for another thread. A thread of a single-threaded apartment keeps
// dispatching its messages and incoming calls while it waits, unless it is itself doing work that
// other threads may be waiting for: then it waits without dispatching, so that no call can enter
// it and wait, on the same stack, for what this very thread has begun.
#pragma once
#include <windows.h>
#include <atomic>
#include <functional>

// Waits for the handle without limit.
void WaitInServer(HANDLE handle);
// True when this thread's waits dispatch calls (a single-threaded apartment owing no work).
bool WaitsDispatch();
// Tests: called on the waiting thread each time a dispatching wait begins (null: none).
void SetDispatchingWaitObserver(std::function<void()> observer);

// Marks this thread, while it lives, as doing work that other threads may wait for.
class OwedWork {
public:
    OwedWork();
    ~OwedWork();
    OwedWork(const OwedWork&) = delete;
    OwedWork& operator=(const OwedWork&) = delete;
};

// Work done once, by the first thread that asks; the others wait for it. A failure ends the work
// as a success does: it is not retried, by any thread.
class DoneOnce {
public:
    bool Done() const { return state_.load(std::memory_order_acquire) == kDone; }
    // Runs work() unless done; waits while another thread runs it.
    template <typename Work>
    void Run(Work&& work) {
        if (Done()) return;
        if (!Claim()) return Wait();
        struct Finisher {
            DoneOnce& once;
            ~Finisher() { once.Finish(); }
        } finisher{*this};
        work();
    }
    // For work done in batches: true when this thread now owes the work and must Finish it.
    bool Claim();
    void Finish();
    // Returns once the work is done.
    void Wait();

private:
    enum : LONG { kIdle, kRunning, kDone };
    std::atomic<LONG> state_{kIdle};
    DWORD owner_ = 0;
};
