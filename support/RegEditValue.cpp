#include "support/RegEditValue.h"

LONG RegEditValue::QueryBytes(const char *name, BYTE *buffer, DWORD *size) {
    Type = 0;
    LastResult = RegQueryValueExA(*Key, name, nullptr, &Type, buffer, size);
    return LastResult;
}

LONG RegEditValue::QueryFourBytes(const char *name, DWORD *value) {
    Type = 0;
    Size = sizeof(DWORD);
    // Without a target the query would only report the size; that is not a read.
    if (!value)
        LastResult = ERROR_INVALID_PARAMETER;
    else
        LastResult = RegQueryValueExA(*Key, name, nullptr, &Type, reinterpret_cast<BYTE *>(value), &Size);
    return LastResult;
}

LONG RegEditValue::SetBytes(DWORD type, const char *name, const BYTE *data, const DWORD *size) {
    if (!size)
        LastResult = ERROR_INVALID_PARAMETER;
    else
        LastResult = RegSetValueExA(*Key, name, 0, type, data, *size);
    return LastResult;
}

LONG RegEditValue::SetFourBytes(const char *name, DWORD value) {
    LastResult =
        RegSetValueExA(*Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    return LastResult;
}

RegEditBinary::~RegEditBinary() {}
LONG RegEditBinary::QueryValue(const char *name, BYTE *buffer, DWORD *size) {
    return QueryBytes(name, buffer, size);
}
LONG RegEditBinary::QueryDword(const char *, DWORD *) {
    return NotOffered;
}
LONG RegEditBinary::SetValue(const char *name, const BYTE *data, DWORD *size) {
    return SetBytes(REG_BINARY, name, data, size);
}
LONG RegEditBinary::SetDword(const char *, DWORD) {
    return NotOffered;
}

LONG RegEditSz::QueryValue(const char *name, BYTE *buffer, DWORD *size) {
    return QueryBytes(name, buffer, size);
}
LONG RegEditSz::QueryDword(const char *, DWORD *) {
    return NotOffered;
}
LONG RegEditSz::SetValue(const char *name, const BYTE *data, DWORD *size) {
    return SetBytes(REG_SZ, name, data, size);
}
LONG RegEditSz::SetDword(const char *, DWORD) {
    return NotOffered;
}

LONG RegEditExpandSz::QueryValue(const char *name, BYTE *buffer, DWORD *size) {
    return QueryBytes(name, buffer, size);
}
LONG RegEditExpandSz::QueryDword(const char *, DWORD *) {
    return NotOffered;
}
LONG RegEditExpandSz::SetValue(const char *name, const BYTE *data, DWORD *size) {
    return SetBytes(REG_EXPAND_SZ, name, data, size);
}
LONG RegEditExpandSz::SetDword(const char *, DWORD) {
    return NotOffered;
}

LONG RegEditMultiSz::QueryValue(const char *name, BYTE *buffer, DWORD *size) {
    return QueryBytes(name, buffer, size);
}
LONG RegEditMultiSz::QueryDword(const char *, DWORD *) {
    return NotOffered;
}
LONG RegEditMultiSz::SetValue(const char *name, const BYTE *data, DWORD *size) {
    return SetBytes(REG_MULTI_SZ, name, data, size);
}
LONG RegEditMultiSz::SetDword(const char *, DWORD) {
    return NotOffered;
}

LONG RegEditDword::QueryValue(const char *, BYTE *, DWORD *) {
    return NotOffered;
}
LONG RegEditDword::QueryDword(const char *name, DWORD *value) {
    return QueryFourBytes(name, value);
}
LONG RegEditDword::SetValue(const char *, const BYTE *, DWORD *) {
    return NotOffered;
}
LONG RegEditDword::SetDword(const char *name, DWORD value) {
    return SetFourBytes(name, value);
}
