#include "support/RegEditStringList.h"

#include <memory>

RegEditStringList::~RegEditStringList() {
    Clear();
}

void RegEditStringList::Clear() {
    for (DWORD i = 0; i < Count; ++i)
        delete[] Items[i];
    delete[] Items;
    Items = nullptr;
    Count = 0;
    MaximumSize = 0;
}

namespace {

// Walks the pieces of a multi-string: calls visit(piece, length) for each non-empty piece.
template <typename Visit>
void ForEachPiece(const BYTE *data, DWORD size, Visit visit) {
    DWORD position = 0;
    while (data && position < size) {
        DWORD end = position;
        while (end < size && data[end] != 0)
            ++end;
        if (end > position)
            visit(reinterpret_cast<const char *>(data + position), end - position);
        position = end + 1;
    }
}

}  // namespace

void RegEditStringList::Parse(const BYTE *data, DWORD size) {
    Clear();
    DWORD count = 0;
    DWORD maximum = 0;
    ForEachPiece(data, size, [&](const char *, DWORD length) {
        ++count;
        if (length + 1 > maximum)
            maximum = length + 1;
    });
    if (count == 0)
        return;

    // Build the new list completely before it becomes the record's, so that running out of
    // memory leaves an empty record rather than a half-built one.
    std::unique_ptr<std::unique_ptr<char[]>[]> items(new std::unique_ptr<char[]>[count]);
    DWORD next = 0;
    ForEachPiece(data, size, [&](const char *piece, DWORD length) {
        items[next].reset(new char[maximum]);
        memset(items[next].get(), 0, maximum);
        memcpy(items[next].get(), piece, length);
        ++next;
    });
    Items = new char *[count];
    for (DWORD i = 0; i < count; ++i)
        Items[i] = items[i].release();
    Count = count;
    MaximumSize = maximum;
}
