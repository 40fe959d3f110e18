// Events and threads behind 32-bit handle ids. All waitable state sits
// under one mutex with one condition variable: waits are rare and short
// lists, and a single lock makes wait-for-all take every object at once.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <pthread.h>

#include "cert/sysapi.h"

namespace {

struct KObject {
    enum Kind { kEvent, kThread, kTimer } kind;
    bool signaled = false;
    bool manualReset = true;
    std::string name;
    // Threads only.
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    DWORD suspendCount = 0;
    // Timers only: set by DeleteTimerQueueTimer; `signaled` marks the end of
    // the timer's thread, `doneEvent` is set then.
    bool cancelled = false;
    HANDLE doneEvent = nullptr;
};

struct Table {
    std::mutex mu;
    std::condition_variable cv;
    std::unordered_map<std::uint32_t, std::shared_ptr<KObject>> handles;
    std::map<std::string, std::weak_ptr<KObject>> names;
    std::uint32_t next = 0x10000;
};

// Never destroyed: detached threads may still signal while the process exits.
Table& T() {
    static Table* t = new Table;
    return *t;
}

HANDLE ToHandle(std::uint32_t id) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(id)); }

std::uint32_t ToId(HANDLE h) {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    return v > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(v);
}

// Caller holds the table lock.
HANDLE AddHandle(Table& t, std::shared_ptr<KObject> obj) {
    while (t.next < 0x10000 || t.handles.count(t.next)) t.next += 4;
    std::uint32_t id = t.next;
    t.next += 4;
    t.handles.emplace(id, std::move(obj));
    return ToHandle(id);
}

std::shared_ptr<KObject> Find(Table& t, HANDLE h) {
    auto it = t.handles.find(ToId(h));
    return it == t.handles.end() ? nullptr : it->second;
}

// What the calls that make handles return on failure: null, with `error`
// as the last error.
HANDLE NoHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

}  // namespace

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, LPCSTR name) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    if (name && *name) {
        auto it = t.names.find(name);
        if (it != t.names.end()) {
            if (auto existing = it->second.lock()) {
                if (existing->kind != KObject::kEvent) return NoHandle(ERROR_INVALID_HANDLE);
                HANDLE h = AddHandle(t, existing);
                SetLastError(ERROR_ALREADY_EXISTS);
                return h;
            }
        }
    }
    auto obj = std::make_shared<KObject>();
    obj->kind = KObject::kEvent;
    obj->manualReset = manualReset != FALSE;
    obj->signaled = initialState != FALSE;
    if (name && *name) {
        obj->name = name;
        t.names[name] = obj;
    }
    HANDLE h = AddHandle(t, std::move(obj));
    SetLastError(ERROR_SUCCESS);
    return h;
} catch (...) {
    return cert::platform::ExceptionToLastError(HANDLE(nullptr));
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    if (!name || !*name) return NoHandle(ERROR_INVALID_PARAMETER);
    auto it = t.names.find(name);
    std::shared_ptr<KObject> obj = it == t.names.end() ? nullptr : it->second.lock();
    if (!obj || obj->kind != KObject::kEvent) return NoHandle(ERROR_FILE_NOT_FOUND);
    return AddHandle(t, std::move(obj));
} catch (...) {
    return cert::platform::ExceptionToLastError(HANDLE(nullptr));
}

namespace {
BOOL SetState(HANDLE event, bool state) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto obj = Find(t, event);
    if (!obj || obj->kind != KObject::kEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->signaled = state;
    if (state) t.cv.notify_all();
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}
}  // namespace

BOOL SetEvent(HANDLE event) { return SetState(event, true); }

BOOL ResetEvent(HANDLE event) { return SetState(event, false); }

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) try {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Table& t = T();
    std::unique_lock<std::mutex> lock(t.mu);
    std::vector<std::shared_ptr<KObject>> objs;
    for (DWORD i = 0; i < count; ++i) {
        auto obj = Find(t, objects[i]);
        if (!obj) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objs.push_back(std::move(obj));
    }
    auto take = [](KObject& o) {
        if (o.kind == KObject::kEvent && !o.manualReset) o.signaled = false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (auto& o : objs) all = all && o->signaled;
            if (all) {
                for (auto& o : objs) take(*o);
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (objs[i]->signaled) {
                    take(*objs[i]);
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (milliseconds == INFINITE) {
            t.cv.wait(lock);
        } else if (milliseconds == 0 || t.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: the state may have changed just at the deadline.
            if (milliseconds != 0)
                milliseconds = 0;
            else
                return WAIT_TIMEOUT;
        }
    }
} catch (...) {
    return cert::platform::ExceptionToLastError(WAIT_FAILED);
}

BOOL CloseHandle(HANDLE object) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.handles.find(ToId(object));
    if (it == t.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<KObject> obj = std::move(it->second);
    t.handles.erase(it);
    if (!obj->name.empty() && obj.use_count() == 1) t.names.erase(obj->name);
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}

BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, HANDLE* target, DWORD, BOOL, DWORD) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto obj = Find(t, source);
    if (!obj || !target) {
        SetLastError(obj ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *target = AddHandle(t, std::move(obj));
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}

// --- threads -----------------------------------------------------------------

namespace {

struct Start {
    std::shared_ptr<KObject> obj;
    TOOThreadProc proc;
    void* arg;
};

void* ThreadMain(void* p) {
    std::unique_ptr<Start> s(static_cast<Start*>(p));
    Table& t = T();
    {
        std::unique_lock<std::mutex> lock(t.mu);
        s->obj->threadId = GetCurrentThreadId();
        t.cv.notify_all();
        t.cv.wait(lock, [&] { return s->obj->suspendCount == 0; });
    }
    DWORD rc = s->proc(s->arg);
    std::lock_guard<std::mutex> lock(t.mu);
    s->obj->exitCode = rc;
    s->obj->signaled = true;
    t.cv.notify_all();
    return nullptr;
}

}  // namespace

uintptr_t _beginthreadex(void*, unsigned stackSize, TOOThreadProc start, void* arg, unsigned flags,
                         unsigned* threadId) try {
    if (!start) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto obj = std::make_shared<KObject>();
    obj->kind = KObject::kThread;
    obj->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
    auto s = std::make_unique<Start>(Start{obj, start, arg});
    Table& t = T();
    std::unique_lock<std::mutex> lock(t.mu);
    // The handle first: what can fail is done before a thread runs.
    HANDLE h = AddHandle(t, obj);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize) pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN));
    pthread_t th;
    int err = pthread_create(&th, &attr, ThreadMain, s.get());
    pthread_attr_destroy(&attr);
    if (err != 0) {
        t.handles.erase(ToId(h));
        errno = err;
        SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : cert::platform::ErrnoToWinError(err));
        return 0;
    }
    s.release();  // the thread owns it now
    // The id is the kernel's, known once the thread runs.
    t.cv.wait(lock, [&] { return obj->threadId != 0; });
    if (threadId) *threadId = obj->threadId;
    return reinterpret_cast<uintptr_t>(h);
} catch (...) {
    return cert::platform::ExceptionToLastError(uintptr_t(0));
}

DWORD ResumeThread(HANDLE thread) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto obj = Find(t, thread);
    if (!obj || obj->kind != KObject::kThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    DWORD previous = obj->suspendCount;
    if (previous > 0 && --obj->suspendCount == 0) t.cv.notify_all();
    return previous;
} catch (...) {
    return cert::platform::ExceptionToLastError(static_cast<DWORD>(-1));
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto obj = Find(t, thread);
    if (!obj || obj->kind != KObject::kThread || !exitCode) {
        SetLastError(obj ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = obj->signaled ? obj->exitCode : STILL_ACTIVE;
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}

DWORD GetThreadId(HANDLE thread) try {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mu);
    auto obj = Find(t, thread);
    if (!obj || obj->kind != KObject::kThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return obj->threadId;
} catch (...) {
    return cert::platform::ExceptionToLastError(DWORD(0));
}

// --- timer queue timers ---------------------------------------------------------

namespace {

struct TimerStart {
    std::shared_ptr<KObject> obj;
    WAITORTIMERCALLBACK callback;
    void* param;
    DWORD due;
    DWORD period;
};

void* TimerMain(void* p) {
    std::unique_ptr<TimerStart> s(static_cast<TimerStart*>(p));
    Table& t = T();
    std::unique_lock<std::mutex> lock(t.mu);
    s->obj->threadId = GetCurrentThreadId();
    t.cv.notify_all();
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(s->due);
    for (;;) {
        if (t.cv.wait_until(lock, next, [&] { return s->obj->cancelled; })) break;
        lock.unlock();
        s->callback(s->param, TRUE);
        lock.lock();
        if (s->period == 0 || s->obj->cancelled) break;
        next += std::chrono::milliseconds(s->period);
    }
    s->obj->signaled = true;
    HANDLE done = s->obj->doneEvent;
    t.cv.notify_all();
    lock.unlock();
    if (done) {
        SetEvent(done);
        CloseHandle(done);
    }
    return nullptr;
}

}  // namespace

BOOL CreateTimerQueueTimer(HANDLE* timer, HANDLE, WAITORTIMERCALLBACK callback, void* param, DWORD dueTime,
                           DWORD period, ULONG) try {
    if (!timer || !callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto obj = std::make_shared<KObject>();
    obj->kind = KObject::kTimer;
    auto s = std::make_unique<TimerStart>(TimerStart{obj, callback, param, dueTime, period});
    Table& t = T();
    std::unique_lock<std::mutex> lock(t.mu);
    HANDLE h = AddHandle(t, obj);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    int err = pthread_create(&th, &attr, TimerMain, s.get());
    pthread_attr_destroy(&attr);
    if (err != 0) {
        t.handles.erase(ToId(h));
        SetLastError(cert::platform::ErrnoToWinError(err));
        return FALSE;
    }
    s.release();  // the timer's thread owns it now
    t.cv.wait(lock, [&] { return obj->threadId != 0; });
    *timer = h;
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}

BOOL DeleteTimerQueueTimer(HANDLE, HANDLE timer, HANDLE completionEvent) try {
    Table& t = T();
    std::unique_lock<std::mutex> lock(t.mu);
    auto obj = Find(t, timer);
    if (!obj || obj->kind != KObject::kTimer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    t.handles.erase(ToId(timer));
    obj->cancelled = true;
    t.cv.notify_all();
    if (completionEvent == INVALID_HANDLE_VALUE) {
        // Waiting from inside the callback would never end.
        if (obj->threadId != GetCurrentThreadId()) t.cv.wait(lock, [&] { return obj->signaled; });
    } else if (completionEvent) {
        if (obj->signaled) {
            lock.unlock();
            SetEvent(completionEvent);
        } else if (auto ev = Find(t, completionEvent)) {
            obj->doneEvent = AddHandle(t, ev);  // the timer thread closes it
        }
    }
    return TRUE;
} catch (...) {
    return cert::platform::ExceptionToLastError(BOOL(FALSE));
}

// --- interlocked ---------------------------------------------------------------

namespace {
std::atomic_ref<LONG> Ref(volatile LONG* p) { return std::atomic_ref<LONG>(*const_cast<LONG*>(p)); }
}  // namespace

// The new value wraps like the atomic itself does.
LONG InterlockedIncrement(volatile LONG* value) {
    return static_cast<LONG>(static_cast<ULONG>(Ref(value).fetch_add(1)) + 1u);
}
LONG InterlockedDecrement(volatile LONG* value) {
    return static_cast<LONG>(static_cast<ULONG>(Ref(value).fetch_sub(1)) - 1u);
}
LONG InterlockedExchange(volatile LONG* target, LONG value) { return Ref(target).exchange(value); }
LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) { return Ref(target).fetch_add(value); }

LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
    Ref(target).compare_exchange_strong(comparand, exchange);
    return comparand;  // the value found, whether or not it was replaced
}

void* InterlockedCompareExchangePointer(void* volatile* target, void* exchange, void* comparand) {
    std::atomic_ref<void*>(*const_cast<void**>(target)).compare_exchange_strong(comparand, exchange);
    return comparand;
}
