// The registry editor against the registry: loading, finding, adding and writing values.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/TestRoot.h"
#include "support/RegEditor.h"

namespace {

const char *const KeyPath = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

class RegEditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char noClass[1] = "";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, noClass, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
    }
    void TearDown() override {
        if (key)
            RegCloseKey(key);
    }

    void Set(const char *name, DWORD type, const std::string &bytes) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())));
    }
    void SetDword(const char *name, DWORD value) {
        Set(name, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), sizeof value));
    }
    // The stored value's type and bytes; type 0 and empty bytes when it is missing.
    std::string Get(const char *name, DWORD *type = nullptr) {
        DWORD t = 0, size = 0;
        if (RegQueryValueExA(key, name, nullptr, &t, nullptr, &size) != ERROR_SUCCESS)
            return std::string();
        std::string bytes(size + 1, '\0');
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE *>(&bytes[0]), &size));
        bytes.resize(size);
        if (type)
            *type = t;
        return bytes;
    }
    DWORD ValueCount() {
        DWORD count = 0;
        char name[400];
        DWORD length = sizeof name;
        while (RegEnumValueA(key, count, name, &length, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS) {
            ++count;
            length = sizeof name;
        }
        return count;
    }

    TestRoot root;
    HKEY key = nullptr;
};

TEST_F(RegEditorTest, AKeyWithoutValuesLoadsNothingAndGetsTheStringOnWrite) {
    RegEditor editor("SOFTWARE\\Kestrune Tests\\New Key");
    EXPECT_EQ(REG_CREATED_NEW_KEY, editor.Disposition);
    EXPECT_EQ(0u, editor.LoadedCount);
    EXPECT_EQ(0u, editor.Entries.Count);
    EXPECT_EQ(nullptr, editor.FindValue("ArchiveDate"));
    EXPECT_STREQ("SOFTWARE\\Kestrune Tests\\New Key", editor.KeyPath);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, editor.RootKey);

    ASSERT_EQ(ERROR_SUCCESS, editor.SetStringValue("ArchiveDate", "12/08/2026 14:30:05 UTC"));
    EXPECT_EQ(ERROR_SUCCESS, editor.LastResult);
    RegEditEntry *entry = editor.FindValue("ArchiveDate");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(REG_SZ, entry->Type);
    EXPECT_STREQ("12/08/2026 14:30:05 UTC", reinterpret_cast<char *>(entry->Buffer()->Bytes));
    EXPECT_EQ(24u, entry->Buffer()->Size);

    HKEY written = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrune Tests\\New Key", 0, KEY_READ, &written));
    DWORD type = 0;
    char text[64] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(written, "ArchiveDate", nullptr, &type,
                                              reinterpret_cast<BYTE *>(text), &size));
    RegCloseKey(written);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(24u, size);
    EXPECT_STREQ("12/08/2026 14:30:05 UTC", text);

    RegEditor again("SOFTWARE\\Kestrune Tests\\New Key");
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, again.Disposition);
    EXPECT_EQ(1u, again.LoadedCount);
}

TEST_F(RegEditorTest, LoadsEveryTypeIntoItsRecord) {
    Set("Text", REG_SZ, std::string("abc\0", 4));
    Set("Expand", REG_EXPAND_SZ, std::string("%TEMP%\0", 7));
    Set("Binary", REG_BINARY, std::string("\x00\x01\xff", 3));
    SetDword("Count", 90);
    Set("Multi", REG_MULTI_SZ, std::string("a\0\0b\0\0", 6));
    Set("Link", REG_LINK, std::string("L\0", 2));
    Set("BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x5a", 4));
    Set("EmptyText", REG_SZ, std::string("\0", 1));
    Set("NoBytes", REG_SZ, "");

    RegEditor editor(KeyPath);
    EXPECT_EQ(9u, editor.LoadedCount);
    ASSERT_EQ(9u, editor.Entries.Count);

    // Entries come in enumeration order; the last one loaded is the current value.
    const char *order[] = {"Text", "Expand",    "Binary",    "Count",  "Multi",
                           "Link", "BigEndian", "EmptyText", "NoBytes"};
    DWORD i = 0;
    for (RegEditEntry *e = editor.Entries.First(); e; e = editor.Entries.Next(), ++i) {
        EXPECT_STREQ(order[i], e->Name);
        EXPECT_EQ(i, editor.Entries.Cursor->Position);
    }
    EXPECT_EQ(editor.Entries.Tail->Entry, editor.CurrentValue);

    RegEditEntry *text = editor.FindValue("Text");
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("abc", reinterpret_cast<char *>(text->Buffer()->Bytes));
    EXPECT_EQ(4u, text->Buffer()->Size);
    EXPECT_EQ(5u, text->NameSize);
    EXPECT_NE(nullptr, dynamic_cast<RegEditSz *>(text->Value));

    RegEditEntry *expand = editor.FindValue("Expand");
    ASSERT_NE(nullptr, expand);
    EXPECT_STREQ("%TEMP%", reinterpret_cast<char *>(expand->Buffer()->Bytes));
    EXPECT_NE(nullptr, dynamic_cast<RegEditExpandSz *>(expand->Value));

    RegEditEntry *binary = editor.FindValue("Binary");
    ASSERT_NE(nullptr, binary);
    ASSERT_EQ(3u, binary->Buffer()->Size);
    EXPECT_EQ(0, memcmp("\x00\x01\xff", binary->Buffer()->Bytes, 3));
    EXPECT_NE(nullptr, dynamic_cast<RegEditBinary *>(binary->Value));

    RegEditEntry *count = editor.FindValue("Count");
    ASSERT_NE(nullptr, count);
    EXPECT_EQ(90u, *count->Dword());
    EXPECT_NE(nullptr, dynamic_cast<RegEditDword *>(count->Value));

    // One letter, an empty string, one letter: two strings of maximum size 2.
    RegEditEntry *multi = editor.FindValue("Multi");
    ASSERT_NE(nullptr, multi);
    ASSERT_EQ(2u, multi->StringList()->Count);
    EXPECT_EQ(2u, multi->StringList()->MaximumSize);
    EXPECT_STREQ("a", multi->StringList()->Items[0]);
    EXPECT_STREQ("b", multi->StringList()->Items[1]);
    EXPECT_NE(nullptr, dynamic_cast<RegEditMultiSz *>(multi->Value));

    for (const char *name : {"Link", "BigEndian"}) {
        RegEditEntry *other = editor.FindValue(name);
        ASSERT_NE(nullptr, other) << name;
        EXPECT_EQ(nullptr, other->Data) << name;
        EXPECT_EQ(nullptr, other->Value) << name;
    }
    EXPECT_EQ(REG_LINK, editor.FindValue("Link")->Type);
    EXPECT_EQ(REG_DWORD_BIG_ENDIAN, editor.FindValue("BigEndian")->Type);

    for (const char *name : {"EmptyText", "NoBytes"}) {
        RegEditEntry *empty = editor.FindValue(name);
        ASSERT_NE(nullptr, empty) << name;
        EXPECT_EQ(1u, empty->Buffer()->Size) << name;
        EXPECT_STREQ("", reinterpret_cast<char *>(empty->Buffer()->Bytes)) << name;
    }
}

TEST_F(RegEditorTest, AMultiStringWithoutFinalNulLoadsWithinItsBytes) {
    Set("Multi", REG_MULTI_SZ, std::string("one\0two", 7));
    RegEditor editor(KeyPath);
    RegEditEntry *multi = editor.FindValue("Multi");
    ASSERT_NE(nullptr, multi);
    ASSERT_EQ(2u, multi->StringList()->Count);
    EXPECT_EQ(4u, multi->StringList()->MaximumSize);
    EXPECT_STREQ("one", multi->StringList()->Items[0]);
    EXPECT_STREQ("two", multi->StringList()->Items[1]);
}

TEST_F(RegEditorTest, AValueNameOf300CharactersEndsTheLoad) {
    SetDword("First", 1);
    SetDword(std::string(299, 'n').c_str(), 2);
    SetDword(std::string(300, 'x').c_str(), 3);
    SetDword("After", 4);
    RegEditor editor(KeyPath);
    EXPECT_EQ(2u, editor.LoadedCount);
    EXPECT_NE(nullptr, editor.FindValue(std::string(299, 'n').c_str()));
    EXPECT_EQ(nullptr, editor.FindValue("After"));
}

TEST_F(RegEditorTest, FindValueIsCaseSensitiveWhileTheRegistryIsNot) {
    Set("archivedate", REG_SZ, std::string("old\0", 4));
    RegEditor editor(KeyPath);
    EXPECT_NE(nullptr, editor.FindValue("archivedate"));
    EXPECT_EQ(editor.Entries.Head, editor.Entries.Cursor);
    EXPECT_EQ(nullptr, editor.FindValue("ArchiveDate"));

    // A second entry is added, and the write reaches the existing value.
    ASSERT_EQ(ERROR_SUCCESS, editor.SetStringValue("ArchiveDate", "new"));
    EXPECT_EQ(2u, editor.Entries.Count);
    EXPECT_EQ(1u, ValueCount());
    EXPECT_EQ(std::string("new\0", 4), Get("archivedate"));
}

TEST_F(RegEditorTest, SetStringValueOnAnotherTypeReturns1003) {
    SetDword("ArchiveDate", 7);
    RegEditor editor(KeyPath);
    editor.LastResult = -42;
    EXPECT_EQ(1003, editor.SetStringValue("ArchiveDate", "12/08/2026 14:30:05 UTC"));
    EXPECT_EQ(-42, editor.LastResult);
    EXPECT_EQ(7u, *editor.FindValue("ArchiveDate")->Dword());
    DWORD type = 0;
    EXPECT_EQ(std::string("\x07\0\0\0", 4), Get("ArchiveDate", &type));
    EXPECT_EQ(REG_DWORD, type);
}

TEST_F(RegEditorTest, OperationsATypeDoesNotOfferReturn100) {
    RegEditor editor(KeyPath);
    BYTE buffer[8] = {};
    DWORD size = sizeof buffer;
    DWORD value = 0;
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ}) {
        RegEditValue *accessor = editor.AddValue("Text", type)->Value;
        accessor->LastResult = -7;
        EXPECT_EQ(100, accessor->SetDword("Text", 1)) << type;
        EXPECT_EQ(100, accessor->QueryDword("Text", &value)) << type;
        EXPECT_EQ(-7, accessor->LastResult) << type;
    }
    RegEditValue *dword = editor.AddValue("Count", REG_DWORD)->Value;
    dword->LastResult = -7;
    EXPECT_EQ(100, dword->SetValue("Count", buffer, &size));
    EXPECT_EQ(100, dword->QueryValue("Count", buffer, &size));
    EXPECT_EQ(-7, dword->LastResult);
    EXPECT_EQ(0u, ValueCount());
}

TEST_F(RegEditorTest, AccessorsWriteAndReadWithTheirType) {
    RegEditor editor(KeyPath);
    RegEditValue *dword = editor.AddValue("ArchiveSamples", REG_DWORD)->Value;
    ASSERT_EQ(ERROR_SUCCESS, dword->SetDword("ArchiveSamples", 90));
    DWORD value = 0;
    ASSERT_EQ(ERROR_SUCCESS, dword->QueryDword("ArchiveSamples", &value));
    EXPECT_EQ(90u, value);
    EXPECT_EQ(REG_DWORD, dword->Type);
    EXPECT_EQ(4u, dword->Size);
    EXPECT_EQ(ERROR_SUCCESS, dword->LastResult);

    struct Case {
        DWORD type;
        const char *name;
        std::string bytes;
    } cases[] = {
        {REG_SZ, "Sz", std::string("text\0", 5)},
        {REG_EXPAND_SZ, "ExpandSz", std::string("%PATH%\0", 7)},
        {REG_BINARY, "Binary", std::string("\x00\x01", 2)},
        {REG_MULTI_SZ, "MultiSz", std::string("a\0b\0\0", 5)},
    };
    for (const Case &c : cases) {
        RegEditValue *accessor = editor.AddValue(c.name, c.type)->Value;
        DWORD size = static_cast<DWORD>(c.bytes.size());
        ASSERT_EQ(ERROR_SUCCESS,
                  accessor->SetValue(c.name, reinterpret_cast<const BYTE *>(c.bytes.data()), &size));
        DWORD type = 0;
        EXPECT_EQ(c.bytes, Get(c.name, &type)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;

        BYTE buffer[16] = {};
        size = sizeof buffer;
        ASSERT_EQ(ERROR_SUCCESS, accessor->QueryValue(c.name, buffer, &size));
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char *>(buffer), size)) << c.name;
        EXPECT_EQ(c.type, accessor->Type) << c.name;
    }

    // A failed registry call is returned and kept.
    RegEditValue *missing = editor.AddValue("Missing", REG_SZ)->Value;
    BYTE buffer[4];
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing->QueryValue("Missing", buffer, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing->LastResult);
}

TEST_F(RegEditorTest, AddValueDoesNotTouchTheRegistry) {
    RegEditor editor(KeyPath);
    RegEditEntry *entry = editor.AddValue("ArchiveSamples", REG_DWORD);
    EXPECT_EQ(entry, editor.FindValue("ArchiveSamples"));
    EXPECT_EQ(editor.Entries.Tail, editor.Entries.Cursor);
    EXPECT_EQ(0u, ValueCount());
}

TEST_F(RegEditorTest, DestructionClosesTheKey) {
    auto editor = std::make_unique<RegEditor>(KeyPath);
    editor->AddValue("A", REG_BINARY);
    editor->AddValue("B", REG_MULTI_SZ);
    HKEY handle = editor->Key;
    ASSERT_NE(nullptr, handle);
    editor.reset();
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(handle));
}

TEST_F(RegEditorTest, AKeyThatCannotBeOpenedThrows) {
    EXPECT_THROW(RegEditor(std::string(300, 'k').c_str()), RegEditorException);
    EXPECT_THROW(RegEditor(nullptr), RegEditorException);

    RegCloseKey(key);
    key = nullptr;
    for (const char *suffix : {"-wal", "-shm"})
        remove((root.Path() + "/registry.db" + suffix).c_str());
    FILE *f = fopen((root.Path() + "/registry.db").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::string junk(8192, 'x');
    fwrite(junk.data(), 1, junk.size(), f);
    fclose(f);
    EXPECT_THROW(RegEditor editor(KeyPath), RegEditorException);
}

}  // namespace
