#include "shim/registry.h"

long RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, SECURITY_ATTRIBUTES*,
                     HKEY* outKey, DWORD* outDisposition) {
    if (outKey) *outKey = nullptr;
    if (outDisposition) *outDisposition = 0;
    return ERROR_SUCCESS;
}

long RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_SUCCESS; }

long RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, HKEY* outKey) {
    if (outKey) *outKey = nullptr;
    return ERROR_SUCCESS;
}

long RegCloseKey(HKEY) { return ERROR_SUCCESS; }

long RegDeleteKeyW(HKEY, LPCWSTR) { return ERROR_SUCCESS; }

// The module has no file name here; callers then find no type library beside it.
DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
    if (size != 0 && buffer != nullptr) buffer[0] = L'\0';
    return 0;
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }
