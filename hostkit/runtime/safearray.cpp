// Safe arrays with the published descriptor layout. Every descriptor made here sits 16
// bytes into its allocation: the element type goes in the 4 bytes just before it
// (FADF_HAVEVARTYPE), or, for interface elements, the interface identifier in the 16 bytes
// before it (FADF_HAVEIID).
//
// Dimension order as the published runtime keeps it: the descriptor stores the bounds in
// reverse of the order given to SafeArrayCreate, so rgsabound[cDims-1] is the first
// dimension. An index vector lists the first dimension first and that dimension varies
// fastest in memory; SafeArrayRedim changes rgsabound[0], the slowest-varying dimension,
// which is the one whose resizing keeps every surviving element in place.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/runtime.h"
#include "variant_types.h"

namespace {

constexpr size_t kPrefix = 16;
constexpr ULONG kMaxLocks = 0xFFFF;
// Arrays whose memory the caller owns: their descriptor and data are never freed here.
constexpr USHORT kCallerMemory = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

char* block_of(SAFEARRAY* psa) { return reinterpret_cast<char*>(psa) - kPrefix; }
DWORD* vartype_slot(SAFEARRAY* psa) { return reinterpret_cast<DWORD*>(psa) - 1; }
GUID* iid_slot(SAFEARRAY* psa) { return reinterpret_cast<GUID*>(block_of(psa)); }

// Number of elements, or false when it does not fit in memory.
bool element_count(const SAFEARRAY* psa, size_t* count) {
    size_t n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const size_t c = psa->rgsabound[i].cElements;
        if (c != 0 && n > SIZE_MAX / 2 / c) return false;
        n *= c;
    }
    *count = n;
    return true;
}

bool data_bytes(const SAFEARRAY* psa, size_t* bytes) {
    size_t n = 0;
    if (!element_count(psa, &n)) return false;
    if (psa->cbElements != 0 && n > SIZE_MAX / 2 / psa->cbElements) return false;
    *bytes = n * psa->cbElements;
    return true;
}

USHORT features_for(VARTYPE vt) {
    switch (vt) {
    case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
    case VT_UNKNOWN: return FADF_HAVEIID | FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_HAVEIID | FADF_DISPATCH;
    default: return FADF_HAVEVARTYPE;
    }
}

// A descriptor for cDims dimensions with its type prefix filled in; no data yet.
SAFEARRAY* allocate_descriptor(UINT cDims, USHORT features, ULONG cbElements, VARTYPE vt,
                               const GUID* iid) {
    const size_t size = kPrefix + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    char* block = static_cast<char*>(std::calloc(1, size));
    if (block == nullptr) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
    psa->cDims = USHORT(cDims);
    psa->fFeatures = features;
    psa->cbElements = cbElements;
    if (features & FADF_HAVEIID) {
        *iid_slot(psa) = iid ? *iid : GUID_NULL;
    } else if (features & FADF_HAVEVARTYPE) {
        *vartype_slot(psa) = vt;
    }
    return psa;
}

// Zero-filled storage for the elements; never null for a successful call, so an empty
// array still has a data pointer.
HRESULT allocate_data(SAFEARRAY* psa) {
    size_t bytes = 0;
    if (!data_bytes(psa, &bytes)) return E_OUTOFMEMORY;
    psa->pvData = std::calloc(1, bytes ? bytes : 1);
    return psa->pvData ? S_OK : E_OUTOFMEMORY;
}

size_t elements_of(const SAFEARRAY* psa) {
    size_t count = 0;
    return psa->pvData != nullptr && element_count(psa, &count) ? count : 0;
}

// Frees what a nested array allocated itself once the walk is done with it; an array in caller
// memory keeps its storage and gets its lock back.
void free_storage(SAFEARRAY* psa) {
    --psa->cLocks;
    if (psa->fFeatures & kCallerMemory) return;
    std::free(psa->pvData);
    std::free(block_of(psa));
}

// The way back out of a nested array: written over the VARIANT slot the nested array was taken
// from, in an array that is being destroyed and so is reachable from nowhere else.
struct Resume {
    VARIANT* outer;  // the slot holding the way out of owner, or null when owner is the root
    SAFEARRAY* owner;
};
static_assert(sizeof(Resume) <= sizeof(VARIANT));

// Releases elements [first, first+count) of root, whose storage is data, and everything they
// own. Each slot is emptied before what it held is released. Arrays held by VARIANT elements are
// destroyed depth first with no recursion and no allocation, so a nest of any depth is freed.
// A locked nested array belongs to whoever locked it and is left alone; root and the arrays the
// walk is inside are locked, so an array that holds itself does not send the walk round again.
void release_elements(SAFEARRAY* root, char* const rootData, size_t first, size_t count) {
    SAFEARRAY* cur = root;
    char* data = rootData;
    size_t i = first, end = first + count;
    size_t rootNext = 0;       // where the walk goes on in root after a nested array
    VARIANT* resume = nullptr;  // the way out of cur when cur is nested below the first level
    for (;;) {
        if (i < end) {
            char* cell = data + i * cur->cbElements;
            switch (veskhost::ElementKindOf(cur)) {
            case veskhost::ElementKind::String:
                SysFreeString(std::exchange(*reinterpret_cast<BSTR*>(cell), nullptr));
                ++i;
                continue;
            case veskhost::ElementKind::Interface:
                if (IUnknown* unk = std::exchange(*reinterpret_cast<IUnknown**>(cell), nullptr)) unk->Release();
                ++i;
                continue;
            case veskhost::ElementKind::Plain:
                std::memset(cell, 0, (end - i) * cur->cbElements);
                i = end;
                continue;
            case veskhost::ElementKind::Unreadable:
                i = end;
                continue;
            case veskhost::ElementKind::Variant:
                break;
            }
            auto* slot = reinterpret_cast<VARIANT*>(cell);
            VARIANT value = *slot;
            VariantInit(slot);
            ++i;
            if (!veskhost::IsValidVariantType(value.vt)) continue;
            if ((value.vt & (VT_ARRAY | VT_BYREF)) != VT_ARRAY) {
                VariantClear(&value);
                continue;
            }
            SAFEARRAY* inner = value.parray;
            if (inner == nullptr || inner->cLocks != 0) continue;
            if (cur == root) {
                rootNext = i;
            } else {
                const Resume way{resume, cur};
                std::memcpy(static_cast<void*>(slot), &way, sizeof way);
                resume = slot;
            }
            ++inner->cLocks;  // an array on the walk's path is skipped if met again
            cur = inner;
            data = static_cast<char*>(inner->pvData);
            i = 0;
            end = elements_of(inner);
            continue;
        }
        if (cur == root) return;
        SAFEARRAY* done = cur;
        if (resume == nullptr) {
            cur = root;
            data = rootData;
            i = rootNext;
            end = first + count;
        } else {
            Resume way;
            std::memcpy(&way, static_cast<const void*>(resume), sizeof way);
            VariantInit(resume);
            cur = way.owner;
            data = static_cast<char*>(cur->pvData);
            i = size_t(reinterpret_cast<char*>(resume) - data) / cur->cbElements + 1;
            end = elements_of(cur);
            resume = way.outer;
        }
        free_storage(done);
    }
}

// Byte offset of the element at rgIndices, or false when an index is out of bounds.
bool element_offset(const SAFEARRAY* psa, const LONG* rgIndices, size_t* offset) {
    size_t cell = 0;
    size_t stride = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - d];
        const int64_t rel = int64_t(rgIndices[d]) - b.lLbound;
        if (rel < 0 || rel >= int64_t(b.cElements)) return false;
        cell += size_t(rel) * stride;
        stride *= b.cElements;
    }
    *offset = cell * psa->cbElements;
    return true;
}

HRESULT copy_bstr_into(BSTR src, BSTR* dst) {
    *dst = nullptr;
    if (src == nullptr) return S_OK;
    *dst = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
    return *dst ? S_OK : E_OUTOFMEMORY;
}

// Deep copy of one element from src into uninitialised dst storage; arrays a VARIANT element
// holds are copied at the given nesting level.
HRESULT copy_element(veskhost::ElementKind kind, ULONG size, const void* src, void* dst, unsigned level) {
    switch (kind) {
    case veskhost::ElementKind::String:
        return copy_bstr_into(*static_cast<const BSTR*>(src), static_cast<BSTR*>(dst));
    case veskhost::ElementKind::Interface: {
        IUnknown* unk = *static_cast<IUnknown* const*>(src);
        if (unk) unk->AddRef();
        *static_cast<IUnknown**>(dst) = unk;
        return S_OK;
    }
    case veskhost::ElementKind::Variant:
        VariantInit(static_cast<VARIANT*>(dst));
        return veskhost::CopyVariantAtLevel(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src), level);
    case veskhost::ElementKind::Plain:
        std::memcpy(dst, src, size);
        return S_OK;
    case veskhost::ElementKind::Unreadable:
        break;
    }
    return E_INVALIDARG;
}

// The upper bound of a dimension fits a LONG (for an empty dimension, one below the lower).
bool bound_fits(const SAFEARRAYBOUND& b) {
    const int64_t upper = int64_t(b.lLbound) + int64_t(b.cElements) - 1;
    return upper >= INT32_MIN && upper <= INT32_MAX;
}

}  // namespace

namespace veskhost {

HRESULT CopyArrayAtLevel(SAFEARRAY* psa, SAFEARRAY** ppsaOut, unsigned level) {
    if (ppsaOut == nullptr) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (psa == nullptr) return S_OK;
    if (psa->cDims == 0) return E_INVALIDARG;
    const ElementKind kind = ElementKindOf(psa);
    if (kind == ElementKind::Unreadable) return E_INVALIDARG;
    if (level > kMaxArrayNesting) return E_OUTOFMEMORY;
    const USHORT features = psa->fFeatures & ~(kCallerMemory | FADF_FIXEDSIZE);
    GUID iid = GUID_NULL;
    VARTYPE vt = VT_EMPTY;
    if (psa->fFeatures & FADF_HAVEIID) iid = *iid_slot(psa);
    if (psa->fFeatures & FADF_HAVEVARTYPE) vt = VARTYPE(*vartype_slot(psa));
    SAFEARRAY* copy = allocate_descriptor(psa->cDims, features, psa->cbElements, vt, &iid);
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
    HRESULT hr = allocate_data(copy);
    size_t count = 0;
    if (SUCCEEDED(hr) && !element_count(psa, &count)) hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr) && psa->pvData == nullptr) count = 0;
    for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        const size_t off = i * psa->cbElements;
        hr = copy_element(kind, psa->cbElements, static_cast<char*>(psa->pvData) + off,
                          static_cast<char*>(copy->pvData) + off, level + 1);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

}  // namespace veskhost

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (cDims == 0 || cDims > 0xFFFF || rgsabound == nullptr) return nullptr;
    const ULONG size = veskhost::ElementSize(vt);
    if (size == 0) return nullptr;
    for (UINT i = 0; i < cDims; ++i) {
        if (!bound_fits(rgsabound[i])) return nullptr;
    }
    const GUID* iid = vt == VT_DISPATCH ? &IID_IDispatch : vt == VT_UNKNOWN ? &IID_IUnknown : nullptr;
    SAFEARRAY* psa = allocate_descriptor(cDims, features_for(vt), size, vt, iid);
    if (psa == nullptr) return nullptr;
    for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
    if (FAILED(allocate_data(psa))) {
        std::free(block_of(psa));
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

// The data is taken out of the descriptor before any element is released, and the array stays
// locked meanwhile, so a release that calls back finds an array with no data that it can
// neither destroy nor resize.
HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    const bool owned = !(psa->fFeatures & kCallerMemory);
    const size_t count = elements_of(psa);
    char* data = static_cast<char*>(psa->pvData);
    if (owned) psa->pvData = nullptr;
    if (data != nullptr && count != 0) {
        ++psa->cLocks;
        release_elements(psa, data, 0, count);
        --psa->cLocks;
    }
    if (owned) std::free(data);
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    const HRESULT hr = SafeArrayDestroyData(psa);
    if (FAILED(hr)) return hr;
    if (!(psa->fFeatures & kCallerMemory)) std::free(block_of(psa));
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) { return veskhost::CopyArrayAtLevel(psa, ppsaOut, 1); }

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        *pvt = VARTYPE(*vartype_slot(psa));
    } else if (psa->fFeatures & FADF_BSTR) {
        *pvt = VT_BSTR;
    } else if (psa->fFeatures & FADF_DISPATCH) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_UNKNOWN) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_VARIANT) {
        *pvt = VT_VARIANT;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    *plUbound = LONG(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
    if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
    size_t off = 0;
    if (!element_offset(psa, rgIndices, &off)) return DISP_E_BADINDEX;
    if (psa->pvData == nullptr) return E_INVALIDARG;
    *ppvData = static_cast<char*>(psa->pvData) + off;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks) return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

// The element is copied into pv, which is treated as uninitialised storage.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (pv == nullptr) return E_INVALIDARG;
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    hr = copy_element(veskhost::ElementKindOf(psa), psa->cbElements, cell, pv, 1);
    SafeArrayUnlock(psa);
    return hr;
}

// pv is the value itself for strings and interfaces, and points at it otherwise. A VARIANT
// stored here sits one level down, so its arrays count one level deeper than in pv.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    const veskhost::ElementKind kind = veskhost::ElementKindOf(psa);
    if (kind == veskhost::ElementKind::Unreadable) return E_INVALIDARG;
    if (pv == nullptr && (kind == veskhost::ElementKind::Plain || kind == veskhost::ElementKind::Variant))
        return E_INVALIDARG;
    hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    switch (kind) {
    case veskhost::ElementKind::String: {
        BSTR copy = nullptr;
        hr = copy_bstr_into(static_cast<BSTR>(pv), &copy);
        if (SUCCEEDED(hr)) SysFreeString(std::exchange(*static_cast<BSTR*>(cell), copy));
        break;
    }
    case veskhost::ElementKind::Interface: {
        auto* unk = static_cast<IUnknown*>(pv);
        if (unk) unk->AddRef();
        IUnknown* old = std::exchange(*static_cast<IUnknown**>(cell), unk);
        if (old) old->Release();
        break;
    }
    case veskhost::ElementKind::Variant:
        hr = veskhost::CopyVariantAtLevel(static_cast<VARIANT*>(cell), static_cast<const VARIANT*>(pv), 2);
        break;
    default:
        std::memcpy(cell, pv, psa->cbElements);
        break;
    }
    SafeArrayUnlock(psa);
    return hr;
}

// A shrinking array gets its new bounds before the cut elements are released, and stays locked
// meanwhile, so a release that calls back sees only the elements that remain.
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
    if (psa == nullptr || psaboundNew == nullptr || psa->cDims == 0) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if (psa->fFeatures & (FADF_FIXEDSIZE | kCallerMemory)) return E_INVALIDARG;
    if (veskhost::ElementKindOf(psa) == veskhost::ElementKind::Unreadable) return E_INVALIDARG;
    if (!bound_fits(*psaboundNew)) return E_INVALIDARG;
    size_t slice = 1;  // elements per step of the resized dimension
    for (USHORT i = 1; i < psa->cDims; ++i) {
        const size_t c = psa->rgsabound[i].cElements;
        if (c != 0 && slice > SIZE_MAX / 4 / c) return E_OUTOFMEMORY;
        slice *= c;
    }
    const size_t oldCount = slice * psa->rgsabound[0].cElements;
    const size_t newSteps = psaboundNew->cElements;
    if (slice != 0 && newSteps > SIZE_MAX / 4 / slice / psa->cbElements) return E_OUTOFMEMORY;
    const size_t newCount = slice * newSteps;
    const size_t newBytes = newCount * psa->cbElements;
    if (psa->pvData == nullptr) {  // data destroyed earlier: start again from zeroed storage
        psa->pvData = std::calloc(1, newBytes ? newBytes : 1);
        if (psa->pvData == nullptr) return E_OUTOFMEMORY;
        psa->rgsabound[0] = *psaboundNew;
        return S_OK;
    }
    if (newCount <= oldCount) {
        psa->rgsabound[0] = *psaboundNew;
        if (newCount < oldCount) {
            ++psa->cLocks;
            release_elements(psa, static_cast<char*>(psa->pvData), newCount, oldCount - newCount);
            --psa->cLocks;
        }
        // Keeping the larger block when it cannot shrink leaves a sound array.
        if (void* data = std::realloc(psa->pvData, newBytes ? newBytes : 1)) psa->pvData = data;
        return S_OK;
    }
    void* data = std::realloc(psa->pvData, newBytes);
    if (data == nullptr) return E_OUTOFMEMORY;
    std::memset(static_cast<char*>(data) + oldCount * psa->cbElements, 0, (newCount - oldCount) * psa->cbElements);
    psa->pvData = data;
    psa->rgsabound[0] = *psaboundNew;
    return S_OK;
}

}  // extern "C"
