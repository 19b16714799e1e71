// The run-time zip library through its function table, as the program calls it: the fixture
// of ZipLibraryTest.cpp and ZipLibraryToolsTest.cpp.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "platform/win32.h"

namespace ziptest {

typedef void *(WINAPI *NewHandleFn)();
typedef void(WINAPI *HandleFn)(void *);
typedef void(WINAPI *HandleTextFn)(void *, const char *);
typedef void(WINAPI *HandleValueFn)(void *, int);
typedef void(WINAPI *ResultTextFn)(void *, int, int, char *, int);
typedef int(WINAPI *HandleResultFn)(void *);
typedef int(WINAPI *StartListingFn)(void *, void **);
typedef int(WINAPI *ItemFn)(void *, void *);

constexpr size_t RecordSize = 1380;

class ZipLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA("XceedZip.dll");
        ASSERT_NE(module_, nullptr);
        reinterpret_cast<void (*)()>(GetProcAddress(module_, "XceedZipInitDLL"))();
        table_ = reinterpret_cast<void **>(GetProcAddress(module_, "g_xzFunctions"));
        ASSERT_NE(table_, nullptr);
        zip_ = reinterpret_cast<NewHandleFn>(table_[3])();
        ASSERT_NE(zip_, nullptr);
    }
    void TearDown() override {
        if (table_) {
            reinterpret_cast<HandleFn>(table_[4])(zip_);
            reinterpret_cast<void (*)()>(table_[1])();
        }
        if (module_)
            FreeLibrary(module_);
    }

    void Text(int entry, const char *text) { reinterpret_cast<HandleTextFn>(table_[entry])(zip_, text); }
    int Call(int entry) { return reinterpret_cast<HandleResultFn>(table_[entry])(zip_); }

    // Drive paths ("C:\\d\\x.zip") are taken below the test root.
    std::string D(const std::string &drivePath) const { return root_.Drive(drivePath); }

    int Add(const char *archive, const char *folder, const char *name) {
        Text(130, D(archive).c_str());
        Text(19, D(folder).c_str());
        Text(38, name);
        return Call(167);
    }
    int Extract(const char *archive, const char *item, const char *destination) {
        Text(130, D(archive).c_str());
        Text(124, D(destination).c_str());
        reinterpret_cast<HandleValueFn>(table_[48])(zip_, 0);
        Text(38, item);
        return Call(166);
    }
    std::string ResultText(int code) {
        char text[1000];
        std::memset(text, 0, sizeof text);
        reinterpret_cast<ResultTextFn>(table_[146])(zip_, 0, code, text, sizeof text);
        return text;
    }

    struct Item {
        std::string Name;
        uint32_t Size;
        SYSTEMTIME Time;
    };
    // Lists the archive; *result gets entry 202's result.
    std::vector<Item> List(const char *archive, int *result) {
        std::vector<Item> items;
        Text(130, D(archive).c_str());
        void *listing = nullptr;
        *result = reinterpret_cast<StartListingFn>(table_[202])(zip_, &listing);
        if (*result != 0)
            return items;
        unsigned char record[RecordSize];
        int more = reinterpret_cast<ItemFn>(table_[204])(listing, record);
        while (more) {
            Item item;
            item.Name = reinterpret_cast<const char *>(record + 8);
            std::memcpy(&item.Size, record + 1292, 4);
            std::memcpy(&item.Time, record + 1312, sizeof item.Time);
            items.push_back(item);
            more = reinterpret_cast<ItemFn>(table_[206])(listing, record);
        }
        reinterpret_cast<HandleFn>(table_[201])(listing);
        return items;
    }

    TestRoot root_;
    HMODULE module_ = nullptr;
    void **table_ = nullptr;
    void *zip_ = nullptr;
};

}  // namespace ziptest
