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

VESK_EXPORT long RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR keyClass,
                              DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                              HKEY* outKey, DWORD* outDisposition);
VESK_EXPORT long RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                             const BYTE* data, DWORD dataSize);
VESK_EXPORT long RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, HKEY* outKey);
VESK_EXPORT long RegCloseKey(HKEY key);
VESK_EXPORT long RegDeleteKeyW(HKEY key, LPCWSTR subkey);

VESK_EXPORT DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
VESK_EXPORT BOOL DisableThreadLibraryCalls(HMODULE module);
