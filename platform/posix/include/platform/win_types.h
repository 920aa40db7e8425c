// The Win32 base types and calling conventions that the server's code is
// written against, for the Linux build.
#pragma once

#include <cstdint>
#include <cwchar>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using UINT = unsigned int;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using FLOAT = float;
using DOUBLE = double;
using WCHAR = wchar_t;
// COM's strings (OLECHAR, BSTR and the OPC interfaces' texts) are UTF-16, as
// on Windows, so that their layout is the one a client expects. The system
// call stand-ins keep wchar_t.
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR *;
using LPCOLESTR = const OLECHAR *;
using LPWSTR = wchar_t *;
using LPCWSTR = const wchar_t *;
using LPSTR = char *;
using LPCSTR = const char *;
using LPVOID = void *;
using HANDLE = void *;
using HMODULE = void *;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define MAX_PATH 260
