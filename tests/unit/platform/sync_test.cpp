#include <atomic>

#include <gtest/gtest.h>

#include "cert/sysapi.h"

namespace {
constexpr DWORD kLong = 10000;  // generous: only reached when something is broken
}  // namespace

TEST(Events, ManualAndAutoResetAndWaitAny) {
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, manual);
    ASSERT_NE(nullptr, autoEv);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));  // stays set
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 20));

    SetEvent(autoEv);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEv, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEv, 0));  // taken by the first wait

    HANDLE both[] = {manual, autoEv};
    SetEvent(autoEv);
    SetEvent(manual);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, FALSE, 0));  // lowest index wins
    ResetEvent(manual);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 0));

    CloseHandle(manual);
    CloseHandle(autoEv);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(manual, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(CloseHandle(manual));
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, both, FALSE, 0));
}

TEST(Events, WaitAllTakesEveryObjectOrNone) {
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {a, b};
    SetEvent(a);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 10));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));  // not consumed by the failed wait
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 0));  // both taken
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Events, NamesAreSharedWithinTheProcess) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "stop_check_event");
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "stop_check_event");  // settings of the first stay
    EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "stop_check_event");
    ASSERT_NE(nullptr, opened);
    EXPECT_NE(first, second);
    SetEvent(opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));  // manual reset: still set
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(opened);
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "stop_check_event"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

namespace {
struct Work {
    HANDLE go;
    std::atomic<bool> ran{false};
};

unsigned __stdcall WaitThenReturn(void* p) {
    auto* w = static_cast<Work*>(p);
    w->ran = true;
    return WaitForSingleObject(w->go, kLong) == WAIT_OBJECT_0 ? 42 : 1;
}
}  // namespace

TEST(Threads, HandleSignalsAtExitWithTheResultAndSuspendedThreadsWaitForResume) {
    Work w;
    w.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned tid = 0;
    HANDLE th = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitThenReturn, &w, 0, &tid));
    ASSERT_NE(nullptr, th);
    EXPECT_NE(0u, tid);
    EXPECT_EQ(tid, GetThreadId(th));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(th, 0));
    SetEvent(w.go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, kLong));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 0));  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(42u, code);
    CloseHandle(th);

    w.ran = false;
    th = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitThenReturn, &w, CREATE_SUSPENDED, nullptr));
    ASSERT_NE(nullptr, th);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(th, 50));
    EXPECT_FALSE(w.ran);
    EXPECT_EQ(1u, ResumeThread(th));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, kLong));
    EXPECT_TRUE(w.ran);
    EXPECT_EQ(0u, ResumeThread(th));
    CloseHandle(th);
    CloseHandle(w.go);
}

TEST(Threads, ClosingTheHandleEarlyDoesNotDisturbTheThread) {
    // Static: the thread may outlive this test once its handle is gone.
    static Work w;
    w.ran = false;
    w.go = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE other = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitThenReturn, &w, 0, nullptr));
    ASSERT_NE(nullptr, other);
    EXPECT_TRUE(CloseHandle(other));
    for (int i = 0; i < 1000 && !w.ran; ++i) Sleep(10);
    EXPECT_TRUE(w.ran);
}

namespace {
volatile LONG g_counter = 0;
unsigned __stdcall Count(void*) {
    for (int i = 0; i < 20000; ++i) InterlockedIncrement(&g_counter);
    for (int i = 0; i < 5000; ++i) InterlockedDecrement(&g_counter);
    return 0;
}
}  // namespace

TEST(Threads, InterlockedCountersLoseNoUpdates) {
    g_counter = 0;
    HANDLE th[4];
    for (HANDLE& h : th) h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 64 * 1024, Count, nullptr, 0, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, th, TRUE, kLong));
    EXPECT_EQ(4 * 15000, g_counter);
    for (HANDLE h : th) CloseHandle(h);

    volatile LONG v = 5;
    EXPECT_EQ(5, InterlockedCompareExchange(&v, 9, 4));  // no match: unchanged
    EXPECT_EQ(5, v);
    EXPECT_EQ(5, InterlockedCompareExchange(&v, 9, 5));
    EXPECT_EQ(9, v);
    EXPECT_EQ(9, InterlockedExchange(&v, 1));
    EXPECT_EQ(1, InterlockedExchangeAdd(&v, 2));
    v = 0x7FFFFFFF;
    EXPECT_EQ(LONG(0x80000000u), InterlockedIncrement(&v));  // wraps
}

namespace {
struct Ticks {
    std::atomic<int> calls{0};
    HANDLE third;
};
void __stdcall OnTimer(void* p, BOOLEAN fired) {
    auto* t = static_cast<Ticks*>(p);
    if (fired && ++t->calls == 3) SetEvent(t->third);
}
}  // namespace

TEST(Threads, PeriodicTimerStopsWhenDeleted) {
    Ticks ticks;
    ticks.third = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnTimer, &ticks, 1, 5, WT_EXECUTEINTIMERTHREAD));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ticks.third, kLong));
    ASSERT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
    int after = ticks.calls;
    Sleep(30);
    EXPECT_EQ(after, ticks.calls);
    EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, timer, nullptr));

    // A one-shot timer deleted before it is due never calls back; the
    // completion event is set all the same.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Ticks never;
    never.third = done;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnTimer, &never, kLong * 100, 0, 0));
    ASSERT_TRUE(DeleteTimerQueueTimer(nullptr, timer, done));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, kLong));
    EXPECT_EQ(0, never.calls);
    CloseHandle(done);
    CloseHandle(ticks.third);
}
