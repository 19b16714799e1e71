// The service control manager's API outside a service: a process the control manager did not
// start cannot become a service, and calls on handles that were never opened fail with an
// error code; none reports success.
#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

DWORD WINAPI IgnoreControl(DWORD, DWORD, LPVOID, LPVOID) {
    return NO_ERROR;
}

void WINAPI NeverCalled(DWORD, LPSTR *) {
    ADD_FAILURE() << "a service main ran outside the control manager";
}

TEST(ServiceControl, CallsOutsideTheControlManagerFailWithAnErrorCode) {
    char name[] = "Kestrune service-control test";
    const SERVICE_TABLE_ENTRYA table[] = {{name, NeverCalled}, {nullptr, nullptr}};
    SetLastError(0);
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_NE(GetLastError(), 0u);

    SetLastError(0);
    EXPECT_EQ(RegisterServiceCtrlHandlerExA(name, IgnoreControl, nullptr), nullptr);
    EXPECT_NE(GetLastError(), 0u);

    SetLastError(0);
    EXPECT_EQ(OpenServiceA(nullptr, name, SERVICE_QUERY_STATUS), nullptr);
    EXPECT_NE(GetLastError(), 0u);

    SERVICE_STATUS status = {};
    SetLastError(0);
    EXPECT_FALSE(QueryServiceStatus(nullptr, &status));
    EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
