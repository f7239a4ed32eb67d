#include "server/ApartmentWait.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include "base/Handles.h"
#include "server/ComException.h"

namespace {
// Pieces of work this thread has claimed and not finished.
thread_local int t_owed = 0;

std::mutex& ObserverLock() {
    static std::mutex lock;
    return lock;
}
std::function<void()>& Observer() {
    static std::function<void()> observer;
    return observer;
}

// One event per piece of work that somebody waits for, made by its first waiter.
std::mutex g_eventsLock;
std::unordered_map<const void*, std::shared_ptr<unique_handle>> g_events;
}  // namespace

OwedWork::OwedWork() { ++t_owed; }
OwedWork::~OwedWork() { --t_owed; }

bool WaitsDispatch() {
    if (t_owed) return false;
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
}

void SetDispatchingWaitObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> hold(ObserverLock());
    Observer() = std::move(observer);
}

void WaitInServer(HANDLE handle) {
    if (WaitsDispatch()) {
        std::function<void()> observer;
        {
            std::lock_guard<std::mutex> hold(ObserverLock());
            observer = Observer();
        }
        if (observer) observer();
        DWORD index = 0;
        if (SUCCEEDED(CoWaitForMultipleHandles(0, INFINITE, 1, &handle, &index))) return;
    }
    WaitForSingleObject(handle, INFINITE);
}

bool DoneOnce::Claim() {
    LONG idle = kIdle;
    if (!state_.compare_exchange_strong(idle, kRunning, std::memory_order_acq_rel)) return false;
    owner_ = GetCurrentThreadId();
    ++t_owed;
    return true;
}

void DoneOnce::Finish() {
    std::shared_ptr<unique_handle> event;
    {
        std::lock_guard<std::mutex> hold(g_eventsLock);
        state_.store(kDone, std::memory_order_release);
        auto waited = g_events.find(this);
        if (waited != g_events.end()) {
            event = std::move(waited->second);
            g_events.erase(waited);
        }
    }
    --t_owed;
    if (event) SetEvent(event->get());
}

void DoneOnce::Wait() {
    std::shared_ptr<unique_handle> event;
    {
        std::lock_guard<std::mutex> hold(g_eventsLock);
        if (state_.load(std::memory_order_acquire) == kDone) return;
        // The owner never dispatches calls while it owes work, so it can only get here by a fault.
        if (owner_ == GetCurrentThreadId()) {
            PublishDescription(L"A read waited for itself on one thread.");
            RaiseComException(com_exception(E_UNEXPECTED));
        }
        std::shared_ptr<unique_handle>& slot = g_events[this];
        if (!slot) {
            slot = std::make_shared<unique_handle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!*slot) {
                g_events.erase(this);
                throw std::bad_alloc();
            }
        }
        event = slot;
    }
    WaitInServer(event->get());
}
