#include "support/RegEditEntry.h"

#include <memory>

#include "support/RegEditBuffer.h"
#include "support/RegEditStringList.h"
#include "support/RegEditValue.h"

namespace {

bool HasBuffer(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_BINARY;
}

}  // namespace

RegEditEntry::RegEditEntry(const char *name, DWORD type, HKEY *key) : Type(type) {
    if (!name)
        name = "";
    size_t length = strlen(name);
    std::unique_ptr<char[]> nameCopy(new char[length + 1]);
    memcpy(nameCopy.get(), name, length + 1);

    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_BINARY: {
            std::unique_ptr<RegEditBuffer> record(new RegEditBuffer);
            if (type == REG_SZ)
                Value = new RegEditSz(key);
            else if (type == REG_EXPAND_SZ)
                Value = new RegEditExpandSz(key);
            else
                Value = new RegEditBinary(key);
            Data = record.release();
            break;
        }
        case REG_DWORD: {
            std::unique_ptr<DWORD> record(new DWORD(0));
            Value = new RegEditDword(key);
            Data = record.release();
            break;
        }
        case REG_MULTI_SZ: {
            std::unique_ptr<RegEditStringList> record(new RegEditStringList);
            Value = new RegEditMultiSz(key);
            Data = record.release();
            break;
        }
        default:
            break;
    }
    Name = nameCopy.release();
    NameSize = static_cast<DWORD>(length + 1);
}

RegEditEntry::~RegEditEntry() {
    switch (Type) {
        case REG_SZ:
            delete static_cast<RegEditBuffer *>(Data);
            delete static_cast<RegEditSz *>(Value);
            break;
        case REG_EXPAND_SZ:
            delete static_cast<RegEditBuffer *>(Data);
            delete static_cast<RegEditExpandSz *>(Value);
            break;
        case REG_BINARY:
            delete static_cast<RegEditBuffer *>(Data);
            delete static_cast<RegEditBinary *>(Value);  // through its virtual destructor
            break;
        case REG_DWORD:
            delete static_cast<DWORD *>(Data);
            delete static_cast<RegEditDword *>(Value);
            break;
        case REG_MULTI_SZ:
            delete static_cast<RegEditStringList *>(Data);
            delete static_cast<RegEditMultiSz *>(Value);
            break;
        default:
            break;
    }
    delete[] Name;
}

RegEditBuffer *RegEditEntry::Buffer() const {
    return HasBuffer(Type) ? static_cast<RegEditBuffer *>(Data) : nullptr;
}

DWORD *RegEditEntry::Dword() const {
    return Type == REG_DWORD ? static_cast<DWORD *>(Data) : nullptr;
}

RegEditStringList *RegEditEntry::StringList() const {
    return Type == REG_MULTI_SZ ? static_cast<RegEditStringList *>(Data) : nullptr;
}
