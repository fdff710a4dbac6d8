// Registry and module functions. There is no registry on this platform: every call succeeds
// and stores nothing, so registration leaves no trace and never fails.
#pragma once

#include "shim/types.h"

using HKEY = void*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000000u))))
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr long ERROR_SUCCESS = 0;

HOST_API long RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR keyClass,
                              DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                              HKEY* outKey, DWORD* outDisposition);
HOST_API long RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                             const BYTE* data, DWORD dataSize);
HOST_API long RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, HKEY* outKey);
HOST_API long RegCloseKey(HKEY key);
HOST_API long RegDeleteKeyW(HKEY key, LPCWSTR subkey);

HOST_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
HOST_API BOOL DisableThreadLibraryCalls(HMODULE module);
