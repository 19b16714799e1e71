// Console control handlers: on POSIX the layer delivers SIGINT, SIGQUIT, SIGHUP and SIGTERM
// to the handlers of SetConsoleCtrlHandler as Ctrl-C, Ctrl-Break, close and shutdown events.
// The signals are sent with kill(), so these cases exist only where the layer maps them.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/ChildProgram.h"
#include "platform/win32.h"

namespace {

HANDLE HandledEvent = nullptr;  // auto-reset: a handler answered TRUE
std::mutex CallsLock;
std::vector<int> Calls;  // which handler saw which event: handler * 100 + event
std::atomic<DWORD> HandlerThread{0};

BOOL WINAPI First(DWORD event) {
    {
        std::lock_guard<std::mutex> hold(CallsLock);
        Calls.push_back(100 + static_cast<int>(event));
    }
    HandlerThread = GetCurrentThreadId();
    SetEvent(HandledEvent);
    return TRUE;
}

BOOL WINAPI Second(DWORD event) {
    std::lock_guard<std::mutex> hold(CallsLock);
    Calls.push_back(200 + static_cast<int>(event));
    return FALSE;
}

std::vector<int> TakeCalls() {
    std::lock_guard<std::mutex> hold(CallsLock);
    std::vector<int> calls;
    calls.swap(Calls);
    return calls;
}

TEST(ConsoleControl, SignalsReachTheHandlersLastAddedFirstOnAThreadOfTheirOwn) {
    HandledEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(SetConsoleCtrlHandler(First, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(Second, TRUE));

    const struct {
        int signal;
        DWORD event;
    } cases[] = {{SIGINT, CTRL_C_EVENT},
                 {SIGQUIT, CTRL_BREAK_EVENT},
                 {SIGHUP, CTRL_CLOSE_EVENT},
                 {SIGTERM, CTRL_SHUTDOWN_EVENT}};
    for (const auto &c : cases) {
        ASSERT_EQ(kill(getpid(), c.signal), 0);
        ASSERT_EQ(WaitForSingleObject(HandledEvent, 30000), WAIT_OBJECT_0) << c.signal;
        // Second was added last, answered FALSE, so First ran after it.
        EXPECT_EQ(TakeCalls(),
                  (std::vector<int>{200 + static_cast<int>(c.event), 100 + static_cast<int>(c.event)}))
            << c.signal;
        EXPECT_NE(HandlerThread.load(), GetCurrentThreadId());
    }

    // A removed handler is not called again, and cannot be removed twice.
    ASSERT_TRUE(SetConsoleCtrlHandler(Second, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(Second, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(kill(getpid(), SIGHUP), 0);
    ASSERT_EQ(WaitForSingleObject(HandledEvent, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(TakeCalls(), (std::vector<int>{100 + static_cast<int>(CTRL_CLOSE_EVENT)}));

    // A null routine makes the process ignore Ctrl-C, and heed it again.
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_EQ(WaitForSingleObject(HandledEvent, 30000), WAIT_OBJECT_0);
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_EQ(WaitForSingleObject(HandledEvent, 30000), WAIT_OBJECT_0);
    std::vector<int> calls = TakeCalls();
    EXPECT_EQ(calls, (std::vector<int>{100 + static_cast<int>(CTRL_SHUTDOWN_EVENT),
                                       100 + static_cast<int>(CTRL_C_EVENT)}));
    ASSERT_TRUE(SetConsoleCtrlHandler(First, FALSE));
}

BOOL WINAPI Declines(DWORD) {
    return FALSE;
}

TEST(ConsoleControlChild, Run) {
    const char *action = std::getenv("KESTRUNE_TEST_CHILD");
    if (!action)
        GTEST_SKIP() << "runs only as the child of a two-process test";
    if (!SetConsoleCtrlHandler(Declines, TRUE))
        _exit(2);
    kill(getpid(), SIGTERM);
    // The default handler ends the process; still being here after this long is a failure.
    Sleep(60000);
    _exit(3);
}

TEST(ConsoleControl, WhenNoHandlerTakesTheEventTheProcessEndsAsTheSignalWould) {
    ChildProgram child(ThisTestCase("ConsoleControlChild.Run"), {"KESTRUNE_TEST_CHILD=decline"});
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), -SIGTERM);  // ended by the signal, not by an exit
}

}  // namespace
#endif
