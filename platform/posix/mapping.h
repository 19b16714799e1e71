// Named file mappings over POSIX shared memory (POSIX layer).
//
// Only mappings backed by the paging file (INVALID_HANDLE_VALUE) are supported: a named one
// is the POSIX shared-memory object of that name, shared by every process that opens it.
#pragma once

#include "platform/posix/types.h"

#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_WRITECOPY 0x08u
#define SEC_COMMIT 0x08000000u

#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

// Creates (or opens, setting ERROR_ALREADY_EXISTS) a mapping of the given size. hFile must be
// INVALID_HANDLE_VALUE; a null name gives a mapping private to the process.
HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName);
// Opens an existing named mapping; ERROR_FILE_NOT_FOUND when there is none.
HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
// Maps a view; 0 bytes maps from the offset to the end of the mapping.
LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap);
BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);
