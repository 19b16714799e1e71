// The ordered list of a RegEditor's entries: doubly linked, each node knowing its 0-based
// position, with a cursor. The list owns its nodes, not the entries.
#pragma once

#include "platform/win32.h"

class RegEditEntry;

class EntryList {
public:
    struct Node {
        RegEditEntry *Entry = nullptr;
        DWORD Position = 0;
        Node *Previous = nullptr;
        Node *Next = nullptr;
    };

    EntryList() = default;
    ~EntryList();
    EntryList(const EntryList &) = delete;
    EntryList &operator=(const EntryList &) = delete;

    // Appends a node for entry at the tail, at position Count, and leaves the cursor on it.
    Node *Append(RegEditEntry *entry);
    // Unlinks and releases node; the nodes after it move one position forward. A cursor on
    // the node moves to the node after it.
    void Remove(Node *node);

    // A walk from the head: First puts the cursor on the head, Next moves it on. Both give the
    // cursor's entry, or null at the end of the list or at a node without an entry.
    RegEditEntry *First();
    RegEditEntry *Next();

    Node *Head = nullptr;
    Node *Tail = nullptr;
    Node *Cursor = nullptr;
    DWORD Count = 0;
};
