#include "support/RegEditBuffer.h"

RegEditBuffer::~RegEditBuffer() {
    Clear();
}

void RegEditBuffer::Clear() {
    delete[] Bytes;
    Bytes = nullptr;
    Size = 0;
}

void RegEditBuffer::Assign(const void *data, DWORD size) {
    // Allocate before releasing, so the record stays whole when memory runs out.
    BYTE *copy = new BYTE[size ? size : 1];
    if (size)
        memcpy(copy, data, size);
    Clear();
    Bytes = copy;
    Size = size;
}

void RegEditBuffer::AssignText(const void *data, DWORD size) {
    const BYTE *bytes = static_cast<const BYTE *>(data);
    DWORD length = 0;
    while (bytes && length < size && bytes[length] != 0)
        ++length;
    BYTE *copy = new BYTE[length + 1];
    if (length)
        memcpy(copy, bytes, length);
    copy[length] = 0;
    Clear();
    Bytes = copy;
    Size = length + 1;
}
