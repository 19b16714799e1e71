// Threads, priorities, affinity, the process and processor information.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "common/ThisProcess.h"
#include "platform/win32.h"

namespace {
template <class F>
HANDLE Start(F *function, unsigned flags = 0, unsigned *id = nullptr) {
    return reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0, [](void *f) -> unsigned { return (*static_cast<F *>(f))(); }, function, flags, id));
}
}  // namespace

TEST(Threads, ExitCodeIsStillActiveWhileRunningThenKept) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD seenId = 0;
    auto body = [&]() -> unsigned {
        seenId = GetCurrentThreadId();
        WaitForSingleObject(go, INFINITE);
        return 42;
    };
    unsigned id = 0;
    HANDLE thread = Start(&body, 0, &id);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(seenId, id);
    EXPECT_NE(id, GetCurrentThreadId());
    CloseHandle(thread);
    CloseHandle(go);
}

TEST(Threads, EndThreadExSetsTheCodeAndUnwinds) {
    bool unwound = false;
    auto body = [&]() -> unsigned {
        struct Flag {
            bool &flag;
            ~Flag() { flag = true; }
        } flag{unwound};
        _endthreadex(7);
        return 1;
    };
    HANDLE thread = Start(&body);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(unwound);
    CloseHandle(thread);
}

TEST(Threads, CreateSuspendedRunsOnlyAfterResume) {
    bool ran = false;
    auto body = [&]() -> unsigned {
        ran = true;
        return 3;
    };
    HANDLE thread = Start(&body, CREATE_SUSPENDED);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    CloseHandle(thread);
    EXPECT_EQ(_beginthreadex(
                  nullptr, 0, [](void *) -> unsigned { return 0; }, nullptr, 0x1000, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Threads, TerminateStopsABlockedThreadWithTheGivenCode) {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    auto body = [&]() -> unsigned {
        WaitForSingleObject(mutex, INFINITE);
        SetEvent(started);
        WaitForSingleObject(never, INFINITE);
        return 0;
    };
    HANDLE thread = Start(&body);
    ASSERT_EQ(WaitForSingleObject(started, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(thread, 0xFFFFFFFFu));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    // Its mutex was abandoned to the next waiter.
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
    ReleaseMutex(mutex);
    // The stopped thread takes nothing more, even when its event comes.
    SetEvent(never);
    EXPECT_EQ(WaitForSingleObject(never, 0), WAIT_OBJECT_0);
    for (HANDLE h : {thread, never, started, mutex})
        CloseHandle(h);
}

TEST(Threads, TerminateStopsASleepingThread) {
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto body = [&]() -> unsigned {
        SetEvent(started);
        Sleep(INFINITE);
        return 0;
    };
    HANDLE thread = Start(&body);
    WaitForSingleObject(started, INFINITE);
    EXPECT_TRUE(TerminateThread(thread, 5));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 5u);
    CloseHandle(thread);
    CloseHandle(started);
}

TEST(Threads, PriorityReadBackIsWhatIsInForce) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto body = [&]() -> unsigned { return WaitForSingleObject(go, INFINITE); };
    HANDLE thread = Start(&body);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    // The thread only waits: no spinning at real-time priority.
    const BOOL critical = SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    if (critical)
        EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
    else
        EXPECT_NE(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_IDLE));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_IDLE);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
    EXPECT_FALSE(SetThreadPriority(thread, 7));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetEvent(go);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(go);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST(Threads, AffinityStaysInsideTheProcessMask) {
    DWORD_PTR processMask = 0, systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    EXPECT_NE(processMask, 0u);
    EXPECT_EQ(processMask & ~systemMask, 0u);
    const DWORD_PTR lowest = processMask & (~processMask + 1);
    const DWORD_PTR previous = SetThreadAffinityMask(GetCurrentThread(), lowest);
    EXPECT_EQ(previous, processMask);
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), processMask), lowest);
    if (~processMask != 0) {
        const DWORD_PTR free = ~processMask;
        const DWORD_PTR outside = free & (~free + 1);  // lowest processor outside
        SetLastError(0);
        EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), outside), 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 0), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Process, AffinityMaskOutsideTheMachineIsRefused) {
    DWORD_PTR processMask = 0, systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    EXPECT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), processMask));
    if (~systemMask != 0) {
        SetLastError(0);
        EXPECT_FALSE(SetProcessAffinityMask(GetCurrentProcess(), ~systemMask));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
}

TEST(Process, PriorityClassReadBackIsWhatIsInForce) {
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
    if (SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS)) {
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), REALTIME_PRIORITY_CLASS);
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    } else {
        EXPECT_NE(GetPriorityClass(GetCurrentProcess()), REALTIME_PRIORITY_CLASS);
    }
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Process, ProcessorInformationThroughKernel32CountsEveryProcessor) {
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    ASSERT_NE(kernel32, nullptr);
    typedef BOOL(WINAPI * Function)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);
    auto function = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetLogicalProcessorInformation")));
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    DWORD length = 0;
    EXPECT_FALSE(function(nullptr, &length));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length % sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION), 0u);
    DWORD shortLength = length - 1;
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(length /
                                                              sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    EXPECT_FALSE(function(entries.data(), &shortLength));
    EXPECT_EQ(shortLength, length);
    ASSERT_TRUE(function(entries.data(), &length));
    long logical = 0, cores = 0, packages = 0;
    DWORD_PTR seen = 0;
    for (const auto &entry : entries) {
        if (entry.Relationship == RelationProcessorCore) {
            ++cores;
            logical += __builtin_popcountll(entry.ProcessorMask);
            EXPECT_EQ(seen & entry.ProcessorMask, 0u) << "a processor in two cores";
            seen |= entry.ProcessorMask;
        }
        if (entry.Relationship == RelationProcessorPackage)
            ++packages;
    }
    const long online = OnlineProcessors();
    EXPECT_EQ(logical, online < 64 ? online : 64);
    EXPECT_GE(cores, 1);
    EXPECT_GE(packages, 1);
}

TEST(Process, ModuleFileNameIsTheExecutable) {
    char path[PATH_MAX];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    const std::string expected = ExecutablePath();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(path, expected);
    char tiny[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, tiny, sizeof tiny), 4u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tiny[3], 0);
}
