#include "support/EntryList.h"

EntryList::~EntryList() {
    while (Head)
        Remove(Head);
}

EntryList::Node *EntryList::Append(RegEditEntry *entry) {
    Node *node = new Node;
    node->Entry = entry;
    node->Position = Count;
    node->Previous = Tail;
    if (Tail)
        Tail->Next = node;
    else
        Head = node;
    Tail = node;
    ++Count;
    Cursor = node;
    return node;
}

void EntryList::Remove(Node *node) {
    if (!node)
        return;
    for (Node *after = node->Next; after; after = after->Next)
        --after->Position;
    if (node->Previous)
        node->Previous->Next = node->Next;
    else
        Head = node->Next;
    if (node->Next)
        node->Next->Previous = node->Previous;
    else
        Tail = node->Previous;
    if (Cursor == node)
        Cursor = node->Next;
    --Count;
    delete node;
}

RegEditEntry *EntryList::First() {
    Cursor = Head;
    return Cursor ? Cursor->Entry : nullptr;
}

RegEditEntry *EntryList::Next() {
    if (Cursor)
        Cursor = Cursor->Next;
    return Cursor ? Cursor->Entry : nullptr;
}
