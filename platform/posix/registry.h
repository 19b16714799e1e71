// The registry: keys and values in a SQLite store (POSIX layer).
//
// The store is the database $KESTRUNE_ROOT/registry.db ($HOME/.kestrune when the variable is
// unset), read each time a call starts from a predefined root key, so a process that changes
// KESTRUNE_ROOT reaches the new store with its next call. Keys and value names compare
// case-insensitively (ASCII letters only, as Windows does for these) and keep the case they
// were created with; value types and bytes are stored exactly; values enumerate in the order
// they were created. Every write is one SQLite transaction (WAL journal, synchronous FULL),
// so several processes can read and write at once and a crash never leaves a torn value.
#pragma once

#include "platform/posix/types.h"

// Registry keys are handles of their own, closed with RegCloseKey (not CloseHandle).
struct HKEY__;
typedef HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

// Predefined root keys. HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are stores of their own;
// the other roots fail with ERROR_CALL_NOT_IMPLEMENTED.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))

// Value types. Any other type number is stored as opaque bytes.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
#define REG_QWORD_LITTLE_ENDIAN 11u

// Access rights of a key handle; checked on every call made through the handle.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_EXECUTE 0x00020019u
#define KEY_ALL_ACCESS 0x000F003Fu

// Options of RegCreateKeyExA / RegOpenKeyExA. Only non-volatile keys are implemented.
#define REG_OPTION_RESERVED 0x0000u
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_OPTION_VOLATILE 0x0001u
#define REG_OPTION_CREATE_LINK 0x0002u
#define REG_OPTION_BACKUP_RESTORE 0x0004u
#define REG_OPTION_OPEN_LINK 0x0008u

// Dispositions reported by RegCreateKeyExA.
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegCloseKey(HKEY hKey);

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                       DWORD cbData);
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Subkeys enumerate in case-insensitive name order, as on Windows.
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Deletes a key without subkeys, with its values.
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

// The layer's own: the longest time a registry call of the calling thread waits for a store
// that another program holds locked, in milliseconds (10000 unless set). A call that would
// wait longer fails with ERROR_BUSY and changes nothing. Returns the thread's previous limit.
// Other threads and processes keep their own limits.
DWORD KestruneSetRegistryWaitLimit(DWORD milliseconds);

// The layer's own: the store's file, "$KESTRUNE_ROOT/registry.db", into path; returns its
// length, or 0 when it does not fit or no root is known.
DWORD KestruneRegistryStorePath(char *path, DWORD size);
// The layer's own, for a store that cannot be read (ERROR_BADDB): renames the store's file to
// its name followed by suffix and removes its journal files, so that the next call starts a
// fresh store; movedTo receives the new name. Returns 0 or the Win32 error code.
DWORD KestruneSetRegistryStoreAside(const char *suffix, char *movedTo, DWORD size);
