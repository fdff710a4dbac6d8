// Automation and Win32 base types as both sides of the module boundary see them.
// Published widths: a published LONG/ULONG/DWORD is 32-bit here, never C++ long.
// wchar_t is 32-bit; a VARIANT is 16 bytes (no record member, so no VT_RECORD).
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(wchar_t) == 4, "the automation strings of this platform hold 32-bit characters");

// HOST_API marks what the host process supplies (the runtime functions and identifiers):
// declared here, defined in the host, left undefined in the module.
#define HOST_API __attribute__((visibility("default")))
// VESK_EXPORT marks what the module itself defines and exports under its own name (entry
// points, identifiers, globals, the shim's functions); everything else in it stays hidden.
#define VESK_EXPORT __attribute__((visibility("default")))

using BYTE = uint8_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using INT = int32_t;
using BOOL = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using HREFTYPE = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;
using OLECHAR = wchar_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using ALG_ID = uint32_t;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// ---- HRESULT ---------------------------------------------------------------------------
constexpr HRESULT hresult_of(uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hresult_of(0x80004001u);
constexpr HRESULT E_NOINTERFACE = hresult_of(0x80004002u);
constexpr HRESULT E_POINTER = hresult_of(0x80004003u);
constexpr HRESULT E_ABORT = hresult_of(0x80004004u);
constexpr HRESULT E_FAIL = hresult_of(0x80004005u);
constexpr HRESULT E_UNEXPECTED = hresult_of(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = hresult_of(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = hresult_of(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = hresult_of(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = hresult_of(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresult_of(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = hresult_of(0x80040154u);
constexpr HRESULT CONTEXT_E_NOCONTEXT = hresult_of(0x8004E004u);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = hresult_of(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = hresult_of(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = hresult_of(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = hresult_of(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = hresult_of(0x80020006u);
constexpr HRESULT DISP_E_NONAMEDARGS = hresult_of(0x80020007u);
constexpr HRESULT DISP_E_BADVARTYPE = hresult_of(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = hresult_of(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = hresult_of(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = hresult_of(0x8002000Bu);
constexpr HRESULT DISP_E_ARRAYISLOCKED = hresult_of(0x8002000Du);
constexpr HRESULT DISP_E_BADPARAMCOUNT = hresult_of(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = hresult_of(0x8002000Fu);
constexpr HRESULT DISP_E_DIVBYZERO = hresult_of(0x80020012u);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = hresult_of(0x8002802Bu);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = hresult_of(0x80029C4Au);
constexpr HRESULT STG_E_INVALIDFUNCTION = hresult_of(0x80030001u);
constexpr HRESULT STG_E_FILENOTFOUND = hresult_of(0x80030002u);
constexpr HRESULT STG_E_ACCESSDENIED = hresult_of(0x80030005u);
constexpr HRESULT STG_E_WRITEFAULT = hresult_of(0x8003001Du);
constexpr HRESULT STG_E_READFAULT = hresult_of(0x8003001Eu);

// ---- GUID ------------------------------------------------------------------------------
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// ---- VARTYPE ---------------------------------------------------------------------------
enum : VARTYPE {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6, VT_DATE = 7,
    VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13,
    VT_DECIMAL = 14, VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21,
    VT_INT = 22, VT_UINT = 23, VT_VOID = 24, VT_HRESULT = 25, VT_PTR = 26, VT_SAFEARRAY = 27,
    VT_CARRAY = 28, VT_USERDEFINED = 29, VT_LPSTR = 30, VT_LPWSTR = 31, VT_RECORD = 36,
    VT_INT_PTR = 37, VT_UINT_PTR = 38,
    VT_VECTOR = 0x1000, VT_ARRAY = 0x2000, VT_BYREF = 0x4000, VT_RESERVED = 0x8000,
    VT_TYPEMASK = 0x0FFF,
};

// ---- Dispatch constants ----------------------------------------------------------------
constexpr WORD DISPATCH_METHOD = 1;
constexpr WORD DISPATCH_PROPERTYGET = 2;
constexpr WORD DISPATCH_PROPERTYPUT = 4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 8;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = 0x15;
constexpr DWORD CLSCTX_ALL = 0x17;

// ---- Value types -----------------------------------------------------------------------
union CY {
    struct {
        uint32_t Lo;
        int32_t Hi;
    };
    int64_t int64;
};
static_assert(sizeof(CY) == 8);

struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
};
static_assert(sizeof(DECIMAL) == 16);
constexpr BYTE DECIMAL_NEG = 0x80;

// The tag is the Win32 one, so the shim's file-time functions carry `_FILETIME` in their
// exported decorated names, as the library's callers expect.
struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using FILETIME = _FILETIME;
using LPFILETIME = _FILETIME*;
static_assert(sizeof(FILETIME) == 8);

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    ULONGLONG QuadPart;
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, pvData) == 16 &&
              offsetof(SAFEARRAY, rgsabound) == 24);

enum : USHORT {
    FADF_AUTO = 0x0001, FADF_STATIC = 0x0002, FADF_EMBEDDED = 0x0004, FADF_FIXEDSIZE = 0x0010,
    FADF_RECORD = 0x0020, FADF_HAVEIID = 0x0040, FADF_HAVEVARTYPE = 0x0080, FADF_BSTR = 0x0100,
    FADF_UNKNOWN = 0x0200, FADF_DISPATCH = 0x0400, FADF_VARIANT = 0x0800, FADF_RESERVED = 0xF008,
};

struct IUnknown;
struct IDispatch;
struct VARIANT;

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                ULONGLONG ullVal;
                LONG lVal;
                ULONG ulVal;
                INT intVal;
                UINT uintVal;
                SCODE scode;
                BYTE bVal;
                char cVal;
                SHORT iVal;
                USHORT uiVal;
                VARIANT_BOOL boolVal;
                float fltVal;
                double dblVal;
                DATE date;
                CY cyVal;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                char* pcVal;
                SHORT* piVal;
                USHORT* puiVal;
                LONG* plVal;
                ULONG* pulVal;
                INT* pintVal;
                UINT* puintVal;
                LONGLONG* pllVal;
                ULONGLONG* pullVal;
                float* pfltVal;
                double* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                DECIMAL* pdecVal;
                void* byref;
            };
        };
        DECIMAL decVal;
    };
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 16 && offsetof(VARIANT, llVal) == 8);

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};
static_assert(sizeof(DISPPARAMS) == 24);

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, scode) == 56);

// Accessors in the published macro style, used where a type tag reads better than a field.
#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (((v)->vt & VT_BYREF) != 0)
#define V_ISARRAY(v) (((v)->vt & VT_ARRAY) != 0)
