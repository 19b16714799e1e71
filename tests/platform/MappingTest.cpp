// Named file mappings backed by the paging file: shared between processes, ERROR_ALREADY_EXISTS
// on a second create, the name's lifetime, views, and the checks on access and arguments.
// Cases with two processes run this test binary again as the child (MappingChild tests,
// skipped unless the parent asked for them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {

const char ChildRoleVariable[] = "KESTRUNE_MAPPING_CHILD";
const char ChildNameVariable[] = "KESTRUNE_MAPPING_NAME";

std::string UniqueName(const char *what) {
    static int counter = 0;
    return std::string("KestruneTest ") + what + " " + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(counter++);
}

// Runs one child test of this binary with the role and mapping name; returns its exit status.
int RunChild(const char *role, const std::string &name) {
    ChildProgram child(
        ThisTestCase(std::string("MappingChild.") + role),
        {std::string(ChildRoleVariable) + "=" + role, std::string(ChildNameVariable) + "=" + name});
    return child.Started() ? child.Wait() : -1;
}

// The mapping name of a child run, or null (the test skips) when not run as a child.
const char *ChildName(const char *role) {
    const char *wanted = std::getenv(ChildRoleVariable);
    if (!wanted || strcmp(wanted, role) != 0)
        return nullptr;
    return std::getenv(ChildNameVariable);
}

TEST(Mapping, AnotherProcessSeesAndChangesTheBytes) {
    TestRoot root;
    std::string name = UniqueName("shared");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    memcpy(view, "from the parent", 16);

    EXPECT_EQ(RunChild("OpenReadAndWrite", name), 0);
    EXPECT_STREQ(view, "from the child!");

    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(mapping));
}

TEST(MappingChild, OpenReadAndWrite) {
    const char *name = ChildName("OpenReadAndWrite");
    if (!name)
        GTEST_SKIP() << "runs only as the child of a mapping test";
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
    ASSERT_NE(mapping, nullptr);
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view, "from the parent");
    memcpy(view, "from the child!", 16);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

TEST(Mapping, CreatingAnExistingNameSetsAlreadyExists) {
    TestRoot root;
    std::string name = UniqueName("twice");
    HANDLE first = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(first, nullptr);
    HANDLE second = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first, second);

    // Both handles reach the same bytes.
    char *a = static_cast<char *>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char *b = static_cast<char *>(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    a[3] = 'x';
    EXPECT_EQ(b[3], 'x');

    EXPECT_EQ(RunChild("CreateExisting", name), 0);

    UnmapViewOfFile(a);
    UnmapViewOfFile(b);
    CloseHandle(first);
    CloseHandle(second);
}

TEST(MappingChild, CreateExisting) {
    const char *name = ChildName("CreateExisting");
    if (!name)
        GTEST_SKIP() << "runs only as the child of a mapping test";
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[3], 'x');
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

TEST(Mapping, NameLastsWhileAHandleOrAViewIsOpen) {
    TestRoot root;
    std::string name = UniqueName("lifetime");
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(mapping, nullptr);
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    view[0] = 'k';
    ASSERT_TRUE(CloseHandle(mapping));

    // The view keeps the object and its name.
    HANDLE again = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(again, nullptr);
    char *seen = static_cast<char *>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen[0], 'k');
    UnmapViewOfFile(seen);
    CloseHandle(again);
    EXPECT_TRUE(UnmapViewOfFile(view));

    // With the last view and handle gone, so is the name, and a new object starts at zero.
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE fresh = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    char *zero = static_cast<char *>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero[0], 0);
    UnmapViewOfFile(zero);
    CloseHandle(fresh);
}

TEST(Mapping, ObjectOfAProcessThatEndedWithoutClosingIsGone) {
    TestRoot root;
    std::string name = UniqueName("orphan");
    EXPECT_EQ(RunChild("CreateAndExitHoldingIt", name), 7);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name.c_str());
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], 0);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

TEST(MappingChild, CreateAndExitHoldingIt) {
    const char *name = ChildName("CreateAndExitHoldingIt");
    if (!name)
        GTEST_SKIP() << "runs only as the child of a mapping test";
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name);
    ASSERT_NE(mapping, nullptr);
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    view[0] = 'z';
    _exit(7);  // ends with the handle and the view still open
}

TEST(Mapping, SessionPrefixesNameTheSameObject) {
    TestRoot root;
    std::string name = UniqueName("prefixed");
    HANDLE global =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, ("Global\\" + name).c_str());
    ASSERT_NE(global, nullptr);
    HANDLE plain = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    EXPECT_NE(plain, nullptr);
    HANDLE local =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, ("Local\\" + name).c_str());
    EXPECT_NE(local, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(local);
    CloseHandle(plain);
    CloseHandle(global);
}

TEST(Mapping, UnnamedMappingsArePrivateToTheirHandle) {
    TestRoot root;
    HANDLE one = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    HANDLE two = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    char *a = static_cast<char *>(MapViewOfFile(one, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char *a2 = static_cast<char *>(MapViewOfFile(one, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char *b = static_cast<char *>(MapViewOfFile(two, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a2, nullptr);
    ASSERT_NE(b, nullptr);
    a[4095] = 'q';
    EXPECT_EQ(a2[4095], 'q');
    EXPECT_EQ(b[4095], 0);
    UnmapViewOfFile(a);
    UnmapViewOfFile(a2);
    UnmapViewOfFile(b);
    CloseHandle(one);
    CloseHandle(two);
}

TEST(Mapping, AccessAndArgumentsAreChecked) {
    TestRoot root;
    std::string name = UniqueName("checks");
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE readOnly = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 16, name.c_str());
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    void *view = MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 16);
    EXPECT_NE(view, nullptr);
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 17), nullptr);
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 4096, 0), nullptr);

    // A handle opened for reading only gives no writable view.
    HANDLE reader = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(MapViewOfFile(reader, FILE_MAP_ALL_ACCESS, 0, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    char local[16];
    EXPECT_FALSE(UnmapViewOfFile(local));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_TRUE(CloseHandle(readOnly));
    EXPECT_FALSE(CloseHandle(readOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
