// Events, mutexes (unnamed, named, across processes) and the waits over them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/ChildProgram.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {
HANDLE Event(bool manual, bool initial) {
    return CreateEventA(nullptr, manual, initial, nullptr);
}

// Runs a function on a thread started by _beginthreadex and returns its handle.
template <class F>
HANDLE Start(F *function) {
    return reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0, [](void *f) -> unsigned { return (*static_cast<F *>(f))(); }, function, 0, nullptr));
}
}  // namespace

TEST(Events, AutoResetReleasesOneWaitManualResetStays) {
    HANDLE automatic = Event(false, true);
    HANDLE manual = Event(true, false);
    ASSERT_NE(automatic, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 5), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 5), WAIT_TIMEOUT);
    CloseHandle(automatic);
    CloseHandle(manual);
}

TEST(Events, NamedEventsAreRefused) {
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Named"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
}

TEST(Waits, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    HANDLE events[3] = {Event(false, false), Event(false, true), Event(false, true)};
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The third auto-reset event was not consumed.
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(events[2]);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[2], 0), WAIT_OBJECT_0);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(Waits, TimeoutsOfZeroAndSomeMilliseconds) {
    HANDLE events[2] = {Event(true, false), Event(false, false)};
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[1], 1), WAIT_TIMEOUT);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(Waits, AnInfiniteWaitEndsWhenAnotherThreadSignals) {
    HANDLE ready = Event(true, false);
    HANDLE wake = Event(false, false);
    auto body = [&]() -> unsigned {
        SetEvent(ready);
        return SetEvent(wake) ? 0 : 1;
    };
    HANDLE events[2] = {Event(true, false), wake};
    HANDLE thread = Start(&body);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    for (HANDLE h : {ready, wake, events[0], thread})
        CloseHandle(h);
}

TEST(Waits, ManyWaitersOneAutoResetSignalWakesExactlyOne) {
    HANDLE gate = Event(false, false);
    HANDLE stop = Event(true, false);
    std::atomic<int> woken{0};
    auto body = [&]() -> unsigned {
        HANDLE set[2] = {stop, gate};
        if (WaitForMultipleObjects(2, set, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            ++woken;
        return 0;
    };
    HANDLE threads[4];
    for (HANDLE &thread : threads)
        thread = Start(&body);
    SetEvent(gate);
    // Wait until someone took it, then release the rest.
    while (WaitForSingleObject(gate, 0) == WAIT_OBJECT_0)
        SetEvent(gate);  // took it ourselves before any waiter: hand it on
    SetEvent(stop);
    EXPECT_EQ(WaitForMultipleObjects(4, threads, FALSE, INFINITE) < WAIT_OBJECT_0 + 4, true);
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_LE(woken.load(), 1);
    CloseHandle(gate);
    CloseHandle(stop);
}

TEST(Waits, BadHandlesAndArgumentsFail) {
    HANDLE event = Event(true, true);
    CloseHandle(event);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE two[2] = {Event(true, true), Event(true, true)};
    EXPECT_EQ(WaitForMultipleObjects(0, two, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    for (HANDLE h : two)
        CloseHandle(h);
}

TEST(Mutexes, UnnamedIsRecursiveAndOwnedByAThread) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // second level
    DWORD otherResult = 0, otherRelease = 0, otherError = 0;
    auto tryOther = [&]() -> unsigned {
        otherResult = WaitForSingleObject(mutex, 0);
        otherRelease = ReleaseMutex(mutex);
        otherError = GetLastError();
        return 0;
    };
    HANDLE thread = Start(&tryOther);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(otherResult, WAIT_TIMEOUT);
    EXPECT_EQ(otherRelease, (DWORD)FALSE);
    EXPECT_EQ(otherError, (DWORD)ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    thread = Start(&tryOther);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(otherResult, WAIT_OBJECT_0);
    EXPECT_EQ(otherRelease, (DWORD)TRUE);
    CloseHandle(mutex);
}

TEST(Mutexes, AThreadEndingWithTheMutexAbandonsIt) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    auto takeAndEnd = [&]() -> unsigned { return WaitForSingleObject(mutex, INFINITE); };
    HANDLE thread = Start(&takeAndEnd);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    HANDLE set[2] = {Event(true, false), mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, INFINITE), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(mutex));  // an abandoned wait acquired it
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(set[0]);
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST(Mutexes, AStdThreadEndingWithTheMutexAbandonsItToo) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([&] { WaitForSingleObject(mutex, INFINITE); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(NamedMutexes, CreateOpenAndTheLastCloseRemovesTheName) {
    TestRoot root;
    SetLastError(1234);
    HANDLE first = CreateMutexA(nullptr, TRUE, "Kestrune Test/Mutex\x01");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, "Kestrune Test/Mutex\x01");
    ASSERT_NE(opened, nullptr);
    // Names are case-sensitive.
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "kestrune test/mutex\x01"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    // Recursive for the owner, through any handle.
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(opened));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_FALSE(ReleaseMutex(first));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    // A named mutex is waited on alone.
    HANDLE set[2] = {Event(true, false), opened};
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    CloseHandle(set[0]);
    CloseHandle(first);
    CloseHandle(opened);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Kestrune Test/Mutex\x01"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(NamedMutexes, AnotherThreadTimesOutWhileItIsHeld) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "HeldByMain");
    DWORD results[2] = {};
    auto other = [&]() -> unsigned {
        HANDLE mine = OpenMutexA(SYNCHRONIZE, FALSE, "HeldByMain");
        results[0] = WaitForSingleObject(mine, 0);
        results[1] = WaitForSingleObject(mine, 10);
        CloseHandle(mine);
        return 0;
    };
    HANDLE thread = Start(&other);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(results[0], WAIT_TIMEOUT);
    EXPECT_EQ(results[1], WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(thread);
    CloseHandle(mutex);
}

// The child side of the two-process cases: what to do comes from the environment.
TEST(NamedMutexChild, Run) {
    const char *action = std::getenv("KESTRUNE_TEST_CHILD");
    if (!action)
        GTEST_SKIP() << "runs only as the child of a two-process test";
    const char *name = std::getenv("KESTRUNE_TEST_MUTEX");
    const char *ready = std::getenv("KESTRUNE_TEST_READY_FD");
    if (std::string(action) == "hold-and-die") {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        if (!mutex || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
            _exit(2);
        ReadyPipe::Signal(ready);
        _exit(0);  // dies holding it
    }
    if (std::string(action) == "probe") {
        // Exit code: 10 + result of a zero wait, 20 when it existed already.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        if (!mutex)
            _exit(3);
        int existed = GetLastError() == ERROR_ALREADY_EXISTS ? 20 : 0;
        DWORD result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0)
            ReleaseMutex(mutex);
        _exit(existed + (result == WAIT_OBJECT_0 ? 1 : result == WAIT_TIMEOUT ? 2 : 9));
    }
    if (std::string(action) == "probe-wait") {
        // Exit code: 30 abandoned, 31 free, 32 timed out, 39 failed.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        if (!mutex)
            _exit(3);
        DWORD result = WaitForSingleObject(mutex, 10000);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
        CloseHandle(mutex);
        _exit(result == WAIT_ABANDONED  ? 30
              : result == WAIT_OBJECT_0 ? 31
              : result == WAIT_TIMEOUT  ? 32
                                        : 39);
    }
    _exit(4);
}

TEST(NamedMutexes, AreSharedWithAnotherProcess) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "TwoProcesses");
    ASSERT_NE(mutex, nullptr);
    {
        ChildProgram child(ThisTestCase("NamedMutexChild.Run"),
                           {"KESTRUNE_TEST_CHILD=probe", "KESTRUNE_TEST_MUTEX=TwoProcesses"});
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(child.Wait(), 22);  // existed, and held by us
    }
    ASSERT_TRUE(ReleaseMutex(mutex));
    {
        ChildProgram child(ThisTestCase("NamedMutexChild.Run"),
                           {"KESTRUNE_TEST_CHILD=probe", "KESTRUNE_TEST_MUTEX=TwoProcesses"});
        EXPECT_EQ(child.Wait(), 21);  // existed, and free
    }
    CloseHandle(mutex);
}

TEST(NamedMutexes, AnOwnerProcessThatDiesAbandonsTheMutex) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "DiesHolding");
    ASSERT_NE(mutex, nullptr);
    ReadyPipe ready;
    ChildProgram child(ThisTestCase("NamedMutexChild.Run"),
                       {"KESTRUNE_TEST_CHILD=hold-and-die", "KESTRUNE_TEST_MUTEX=DiesHolding",
                        "KESTRUNE_TEST_READY_FD=" + ready.WriteFd()});
    ASSERT_TRUE(child.Started());
    ready.CloseWriteEnd();
    ASSERT_TRUE(ready.WaitReady());  // the child took it
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

// A thread terminated while it owns a named mutex abandons it, as one that ended does: the
// next wait, in this process or another, acquires it with WAIT_ABANDONED.
TEST(NamedMutexes, AThreadTerminatedWhileSleepingAbandonsItsMutex) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "TerminatedSleeper");
    HANDLE started = Event(true, false);
    ASSERT_NE(mutex, nullptr);
    auto body = [&]() -> unsigned {
        if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
            return 1;
        SetEvent(started);
        Sleep(INFINITE);
        return 0;
    };
    HANDLE thread = Start(&body);
    ASSERT_EQ(WaitForSingleObject(started, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateThread(thread, 7));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // no longer abandoned
    EXPECT_TRUE(ReleaseMutex(mutex));
    for (HANDLE h : {thread, started, mutex})
        CloseHandle(h);
}

TEST(NamedMutexes, AThreadTerminatedInAWaitAbandonsItsMutexToAnotherProcess) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "TerminatedWaiter");
    HANDLE started = Event(true, false);
    HANDLE never = Event(true, false);
    ASSERT_NE(mutex, nullptr);
    auto body = [&]() -> unsigned {
        if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
            return 1;
        SetEvent(started);
        return WaitForSingleObject(never, INFINITE);
    };
    HANDLE thread = Start(&body);
    ASSERT_EQ(WaitForSingleObject(started, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(thread, 8));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 8u);
    {
        ChildProgram child(ThisTestCase("NamedMutexChild.Run"),
                           {"KESTRUNE_TEST_CHILD=probe-wait", "KESTRUNE_TEST_MUTEX=TerminatedWaiter"});
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(child.Wait(), 30);
    }
    // The other process released it: free, and no longer abandoned.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    // The terminated thread takes nothing more, even when its event comes.
    SetEvent(never);
    EXPECT_EQ(WaitForSingleObject(never, 0), WAIT_OBJECT_0);
    for (HANDLE h : {thread, started, never, mutex})
        CloseHandle(h);
}

TEST(CriticalSections, AreRecursive) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    int counter = 0;
    std::thread other([&] {
        EnterCriticalSection(&section);
        ++counter;
        LeaveCriticalSection(&section);
    });
    ++counter;
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_EQ(counter, 2);
    DeleteCriticalSection(&section);
}
