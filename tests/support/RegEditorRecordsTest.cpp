// The registry editor's records and entry list, without the registry.
#include <gtest/gtest.h>

#include <string>

#include "support/RegEditor.h"

namespace {

std::string Item(const RegEditStringList &list, DWORD i) {
    return std::string(list.Items[i]);
}

TEST(RegEditStringList, EmptyPiecesAreSkipped) {
    RegEditStringList list;
    const BYTE data[] = {'a', 0, 0, 'b', 0, 0};
    list.Parse(data, sizeof data);
    ASSERT_EQ(2u, list.Count);
    EXPECT_EQ(2u, list.MaximumSize);
    EXPECT_EQ("a", Item(list, 0));
    EXPECT_EQ("b", Item(list, 1));
}

TEST(RegEditStringList, ALastStringWithoutTerminatorEndsAtTheData) {
    // The bytes sit at the end of an exactly sized allocation, so a read past them would be
    // caught by the address sanitizer.
    std::unique_ptr<BYTE[]> data(new BYTE[7]);
    memcpy(data.get(), "ab\0wxyz", 7);
    RegEditStringList list;
    list.Parse(data.get(), 7);
    ASSERT_EQ(2u, list.Count);
    EXPECT_EQ(5u, list.MaximumSize);
    EXPECT_EQ("ab", Item(list, 0));
    EXPECT_EQ("wxyz", Item(list, 1));

    std::unique_ptr<BYTE[]> single(new BYTE[1]);
    single[0] = 'q';
    list.Parse(single.get(), 1);
    ASSERT_EQ(1u, list.Count);
    EXPECT_EQ("q", Item(list, 0));
}

TEST(RegEditStringList, NothingButTerminatorsGivesAnEmptyList) {
    RegEditStringList list;
    const BYTE data[] = {'x', 0};
    list.Parse(data, sizeof data);
    ASSERT_EQ(1u, list.Count);

    const BYTE nuls[] = {0, 0, 0};
    list.Parse(nuls, sizeof nuls);
    EXPECT_EQ(0u, list.Count);
    EXPECT_EQ(0u, list.MaximumSize);
    EXPECT_EQ(nullptr, list.Items);
    list.Parse(nullptr, 0);
    EXPECT_EQ(0u, list.Count);
}

TEST(RegEditStringList, EveryItemHasTheMaximumSize) {
    RegEditStringList list;
    const BYTE data[] = {'a', 0, 'l', 'o', 'n', 'g', 0, 0};
    list.Parse(data, sizeof data);
    ASSERT_EQ(2u, list.Count);
    EXPECT_EQ(5u, list.MaximumSize);
    // The short item's buffer is zero-filled up to the maximum size.
    for (DWORD i = 1; i < list.MaximumSize; ++i)
        EXPECT_EQ('\0', list.Items[0][i]);
}

TEST(RegEditBuffer, TextStopsAtTheFirstNulOrTheEnd) {
    RegEditBuffer buffer;
    EXPECT_EQ(0u, buffer.Size);
    EXPECT_EQ(nullptr, buffer.Bytes);

    buffer.AssignText("abc\0def", 7);
    EXPECT_EQ(4u, buffer.Size);
    EXPECT_STREQ("abc", reinterpret_cast<char *>(buffer.Bytes));

    buffer.AssignText("xyz", 2);
    EXPECT_EQ(3u, buffer.Size);
    EXPECT_STREQ("xy", reinterpret_cast<char *>(buffer.Bytes));

    buffer.AssignText("", 0);
    EXPECT_EQ(1u, buffer.Size);
    EXPECT_STREQ("", reinterpret_cast<char *>(buffer.Bytes));

    const BYTE bytes[] = {0, 1, 0, 2};
    buffer.Assign(bytes, sizeof bytes);
    ASSERT_EQ(4u, buffer.Size);
    EXPECT_EQ(0, memcmp(bytes, buffer.Bytes, 4));
}

class EntryListTest : public ::testing::Test {
protected:
    HKEY key = nullptr;
    RegEditEntry a{"A", REG_SZ, &key}, b{"B", REG_DWORD, &key}, c{"C", REG_LINK, &key};
    EntryList list;
};

TEST_F(EntryListTest, AppendNumbersNodesAndLeavesTheCursorOnTheNewOne) {
    EntryList::Node *first = list.Append(&a);
    EXPECT_EQ(first, list.Cursor);
    EntryList::Node *second = list.Append(&b);
    EXPECT_EQ(second, list.Cursor);
    EXPECT_EQ(0u, first->Position);
    EXPECT_EQ(1u, second->Position);
    EXPECT_EQ(2u, list.Count);
    EXPECT_EQ(first, list.Head);
    EXPECT_EQ(second, list.Tail);
    EXPECT_EQ(first, second->Previous);
}

TEST_F(EntryListTest, RemovingMovesTheFollowingNodesForward) {
    EntryList::Node *first = list.Append(&a);
    EntryList::Node *second = list.Append(&b);
    EntryList::Node *third = list.Append(&c);
    list.Remove(second);
    EXPECT_EQ(2u, list.Count);
    EXPECT_EQ(0u, first->Position);
    EXPECT_EQ(1u, third->Position);
    EXPECT_EQ(third, first->Next);
    EXPECT_EQ(first, third->Previous);

    list.Remove(first);
    EXPECT_EQ(third, list.Head);
    EXPECT_EQ(third, list.Tail);
    EXPECT_EQ(0u, third->Position);
    list.Remove(third);
    EXPECT_EQ(0u, list.Count);
    EXPECT_EQ(nullptr, list.Head);
    EXPECT_EQ(nullptr, list.Tail);
    EXPECT_EQ(nullptr, list.First());
}

TEST_F(EntryListTest, AWalkStopsAtANodeWithoutAnEntry) {
    list.Append(&a);
    list.Append(nullptr);
    list.Append(&c);
    EXPECT_EQ(&a, list.First());
    EXPECT_EQ(nullptr, list.Next());
    EXPECT_EQ(3u, list.Count);
}

TEST(RegEditEntry, RecordAndAccessorFollowTheType) {
    HKEY key = nullptr;
    struct Case {
        DWORD type;
        bool buffer, dword, strings;
    } cases[] = {
        {REG_SZ, true, false, false},
        {REG_EXPAND_SZ, true, false, false},
        {REG_BINARY, true, false, false},
        {REG_DWORD, false, true, false},
        {REG_MULTI_SZ, false, false, true},
        {REG_NONE, false, false, false},
        {REG_DWORD_BIG_ENDIAN, false, false, false},
        {REG_LINK, false, false, false},
        {REG_QWORD, false, false, false},
    };
    for (const Case &c : cases) {
        RegEditEntry entry("Name", c.type, &key);
        EXPECT_STREQ("Name", entry.Name);
        EXPECT_EQ(5u, entry.NameSize);
        EXPECT_EQ(c.type, entry.Type);
        EXPECT_EQ(c.buffer, entry.Buffer() != nullptr) << c.type;
        EXPECT_EQ(c.dword, entry.Dword() != nullptr) << c.type;
        EXPECT_EQ(c.strings, entry.StringList() != nullptr) << c.type;
        bool hasRecord = c.buffer || c.dword || c.strings;
        EXPECT_EQ(hasRecord, entry.Data != nullptr) << c.type;
        EXPECT_EQ(hasRecord, entry.Value != nullptr) << c.type;
        if (entry.Value) {
            EXPECT_EQ(&key, entry.Value->Key);
            EXPECT_EQ(0u, entry.Value->Type);
            EXPECT_EQ(0u, entry.Value->Size);
            EXPECT_EQ(0, entry.Value->LastResult);
        }
        if (entry.Buffer()) {
            EXPECT_EQ(0u, entry.Buffer()->Size);
        }
        if (entry.StringList()) {
            EXPECT_EQ(0u, entry.StringList()->Count);
        }
    }
}

}  // namespace
