// The accessors of registry values: one class per value type, all working on the open key of
// the editor that owns them. An operation a type does not offer returns NotOffered (100)
// without touching LastResult.
#pragma once

#include "platform/win32.h"

class RegEditValue {
public:
    static constexpr LONG NotOffered = 100;

    explicit RegEditValue(HKEY *key) : Key(key) {}
    RegEditValue(const RegEditValue &) = delete;
    RegEditValue &operator=(const RegEditValue &) = delete;

    // Virtual operations, in slot order.
    // Reads a value's bytes; size is the buffer size in, the byte count out.
    virtual LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) = 0;
    // Reads a 32-bit value into value.
    virtual LONG QueryDword(const char *name, DWORD *value) = 0;
    // Writes *size bytes of data with the accessor's registry type.
    virtual LONG SetValue(const char *name, const BYTE *data, DWORD *size) = 0;
    // Writes a 32-bit value.
    virtual LONG SetDword(const char *name, DWORD value) = 0;

    HKEY *Key;            // the owning editor's key handle
    DWORD Type = 0;       // registry type reported by the last query
    DWORD Size = 0;       // byte count used by QueryDword
    LONG LastResult = 0;  // result of the last registry call made by this accessor

protected:
    // Accessors are released through their own class (only RegEditBinary has a virtual
    // destructor), never through this base.
    ~RegEditValue() = default;

    LONG QueryBytes(const char *name, BYTE *buffer, DWORD *size);
    LONG QueryFourBytes(const char *name, DWORD *value);
    LONG SetBytes(DWORD type, const char *name, const BYTE *data, const DWORD *size);
    LONG SetFourBytes(const char *name, DWORD value);
};

class RegEditBinary : public RegEditValue {
public:
    using RegEditValue::RegEditValue;
    LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) override;
    LONG QueryDword(const char *name, DWORD *value) override;
    LONG SetValue(const char *name, const BYTE *data, DWORD *size) override;
    LONG SetDword(const char *name, DWORD value) override;
    virtual ~RegEditBinary();
};

class RegEditSz final : public RegEditValue {
public:
    using RegEditValue::RegEditValue;
    LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) override;
    LONG QueryDword(const char *name, DWORD *value) override;
    LONG SetValue(const char *name, const BYTE *data, DWORD *size) override;
    LONG SetDword(const char *name, DWORD value) override;
};

class RegEditExpandSz final : public RegEditValue {
public:
    using RegEditValue::RegEditValue;
    LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) override;
    LONG QueryDword(const char *name, DWORD *value) override;
    LONG SetValue(const char *name, const BYTE *data, DWORD *size) override;
    LONG SetDword(const char *name, DWORD value) override;
};

class RegEditMultiSz final : public RegEditValue {
public:
    using RegEditValue::RegEditValue;
    LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) override;
    LONG QueryDword(const char *name, DWORD *value) override;
    LONG SetValue(const char *name, const BYTE *data, DWORD *size) override;
    LONG SetDword(const char *name, DWORD value) override;
};

class RegEditDword final : public RegEditValue {
public:
    using RegEditValue::RegEditValue;
    LONG QueryValue(const char *name, BYTE *buffer, DWORD *size) override;
    LONG QueryDword(const char *name, DWORD *value) override;
    LONG SetValue(const char *name, const BYTE *data, DWORD *size) override;
    LONG SetDword(const char *name, DWORD value) override;
};
