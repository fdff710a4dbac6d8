// The engine and its bridge to automation.
//
// Duktape reports script errors by unwinding the C stack (longjmp), which skips C++
// destructors. So no owning wrapper lives in a frame across an engine call that may raise:
// values in transit between the two worlds are held by the engine itself (m_transit,
// m_args), and every native function first does its automation work in a scope of its own,
// then pushes or raises from a frame that holds nothing.
#include "server/script_engine.h"

#include <duktape.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/automation.h"
#include "server/script_objects.h"
#include "server/script_source.h"
#include "server/text.h"

namespace veskserve {

namespace {

constexpr const char* kIdKey = DUK_HIDDEN_SYMBOL("vesk_id");      // an automation proxy's (and its target's) entry
constexpr const char* kMemberKey = DUK_HIDDEN_SYMBOL("vesk_m");   // a method function's member name
constexpr const char* kHandlerKey = DUK_HIDDEN_SYMBOL("vesk_h");  // the proxy handler, in the heap stash
constexpr const char* kDateKey = DUK_HIDDEN_SYMBOL("vesk_date");  // the original Date constructor
constexpr const char* kOwnKey = DUK_HIDDEN_SYMBOL("vesk_own");    // Object.prototype.hasOwnProperty
constexpr const char* kLineKey = DUK_HIDDEN_SYMBOL("vesk_line");  // where a raised error arose
constexpr const char* kFileKey = DUK_HIDDEN_SYMBOL("vesk_file");
constexpr const char* kSlotsKey = DUK_HIDDEN_SYMBOL("vesk_slots");  // script objects handed out
constexpr int kMaxValueDepth = 32;
constexpr DISPID kNoMember = DISPID_UNKNOWN;
constexpr LCID kLocale = 0x0800;
// The object belongs to another thread's page (the published code for that refusal).
constexpr HRESULT kWrongThread = HRESULT(0x8001010Eu);

// The names the rewritten source calls its hooks by. They differ from process to process, so
// that no page can declare a variable that hides them.
const ScriptHooks& Hooks() {
    static const ScriptHooks hooks = [] {
        std::random_device entropy;
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%08x%08x", entropy(), entropy());
        return ScriptHooks{std::string("__vesk_tick_") + suffix, std::string("__vesk_call_") + suffix};
    }();
    return hooks;
}

void SetErrorInformation(const std::wstring& source, const std::wstring& description) {
    CComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Receive()))) return;
    create->SetSource(const_cast<LPOLESTR>(source.c_str()));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    CComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.QueryInterface(info.Receive()))) SetErrorInfo(0, info.Get());
}

std::wstring ToWide(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

}  // namespace

// ---- The engine's state ----------------------------------------------------------------

struct ScriptEngine::Impl {
    // An automation object the script holds, by the id its proxy carries.
    struct Entry {
        CComPtr<IDispatch> dispatch;
        // The request-collection interfaces, for objects that answer no names late-bound.
        CComPtr<PravoltTypeLibrary::IRequestDictionary> dictionary;
        CComPtr<PravoltTypeLibrary::IStringList> list;
        std::unordered_map<std::wstring, DISPID> ids;
        // Objects with type information answer a property get only for properties, so a
        // call with arguments can first ask whether the member is one.
        bool typed = false;
    };

    // What a native function does once its automation work is done.
    enum class Outcome { Value, Undefined, Method, Raise, Pushed };

    explicit Impl(const Limits& given) : limits(given), state(std::make_shared<HeapState>()) {}

    Limits limits;
    duk_context* ctx = nullptr;
    std::shared_ptr<HeapState> state;
    std::function<bool()> ended;

    // Memory and time.
    size_t used = 0;
    bool outOfMemory = false;
    std::chrono::steady_clock::time_point deadline;
    bool armed = false;     // the deadline and the memory cap apply
    bool timedOut = false;  // the deadline passed while the script ran
    bool raisingDeadline = false;  // the deadline's own error is being made
    bool endRequested = false;
    bool tearingDown = false;
    unsigned allocationsSinceClock = 0;

    std::unordered_map<uint32_t, Entry> objects;
    uint32_t nextObject = 1;
    uint32_t nextSlot = 1;

    // Values in transit (see the note at the top).
    CComVariant transit;
    std::vector<CComVariant> args;
    std::string scratch;
    // The error a native function is about to raise.
    HRESULT raiseHr = S_OK;
    std::string raiseMessage;
    std::string raiseSource;
    std::string raiseDescription;
    bool raiseTypeError = false;
    // The member a method function is made for.
    uint32_t methodObject = 0;
    std::string methodName;
    // Where a script error the library was told about first arose.
    std::string originFile;
    int originLine = 0;

    static Impl* Of(duk_context* ctx) {
        duk_memory_functions functions;
        duk_get_memory_functions(ctx, &functions);
        return static_cast<Impl*>(functions.udata);
    }

    bool Expired() {
        if (!armed) return false;
        if (timedOut) return true;
        if (std::chrono::steady_clock::now() >= deadline) timedOut = true;
        return timedOut;
    }

    // ---- Allocation: a size header in front of each block, counted against the cap -----

    static constexpr size_t kHeader = 16;
    static void* Alloc(void* udata, duk_size_t size) {
        auto* self = static_cast<Impl*>(udata);
        if (!self->Admit(size)) return nullptr;
        auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
        if (block == nullptr) return nullptr;
        std::memcpy(block, &size, sizeof size);
        self->used += size;
        return block + kHeader;
    }
    static void* Realloc(void* udata, void* ptr, duk_size_t size) {
        auto* self = static_cast<Impl*>(udata);
        if (ptr == nullptr) return Alloc(udata, size);
        if (size == 0) {
            Free(udata, ptr);
            return nullptr;
        }
        unsigned char* block = static_cast<unsigned char*>(ptr) - kHeader;
        size_t old;
        std::memcpy(&old, block, sizeof old);
        if (size > old && !self->Admit(size - old)) return nullptr;
        auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kHeader));
        if (grown == nullptr) return nullptr;
        std::memcpy(grown, &size, sizeof size);
        self->used = self->used - old + size;
        return grown + kHeader;
    }
    static void Free(void* udata, void* ptr) {
        if (ptr == nullptr) return;
        auto* self = static_cast<Impl*>(udata);
        unsigned char* block = static_cast<unsigned char*>(ptr) - kHeader;
        size_t old;
        std::memcpy(&old, block, sizeof old);
        self->used -= old;
        std::free(block);
    }
    bool Admit(size_t more) {
        if (!armed) return true;
        if (used + more > limits.memoryBytes) {
            outOfMemory = true;
            return false;
        }
        // A loop inside a built-in (a huge join, a long replace) allocates as it goes; past
        // the deadline its allocations fail, so it ends too.
        if (++allocationsSinceClock >= 64) {
            allocationsSinceClock = 0;
            Expired();
        }
        return !timedOut || raisingDeadline;
    }
    static void Fatal(void*, const char* message) {
        // The engine cannot continue after a fatal error, and neither can the process safely.
        std::fprintf(stderr, "vesk-serve: fatal script engine error: %s\n", message ? message : "(none)");
        std::abort();
    }

    // ---- Raising -------------------------------------------------------------------

    Outcome RaiseAutomation(HRESULT hr, std::wstring source, std::wstring description, const std::wstring& member) {
        raiseHr = hr;
        raiseTypeError = false;
        if (description.empty()) {
            wchar_t code[16];
            std::swprintf(code, 16, L"0x%08X", static_cast<unsigned>(hr));
            description = L"The call of '" + member + L"' failed with " + code + L".";
        }
        raiseSource = Utf8(source);
        raiseDescription = Utf8(description);
        raiseMessage = raiseSource.empty() ? raiseDescription : raiseSource + ": " + raiseDescription;
        return Outcome::Raise;
    }
    Outcome RaiseType(std::string message) {
        raiseHr = S_OK;
        raiseTypeError = true;
        raiseMessage = std::move(message);
        return Outcome::Raise;
    }
    // The failure of an automation call: its exception information, else the thread's error
    // information, else only the code.
    Outcome RaiseCall(HRESULT hr, EXCEPINFO& info, const std::wstring& member) {
        std::wstring source = ToWide(info.bstrSource), description = ToWide(info.bstrDescription);
        if (info.scode != 0 && hr == DISP_E_EXCEPTION) hr = info.scode;
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
        info = EXCEPINFO{};
        if (description.empty()) {
            CComPtr<IErrorInfo> error;
            if (GetErrorInfo(0, error.Receive()) == S_OK && error) {
                BSTR s = nullptr, d = nullptr;
                error->GetSource(&s);
                error->GetDescription(&d);
                source = ToWide(s);
                description = ToWide(d);
                SysFreeString(s);
                SysFreeString(d);
            }
        }
        return RaiseAutomation(hr, std::move(source), std::move(description), member);
    }

    // Marks the error on the stack top with the script line that called the native
    // function raising it (the engine would name the C source).
    static void MarkOrigin(duk_context* c) {
        duk_inspect_callstack_entry(c, -2);
        if (duk_is_object(c, -1)) {
            duk_get_prop_string(c, -1, "lineNumber");
            duk_put_prop_string(c, -3, kLineKey);
            duk_get_prop_string(c, -1, "function");
            duk_get_prop_string(c, -1, "fileName");
            duk_put_prop_string(c, -4, kFileKey);
            duk_pop(c);
        }
        duk_pop(c);
    }

    // Raises the pending error; does not return.
    [[noreturn]] void Throw(duk_context* c) {
        if (raiseTypeError) {
            duk_push_error_object(c, DUK_ERR_TYPE_ERROR, "%s", raiseMessage.c_str());
        } else {
            duk_push_error_object(c, DUK_ERR_ERROR, "%s", raiseDescription.c_str());
            duk_push_int(c, static_cast<duk_int_t>(raiseHr));
            duk_put_prop_string(c, -2, "number");
            duk_push_string(c, raiseSource.c_str());
            duk_put_prop_string(c, -2, "source");
            duk_push_string(c, raiseDescription.c_str());
            duk_put_prop_string(c, -2, "description");
        }
        MarkOrigin(c);
        duk_throw(c);
        std::abort();  // duk_throw does not return
    }

    // After every automation call: a page whose output has ended stops its script.
    void CheckEnded(duk_context* c) {
        if (!endRequested && ended && ended()) endRequested = true;
        if (endRequested) {
            duk_push_error_object(c, DUK_ERR_ERROR, "The response has ended.");
            duk_throw(c);
        }
    }

    // ---- Automation calls ------------------------------------------------------------

    Entry* Find(uint32_t id) {
        const auto found = objects.find(id);
        return found == objects.end() ? nullptr : &found->second;
    }

    // The DISPID of a member, cached per object; kNoMember when the object does not know it.
    DISPID MemberId(uint32_t id, const std::wstring& name) {
        Entry* entry = Find(id);
        if (entry == nullptr || !entry->dispatch) return kNoMember;
        const auto cached = entry->ids.find(name);
        if (cached != entry->ids.end()) return cached->second;
        CComPtr<IDispatch> target = CComPtr<IDispatch>::Share(entry->dispatch.Get());
        DISPID dispid = kNoMember;
        if (FAILED(automation::GetMemberId(target.Get(), name.c_str(), &dispid, kLocale))) dispid = kNoMember;
        if ((entry = Find(id)) != nullptr) entry->ids.emplace(name, dispid);
        return dispid;
    }

    // Calls the member with m_args (taken over) into m_transit.
    HRESULT Invoke(uint32_t id, DISPID dispid, WORD flags, EXCEPINFO* info) {
        Entry* entry = Find(id);
        if (entry == nullptr || !entry->dispatch) return E_UNEXPECTED;
        CComPtr<IDispatch> target = CComPtr<IDispatch>::Share(entry->dispatch.Get());
        std::vector<CComVariant> laid = std::move(args);
        args.clear();
        SetErrorInfo(0, nullptr);
        // The call may run scripts that make calls of their own; its value lands here first.
        CComVariant value;
        const HRESULT hr = automation::InvokeById(target.Get(), dispid, flags, laid, value.Receive(), info, kLocale);
        transit = std::move(value);
        return hr;
    }

    // The request-collection operations of an object that answers no names: Item, Count, Key.
    bool IsCollection(uint32_t id) {
        Entry* entry = Find(id);
        return entry && (entry->dictionary || entry->list);
    }
    HRESULT CollectionCall(uint32_t id, const std::wstring& member) {
        Entry* entry = Find(id);
        if (entry == nullptr) return E_UNEXPECTED;
        auto dictionary = CComPtr<PravoltTypeLibrary::IRequestDictionary>::Share(entry->dictionary.Get());
        auto list = CComPtr<PravoltTypeLibrary::IStringList>::Share(entry->list.Get());
        std::vector<CComVariant> given = std::move(args);
        args.clear();
        transit.Reset();
        CComVariant value;
        const HRESULT hr = CollectionOperation(dictionary.Get(), list.Get(), member, given, &value);
        transit = std::move(value);
        return hr;
    }
    static HRESULT CollectionOperation(PravoltTypeLibrary::IRequestDictionary* dictionary,
                                       PravoltTypeLibrary::IStringList* list, const std::wstring& member,
                                       std::vector<CComVariant>& given, CComVariant* transit) {
        CComVariant key;
        if (!given.empty()) key = std::move(given[0]);
        if (key.vt == VT_EMPTY) key.SetError(DISP_E_PARAMNOTFOUND);
        const std::wstring folded = Fold(member);
        if (folded == L"count") {
            int count = 0;
            HRESULT hr = dictionary ? dictionary->get_Count(&count) : list->get_Count(&count);
            if (SUCCEEDED(hr)) transit->SetI4(count);
            return hr;
        }
        if (folded == L"key") {
            if (!dictionary) return DISP_E_MEMBERNOTFOUND;
            return dictionary->get_Key(key, transit->Receive());
        }
        return dictionary ? dictionary->get_Item(key, transit->Receive()) : list->get_Item(key, transit->Receive());
    }

    // ---- Values into the script --------------------------------------------------------

    uint32_t Register(IDispatch* dispatch, IUnknown* unknown) {
        Entry entry;
        entry.dispatch = CComPtr<IDispatch>::Share(dispatch);
        UINT typeInfos = 0;
        entry.typed = SUCCEEDED(dispatch->GetTypeInfoCount(&typeInfos)) && typeInfos > 0;
        IUnknown* probe = unknown ? unknown : static_cast<IUnknown*>(dispatch);
        probe->QueryInterface(zul_uuidof<PravoltTypeLibrary::IRequestDictionary>(), entry.dictionary.ReceiveVoid());
        if (!entry.dictionary)
            probe->QueryInterface(zul_uuidof<PravoltTypeLibrary::IStringList>(), entry.list.ReceiveVoid());
        const uint32_t id = nextObject++;
        objects.emplace(id, std::move(entry));
        return id;
    }

    // Pushes a proxy for an automation object (the object is registered first).
    void PushObject(duk_context* c, uint32_t id) {
        duk_push_c_function(c, &ProxyTarget, DUK_VARARGS);
        duk_push_uint(c, id);
        duk_put_prop_string(c, -2, kIdKey);
        duk_push_c_function(c, &FinalizeTarget, 2);
        duk_set_finalizer(c, -2);
        duk_push_heap_stash(c);
        duk_get_prop_string(c, -1, kHandlerKey);
        duk_remove(c, -2);
        duk_push_proxy(c, 0);
        duk_push_uint(c, id);
        duk_put_prop_string(c, -2, kIdKey);
    }

    void PushWide(duk_context* c, const wchar_t* text, size_t length) {
        ScriptText(text, length, &scratch);
        duk_push_lstring(c, scratch.data(), scratch.size());
    }

    // A VARIANT as a script value. Nothing the call owns is alive when the engine raises.
    void PushVariant(duk_context* c, const VARIANT& given, int depth) {
        const VARIANT* v = &given;
        if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
        if (depth > kMaxValueDepth) {
            duk_push_undefined(c);
            return;
        }
        const VARTYPE type = v->vt & ~VT_BYREF;
        const bool byRef = (v->vt & VT_BYREF) != 0;
        if (v->vt & VT_ARRAY) {
            PushArray(c, byRef ? (v->pparray ? *v->pparray : nullptr) : v->parray, depth);
            return;
        }
        switch (type) {
        case VT_EMPTY: duk_push_undefined(c); return;
        case VT_NULL: duk_push_null(c); return;
        case VT_BOOL: duk_push_boolean(c, (byRef ? *v->pboolVal : v->boolVal) != VARIANT_FALSE); return;
        case VT_BSTR: {
            BSTR text = byRef ? *v->pbstrVal : v->bstrVal;
            PushWide(c, text ? text : L"", SysStringLen(text));
            return;
        }
        case VT_DATE: {
            const DATE date = byRef ? *v->pdate : v->date;
            duk_push_heap_stash(c);
            duk_get_prop_string(c, -1, kDateKey);
            duk_remove(c, -2);
            duk_push_number(c, DateToMilliseconds(date));
            duk_new(c, 1);
            return;
        }
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            IUnknown* object = type == VT_DISPATCH ? static_cast<IUnknown*>(byRef ? *v->ppdispVal : v->pdispVal)
                                                   : (byRef ? *v->ppunkVal : v->punkVal);
            if (object == nullptr) {
                duk_push_null(c);
                return;
            }
            const uint32_t id = RegisterUnknown(object);
            if (id == 0) {
                duk_push_null(c);
                return;
            }
            PushObject(c, id);
            return;
        }
        case VT_ERROR: duk_push_undefined(c); return;
        default: break;
        }
        double number = 0;
        if (!NumberOf(*v, &number)) {
            duk_push_undefined(c);
            return;
        }
        duk_push_number(c, number);
    }

    static bool NumberOf(const VARIANT& v, double* out) {
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeType(&converted, &v, 0, VT_R8))) return false;
        *out = converted.dblVal;
        return true;
    }

    uint32_t RegisterUnknown(IUnknown* object) {
        CComPtr<IDispatch> dispatch;
        object->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid());
        if (dispatch) return Register(dispatch.Get(), object);
        // No late binding: only the request-collection interfaces can reach it.
        CComPtr<PravoltTypeLibrary::IRequestDictionary> dictionary;
        CComPtr<PravoltTypeLibrary::IStringList> list;
        object->QueryInterface(zul_uuidof<PravoltTypeLibrary::IRequestDictionary>(), dictionary.ReceiveVoid());
        if (!dictionary) object->QueryInterface(zul_uuidof<PravoltTypeLibrary::IStringList>(), list.ReceiveVoid());
        if (!dictionary && !list) return 0;
        Entry entry;
        entry.dictionary = std::move(dictionary);
        entry.list = std::move(list);
        const uint32_t id = nextObject++;
        objects.emplace(id, std::move(entry));
        return id;
    }

    void PushArray(duk_context* c, SAFEARRAY* psa, int depth) {
        if (psa == nullptr) {
            duk_push_null(c);
            return;
        }
        size_t count = 1;
        for (UINT d = 0; d < psa->cDims; ++d) count *= psa->rgsabound[d].cElements;
        VARTYPE element = VT_EMPTY;
        SafeArrayGetVartype(psa, &element);
        if (element == VT_UI1 || element == VT_I1) {
            void* bytes = duk_push_fixed_buffer(c, count);
            if (count) std::memcpy(bytes, psa->pvData, count);
            duk_push_buffer_object(c, -1, 0, count, DUK_BUFOBJ_UINT8ARRAY);
            duk_remove(c, -2);
            return;
        }
        // Elements in memory order: a one-dimensional array as it is, more dimensions flat.
        duk_push_array(c);
        const auto* data = static_cast<const unsigned char*>(psa->pvData);
        for (size_t i = 0; i < count; ++i) {
            VARIANT view;
            VariantInit(&view);
            const void* at = data + i * psa->cbElements;
            if (element == VT_VARIANT) {
                PushVariant(c, *static_cast<const VARIANT*>(at), depth + 1);
            } else {
                view.vt = element;
                std::memcpy(&view.lVal, at, std::min<size_t>(psa->cbElements, 8));
                PushVariant(c, view, depth + 1);  // a view: nothing to clear
            }
            duk_put_prop_index(c, -2, static_cast<duk_uarridx_t>(i));
        }
    }

    // ---- Values out of the script (called under duk_safe_call) ---------------------------

    // The script value at idx into out, which the caller owns (and clears on any path).
    void ReadValue(duk_context* c, duk_idx_t idx, VARIANT* out, int depth) {
        idx = duk_normalize_index(c, idx);
        VariantClear(out);
        if (depth > kMaxValueDepth) {
            (void)duk_range_error(c, "A value nests deeper than %d levels.", kMaxValueDepth);
        }
        switch (duk_get_type(c, idx)) {
        case DUK_TYPE_UNDEFINED:
        case DUK_TYPE_NONE: return;
        case DUK_TYPE_NULL: out->vt = VT_NULL; return;
        case DUK_TYPE_BOOLEAN:
            out->vt = VT_BOOL;
            out->boolVal = duk_get_boolean(c, idx) ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case DUK_TYPE_NUMBER: {
            const double number = duk_get_number(c, idx);
            if (std::isfinite(number) && number == std::trunc(number) && number >= -2147483648.0 &&
                number <= 2147483647.0) {
                out->vt = VT_I4;
                out->lVal = static_cast<LONG>(number);
            } else {
                out->vt = VT_R8;
                out->dblVal = number;
            }
            return;
        }
        case DUK_TYPE_STRING: {
            duk_size_t length = 0;
            const char* text = duk_get_lstring(c, idx, &length);
            out->vt = VT_BSTR;
            out->bstrVal = WideOfScript(text, length);
            return;
        }
        case DUK_TYPE_BUFFER:
        case DUK_TYPE_OBJECT: break;
        default: return;  // pointers, lightfuncs: nothing automation knows
        }
        if (duk_is_buffer_data(c, idx)) {
            duk_size_t size = 0;
            const void* bytes = duk_get_buffer_data(c, idx, &size);
            SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
            if (psa == nullptr) (void)duk_range_error(c, "Out of memory.");
            if (size) std::memcpy(psa->pvData, bytes, size);
            out->vt = VT_ARRAY | VT_UI1;
            out->parray = psa;
            return;
        }
        // One of the proxies: the object itself.
        if (duk_get_prop_string(c, idx, kIdKey)) {
            const uint32_t id = duk_get_uint(c, -1);
            duk_pop(c);
            Entry* entry = Find(id);
            if (entry && entry->dispatch) {
                out->vt = VT_DISPATCH;
                out->pdispVal = entry->dispatch.Get();
                out->pdispVal->AddRef();
            } else if (entry) {
                IUnknown* unknown = entry->dictionary ? static_cast<IUnknown*>(entry->dictionary.Get())
                                                      : static_cast<IUnknown*>(entry->list.Get());
                out->vt = VT_UNKNOWN;
                out->punkVal = unknown;
                unknown->AddRef();
            }
            return;
        }
        duk_pop(c);
        if (IsDate(c, idx)) {
            duk_get_prop_string(c, idx, "getTime");
            duk_dup(c, idx);
            duk_call_method(c, 0);
            const double ms = duk_get_number(c, -1);
            duk_pop(c);
            out->vt = VT_DATE;
            out->date = MillisecondsToDate(ms);
            return;
        }
        if (duk_is_array(c, idx)) {
            const duk_size_t length = duk_get_length(c, idx);
            SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(length));
            if (psa == nullptr) (void)duk_range_error(c, "Out of memory.");
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = psa;
            auto* items = static_cast<VARIANT*>(psa->pvData);
            for (duk_size_t i = 0; i < length; ++i) {
                duk_get_prop_index(c, idx, static_cast<duk_uarridx_t>(i));
                ReadValue(c, -1, &items[i], depth + 1);
                duk_pop(c);
            }
            return;
        }
        // Any other object or function: an IDispatch over it.
        const uint32_t slot = Stash(c, idx);
        out->vt = VT_DISPATCH;
        out->pdispVal = CScriptObject::Create(state, slot);
    }

    bool IsDate(duk_context* c, duk_idx_t idx) {
        duk_push_heap_stash(c);
        duk_get_prop_string(c, -1, kDateKey);
        const bool date = duk_instanceof(c, idx, -1);
        duk_pop_2(c);
        return date;
    }

    // Keeps a script object reachable while an IDispatch over it lives.
    uint32_t Stash(duk_context* c, duk_idx_t idx) {
        idx = duk_normalize_index(c, idx);
        const uint32_t slot = nextSlot++;
        duk_push_heap_stash(c);
        duk_get_prop_string(c, -1, kSlotsKey);
        duk_dup(c, idx);
        duk_put_prop_index(c, -2, slot);
        duk_pop_2(c);
        return slot;
    }

    // Slots whose IDispatch objects were released (from any thread) are let go here, on the
    // engine's own thread.
    void DrainReleased(duk_context* c) {
        std::vector<uint32_t> released;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            released.swap(state->releasedSlots);
        }
        if (released.empty()) return;
        duk_push_heap_stash(c);
        duk_get_prop_string(c, -1, kSlotsKey);
        for (uint32_t slot : released) duk_del_prop_index(c, -1, slot);
        duk_pop_2(c);
    }

    // Reads the arguments at [first, top) into m_args, protected; false with the error on
    // the stack.
    bool ReadArguments(duk_context* c, duk_idx_t first) {
        struct Job {
            Impl* self;
            duk_idx_t first, top;
        } job{this, first, duk_get_top(c)};
        args.clear();
        args.resize(job.top > first ? size_t(job.top - first) : 0);
        // The values stay where they are; the protected call sees them by absolute index.
        const duk_int_t rc = duk_safe_call(
            c,
            [](duk_context* cc, void* udata) -> duk_ret_t {
                auto* j = static_cast<Job*>(udata);
                for (duk_idx_t i = j->first; i < j->top; ++i) j->self->ReadValue(cc, i, &j->self->args[size_t(i - j->first)], 0);
                return 0;
            },
            &job, 0, 1);
        if (rc != DUK_EXEC_SUCCESS) {
            args.clear();
            return false;
        }
        duk_pop(c);
        return true;
    }

    // ---- Proxy traps and hooks -------------------------------------------------------------

    static uint32_t IdAt(duk_context* c, duk_idx_t idx) {
        uint32_t id = 0;
        // Only an object gets the lookup (and so the pushed value to pop): a primitive
        // receiver, such as a string whose method is called, leaves the stack as it was.
        if (!duk_is_object(c, idx)) return 0;
        if (duk_get_prop_string(c, idx, kIdKey)) id = duk_get_uint(c, -1);
        duk_pop(c);
        return id;
    }

    // The key of a trap as text; false for a symbol.
    bool KeyText(duk_context* c, duk_idx_t idx, std::wstring* key) {
        if (duk_is_number(c, idx)) {
            const double n = duk_get_number(c, idx);
            *key = std::to_wstring(static_cast<long long>(n));
            return true;
        }
        duk_size_t length = 0;
        const char* text = duk_get_lstring(c, idx, &length);
        if (text == nullptr) return false;
        if (length > 0 && (static_cast<unsigned char>(text[0]) == 0x80 || static_cast<unsigned char>(text[0]) == 0x81 ||
                           static_cast<unsigned char>(text[0]) == 0x82 || static_cast<unsigned char>(text[0]) == 0xFF))
            return false;
        BSTR wide = WideOfScript(text, length);
        *key = ToWide(wide);
        SysFreeString(wide);
        return true;
    }

    // A key of index syntax: a whole number reads by position, anything else by name.
    static CComVariant KeyValue(const std::wstring& key) {
        CComVariant value;
        wchar_t* end = nullptr;
        const long n = key.empty() ? 0 : std::wcstol(key.c_str(), &end, 10);
        if (!key.empty() && end && *end == 0 && key.size() < 10 && (key[0] != L'0' || key.size() == 1)) {
            value.SetI4(n);
        } else {
            value.SetString(key.c_str());
        }
        return value;
    }

    // obj.key read.
    Outcome Get(uint32_t id, const std::wstring& key) {
        EXCEPINFO info{};
        const DISPID dispid = MemberId(id, key);
        if (dispid == kNoMember) {
            if (key == L"toString" || key == L"valueOf") return MethodOf(id, key);
            if (IsCollection(id)) {
                if (Fold(key) == L"item" || Fold(key) == L"key") return MethodOf(id, key);
                if (Fold(key) != L"count") args.push_back(KeyValue(key));
                const HRESULT hr = CollectionCall(id, key);
                return FAILED(hr) ? RaiseAutomation(hr, L"", L"", key) : Outcome::Value;
            }
            if (key == L"toString" || key == L"valueOf") return MethodOf(id, key);
            // Index syntax: the default member with the key.
            args.push_back(KeyValue(key));
            const HRESULT hr = Invoke(id, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &info);
            if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_UNKNOWNNAME) return Outcome::Undefined;
            return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Value;
        }
        const HRESULT hr = Invoke(id, dispid, DISPATCH_PROPERTYGET, &info);
        if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL) {
            ClearInfo(info);
            return MethodOf(id, key);
        }
        return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Value;
    }

    static void ClearInfo(EXCEPINFO& info) {
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
        info = EXCEPINFO{};
    }

    Outcome MethodOf(uint32_t id, const std::wstring& key) {
        methodObject = id;
        methodName = Utf8(key);
        return Outcome::Method;
    }

    // obj.key = value (the value in m_args).
    Outcome Set(uint32_t id, const std::wstring& key) {
        EXCEPINFO info{};
        const bool object = !args.empty() && (args[0].vt == VT_DISPATCH || args[0].vt == VT_UNKNOWN);
        const WORD put = object ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
        const DISPID dispid = MemberId(id, key);
        if (dispid == kNoMember) {
            args.insert(args.begin(), KeyValue(key));
            const HRESULT hr = Invoke(id, DISPID_VALUE, put, &info);
            return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Undefined;
        }
        std::vector<CComVariant> saved;
        if (object) {
            saved.resize(1);
            saved[0].Copy(&args[0]);
        }
        HRESULT hr = Invoke(id, dispid, put, &info);
        if (object && hr == DISP_E_MEMBERNOTFOUND) {
            // A property that keeps a copy of what it is given takes an object by value.
            ClearInfo(info);
            args = std::move(saved);
            hr = Invoke(id, dispid, DISPATCH_PROPERTYPUT, &info);
        }
        return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Undefined;
    }

    // obj.key(args) (the arguments in m_args), or with an empty key obj(args).
    Outcome Call(uint32_t id, const std::wstring& key) {
        EXCEPINFO info{};
        if (key.empty()) {
            if (IsCollection(id) && MemberId(id, L"Item") == kNoMember) {
                const HRESULT hr = CollectionCall(id, L"Item");
                return FAILED(hr) ? RaiseAutomation(hr, L"", L"", L"Item") : Outcome::Value;
            }
            const HRESULT hr = Invoke(id, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &info);
            return FAILED(hr) ? RaiseCall(hr, info, L"(default)") : Outcome::Value;
        }
        const DISPID dispid = MemberId(id, key);
        if (dispid == kNoMember) {
            if (key == L"toString" || key == L"valueOf") {
                args.clear();
                const HRESULT hr = IsCollection(id) && MemberId(id, L"Item") == kNoMember
                                       ? CollectionCall(id, L"Item")
                                       : Invoke(id, DISPID_VALUE, DISPATCH_PROPERTYGET, &info);
                if (FAILED(hr)) {
                    ClearInfo(info);
                    transit.Reset();
                    transit.SetString(L"[object]");
                }
                if (key == L"toString" && transit.vt != VT_BSTR && FAILED(transit.ChangeType(VT_BSTR))) {
                    transit.SetString(L"");
                }
                return Outcome::Value;
            }
            if (IsCollection(id)) {
                const HRESULT hr = CollectionCall(id, key);
                return FAILED(hr) ? RaiseAutomation(hr, L"", L"", key) : Outcome::Value;
            }
            return RaiseType("The object has no member '" + Utf8(key) + "'.");
        }
        std::vector<CComVariant> saved;
        const bool hasArgs = !args.empty();
        if (hasArgs) {
            saved.resize(args.size());
            for (size_t i = 0; i < args.size(); ++i) saved[i].Copy(&args[i]);
        }
        Entry* entry = Find(id);
        HRESULT hr = DISP_E_MEMBERNOTFOUND;
        bool asProperty = false;
        if (hasArgs && entry && entry->typed && dispid == DISPID_VALUE) {
            // A default property called with arguments (page.Bag("k") names the controller's
            // default member): when it ignores them, its value's default member takes them.
            hr = Invoke(id, dispid, DISPATCH_PROPERTYGET, &info);
            asProperty = SUCCEEDED(hr);
            if (!asProperty) ClearInfo(info);
            args.resize(saved.size());
            for (size_t i = 0; i < saved.size(); ++i) args[i].Copy(&saved[i]);
        }
        if (asProperty) {
            // A property that reads its arguments (page.View("k")) has given the value; one that
            // ignores them (page.Bag("k")) gives the same object as without them, and that
            // object's default member takes them.
            if (transit.vt != VT_DISPATCH || transit.pdispVal == nullptr) return Outcome::Value;
            if (!SameObject(entry->dispatch.Get(), dispid, transit.pdispVal)) return Outcome::Value;
            hr = DISP_E_BADPARAMCOUNT;
            if (transit.vt == VT_DISPATCH && transit.pdispVal) {
                CComPtr<IDispatch> value = CComPtr<IDispatch>::Share(transit.pdispVal);
                transit.Reset();
                args.clear();
                CComVariant item;
                hr = automation::InvokeById(value.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, saved,
                                            item.Receive(), &info, kLocale);
                transit = std::move(item);
            }
            return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Value;
        }
        hr = Invoke(id, dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &info);
        if (hasArgs && (hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_MEMBERNOTFOUND)) {
            // A property without parameters whose value is an object: the object's default
            // member takes the arguments (page.Bag("k")).
            ClearInfo(info);
            hr = Invoke(id, dispid, DISPATCH_PROPERTYGET, &info);
            if (SUCCEEDED(hr) && transit.vt == VT_DISPATCH && transit.pdispVal) {
                CComPtr<IDispatch> value = CComPtr<IDispatch>::Share(transit.pdispVal);
                transit.Reset();
                CComVariant item;
                hr = automation::InvokeById(value.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, saved,
                                            item.Receive(), &info, kLocale);
                transit = std::move(item);
            } else if (SUCCEEDED(hr)) {
                hr = DISP_E_BADPARAMCOUNT;
            }
        }
        return FAILED(hr) ? RaiseCall(hr, info, key) : Outcome::Value;
    }

    // Whether the property read without arguments is the object `value`.
    static bool SameObject(IDispatch* owner, DISPID dispid, IDispatch* value) {
        CComVariant bare;
        if (FAILED(automation::InvokeById(owner, dispid, DISPATCH_PROPERTYGET, {}, bare.Receive(), nullptr, kLocale)))
            return false;
        if (bare.vt != VT_DISPATCH || bare.pdispVal == nullptr) return false;
        CComPtr<IUnknown> a, b;
        bare.pdispVal->QueryInterface(IID_IUnknown, a.ReceiveVoid());
        value->QueryInterface(IID_IUnknown, b.ReceiveVoid());
        return a && a.Get() == b.Get();
    }

    // Ends a native function: pushes its value or raises.
    duk_ret_t Finish(duk_context* c, Outcome outcome) {
        switch (outcome) {
        case Outcome::Raise: Throw(c);
        case Outcome::Undefined:
            transit.Reset();
            CheckEnded(c);
            return 0;
        case Outcome::Method:
            duk_push_c_function(c, &MethodFunction, DUK_VARARGS);
            duk_push_uint(c, methodObject);
            duk_put_prop_string(c, -2, kIdKey);
            duk_push_string(c, methodName.c_str());
            duk_put_prop_string(c, -2, kMemberKey);
            return 1;
        case Outcome::Pushed: return 1;
        case Outcome::Value: break;
        }
        PushVariant(c, transit, 0);
        transit.Reset();
        CheckEnded(c);
        return 1;
    }

    static duk_ret_t GetTrap(duk_context* c) {  // (target, key, receiver)
        Impl* self = Of(c);
        const uint32_t id = IdAt(c, 0);
        Outcome outcome = Outcome::Undefined;
        {
            std::wstring key;
            if (id != 0 && self->KeyText(c, 1, &key)) outcome = self->Get(id, key);
        }
        return self->Finish(c, outcome);
    }

    static duk_ret_t SetTrap(duk_context* c) {  // (target, key, value, receiver)
        Impl* self = Of(c);
        const uint32_t id = IdAt(c, 0);
        duk_set_top(c, 3);
        if (!self->ReadArguments(c, 2)) duk_throw(c);
        Outcome outcome = Outcome::Undefined;
        {
            std::wstring key;
            if (id != 0 && self->KeyText(c, 1, &key)) outcome = self->Set(id, key);
        }
        self->args.clear();
        if (outcome == Outcome::Raise) self->Throw(c);
        self->CheckEnded(c);
        duk_push_true(c);
        return 1;
    }

    static duk_ret_t ApplyTrap(duk_context* c) {  // (target, this, arguments array)
        Impl* self = Of(c);
        const uint32_t id = IdAt(c, 0);
        const duk_idx_t first = duk_get_top(c);
        const duk_size_t n = duk_get_length(c, 2);
        for (duk_size_t i = 0; i < n; ++i) duk_get_prop_index(c, 2, static_cast<duk_uarridx_t>(i));
        if (!self->ReadArguments(c, first)) duk_throw(c);
        Outcome outcome = id ? self->Call(id, L"") : Outcome::Undefined;
        return self->Finish(c, outcome);
    }

    // A member function taken from a proxy: calling it calls the member as a method.
    static duk_ret_t MethodFunction(duk_context* c) {
        Impl* self = Of(c);
        if (!self->ReadArguments(c, 0)) duk_throw(c);
        duk_push_current_function(c);
        duk_get_prop_string(c, -1, kIdKey);
        const uint32_t id = duk_get_uint(c, -1);
        duk_get_prop_string(c, -2, kMemberKey);
        const char* name = duk_get_string(c, -1);
        self->methodName = name ? name : "";
        duk_pop_3(c);
        Outcome outcome;
        {
            const std::wstring member = WideOfUtf8(self->methodName);
            outcome = self->Call(id, member);
        }
        return self->Finish(c, outcome);
    }

    static duk_ret_t ProxyTarget(duk_context*) { return 0; }

    static duk_ret_t FinalizeTarget(duk_context* c) {
        Impl* self = Of(c);
        if (self->tearingDown) return 0;
        const uint32_t id = IdAt(c, 0);
        if (id == 0) return 0;
        // Released outside the map: a release may run code that touches the map.
        Entry gone;
        {
            const auto found = self->objects.find(id);
            if (found == self->objects.end()) return 0;
            gone = std::move(found->second);
            self->objects.erase(found);
        }
        return 0;
    }

    // The deadline check the rewritten source calls in every loop and function.
    static duk_ret_t Tick(duk_context* c) {
        Impl* self = Of(c);
        if (self->endRequested) self->CheckEnded(c);
        self->raisingDeadline = false;
        if (self->Expired()) {
            // Past the deadline allocations fail, and the error and its line need a few:
            // without them the engine would raise its own allocation error, with no line.
            self->raisingDeadline = true;
            duk_push_error_object(c, DUK_ERR_RANGE_ERROR, "The script ran past its time limit.");
            MarkOrigin(c);
            self->raisingDeadline = false;
            duk_throw(c);
        }
        self->DrainReleased(c);
        duk_push_true(c);
        return 1;
    }

    // call(receiver, name, arguments...): a method call on an automation object, or an
    // ordinary call of the receiver's function.
    static duk_ret_t CallHook(duk_context* c) {
        Impl* self = Of(c);
        const duk_idx_t top = duk_get_top(c);
        if (top < 2) return 0;
        const uint32_t id = IdAt(c, 0);
        if (id == 0) {
            duk_dup(c, 1);
            duk_get_prop(c, 0);  // raises for null and undefined, as a call would
            if (!duk_is_callable(c, -1)) {
                (void)duk_type_error(c, "'%s' is not a function", duk_safe_to_string(c, 1));
            }
            duk_insert(c, 0);  // [function, receiver, name, arguments...]
            duk_remove(c, 2);
            duk_call_method(c, top - 2);
            return 1;
        }
        if (!self->ReadArguments(c, 2)) duk_throw(c);
        Outcome outcome;
        {
            std::wstring member;
            self->KeyText(c, 1, &member);
            outcome = self->Call(id, member);
        }
        return self->Finish(c, outcome);
    }

    static duk_ret_t Refused(duk_context* c) {
        return duk_error(c, DUK_ERR_EVAL_ERROR, "Compiling code at run time is not available to pages.");
    }

    // ---- Set-up -----------------------------------------------------------------------

    bool Create() {
        ctx = duk_create_heap(&Alloc, &Realloc, &Free, this, &Fatal);
        if (ctx == nullptr) return false;
        struct Setup {
            static duk_ret_t Run(duk_context* c, void*) {
                duk_push_heap_stash(c);
                duk_push_object(c);  // the handler
                duk_push_c_function(c, &GetTrap, 3);
                duk_put_prop_string(c, -2, "get");
                duk_push_c_function(c, &SetTrap, 4);
                duk_put_prop_string(c, -2, "set");
                duk_push_c_function(c, &ApplyTrap, 3);
                duk_put_prop_string(c, -2, "apply");
                duk_put_prop_string(c, -2, kHandlerKey);
                duk_get_global_string(c, "Date");
                duk_put_prop_string(c, -2, kDateKey);
                duk_push_object(c);
                duk_put_prop_string(c, -2, kSlotsKey);
                duk_pop(c);

                const ScriptHooks& hooks = Hooks();
                duk_push_global_object(c);
                duk_push_string(c, hooks.tick.c_str());
                duk_push_c_function(c, &Tick, 0);
                duk_def_prop(c, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_CLEAR_WEC);
                duk_push_string(c, hooks.call.c_str());
                duk_push_c_function(c, &CallHook, DUK_VARARGS);
                duk_def_prop(c, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_CLEAR_WEC);
                // Code compiled at run time would escape the deadline checks.
                duk_push_c_function(c, &Refused, DUK_VARARGS);
                duk_put_prop_string(c, -2, "eval");
                duk_push_c_function(c, &Refused, DUK_VARARGS);
                duk_put_prop_string(c, -2, "Function");
                duk_get_global_string(c, "Object");
                duk_get_prop_string(c, -1, "getPrototypeOf");
                duk_push_c_function(c, &Refused, 0);
                duk_call(c, 1);  // the prototype of functions
                duk_push_c_function(c, &Refused, DUK_VARARGS);
                duk_put_prop_string(c, -2, "constructor");
                duk_pop_2(c);
                duk_del_prop_string(c, -1, "Duktape");
                duk_pop(c);
                return 0;
            }
        };
        if (duk_safe_call(ctx, &Setup::Run, nullptr, 0, 1) != DUK_EXEC_SUCCESS) return false;
        duk_pop(ctx);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->engine = this;
        state->thread = std::this_thread::get_id();
        return true;
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->engine = nullptr;
        }
        armed = false;
        tearingDown = true;
        if (ctx) duk_destroy_heap(ctx);
        ctx = nullptr;
        // The objects go after the heap: their releases may run code that calls back in,
        // which now finds the script ended.
        std::unordered_map<uint32_t, Entry> held;
        held.swap(objects);
        held.clear();
        transit.Reset();
        args.clear();
    }

    // ---- Running --------------------------------------------------------------------------

    void Arm() {
        armed = true;
        timedOut = false;
        raisingDeadline = false;
        outOfMemory = false;
        endRequested = false;
        deadline = std::chrono::steady_clock::now() + limits.timeout;
    }

    // Runs a script's top level as a protected call under the page's limits.
    bool RunJob(duk_safe_call_function job, void* udata, const std::string& fileName, ScriptError* error) {
        Arm();
        const duk_int_t rc = duk_safe_call(ctx, job, udata, 0, 1);
        if (rc == DUK_EXEC_SUCCESS) {
            armed = false;
            duk_pop(ctx);
            DrainReleased(ctx);
            return true;
        }
        ReadError(error);
        if (!error->Failed()) return true;
        if (error->file.empty()) error->file = fileName;
        return false;
    }

    // Fills error from the value a protected call left on the stack top, and pops it.
    void ReadError(ScriptError* error) {
        armed = false;
        error->file.clear();
        error->line = 0;
        if (endRequested) {
            duk_pop(ctx);
            *error = ScriptError{};
            return;
        }
        struct Job {
            Impl* self;
            ScriptError* error;
        } job{this, error};
        const duk_int_t rc = duk_safe_call(
            ctx,
            [](duk_context* c, void* udata) -> duk_ret_t {
                auto* j = static_cast<Job*>(udata);
                ScriptError& e = *j->error;
                e.hr = kScriptException;
                e.source = L"JavaScript";
                if (duk_is_object(c, -1)) {
                    if (duk_get_prop_string(c, -1, "number") && duk_is_number(c, -1)) {
                        e.hr = static_cast<HRESULT>(static_cast<int32_t>(duk_get_number(c, -1)));
                        duk_get_prop_string(c, -2, "source");
                        e.source = j->self->WideOf(c, -1);
                        duk_get_prop_string(c, -3, "description");
                        e.description = j->self->WideOf(c, -1);
                        duk_pop_2(c);
                    }
                    duk_pop(c);
                    const bool marked = duk_get_prop_string(c, -1, kLineKey) && duk_is_number(c, -1);
                    duk_pop(c);
                    if (duk_get_prop_string(c, -1, marked ? kLineKey : "lineNumber") && duk_is_number(c, -1))
                        e.line = duk_get_int(c, -1);
                    duk_pop(c);
                    if (duk_get_prop_string(c, -1, marked ? kFileKey : "fileName") && duk_is_string(c, -1))
                        e.file = duk_get_string(c, -1);
                    duk_pop(c);
                }
                if (e.description.empty() || e.hr == kScriptException) {
                    duk_dup(c, -1);
                    e.description = j->self->WideOf(c, -1);
                    duk_pop(c);
                }
                return 0;
            },
            &job, 1, 1);
        duk_pop(ctx);
        if (rc != DUK_EXEC_SUCCESS) {
            error->hr = kScriptException;
            error->source = L"JavaScript";
            error->description = L"The script raised an error that cannot be read.";
        }
        if (!originFile.empty()) {
            error->file = originFile;
            error->line = originLine;
        }
        if (timedOut) {
            error->timedOut = true;
            error->hr = kScriptTimedOut;
            error->source = L"vesk-serve";
            error->description = L"The script ran longer than its limit of " +
                                 std::to_wstring(std::chrono::duration_cast<std::chrono::milliseconds>(limits.timeout).count()) +
                                 L" ms.";
        } else if (outOfMemory) {
            error->outOfMemory = true;
            error->hr = E_OUTOFMEMORY;
            error->source = L"vesk-serve";
            error->description = L"The script used more than its memory limit of " +
                                 std::to_wstring(limits.memoryBytes >> 20) + L" MB.";
        }
    }

    // The value at idx as text (for strings: exactly; otherwise its string form).
    std::wstring WideOf(duk_context* c, duk_idx_t idx) {
        duk_size_t length = 0;
        const char* text = duk_safe_to_lstring(c, idx, &length);
        BSTR wide = WideOfScript(text, length);
        std::wstring out = ToWide(wide);
        SysFreeString(wide);
        return out;
    }
};

// ---- The public face ----------------------------------------------------------------------

ScriptEngine::ScriptEngine(const Limits& limits) : m_impl(std::make_unique<Impl>(limits)) {
    if (!m_impl->Create()) {
        if (m_impl->ctx) duk_destroy_heap(m_impl->ctx);
        m_impl->ctx = nullptr;
    }
}

ScriptEngine::~ScriptEngine() = default;

bool ScriptEngine::Ready() const { return m_impl->ctx != nullptr; }

void ScriptEngine::SetEndedProbe(std::function<bool()> ended) { m_impl->ended = std::move(ended); }

HRESULT ScriptEngine::AddGlobal(const char* name, IDispatch* object) {
    if (!Ready() || object == nullptr) return E_UNEXPECTED;
    const uint32_t id = m_impl->Register(object, nullptr);
    struct Job {
        Impl* self;
        uint32_t id;
        const char* name;
    } job{m_impl.get(), id, name};
    const duk_int_t rc = duk_safe_call(
        m_impl->ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            auto* j = static_cast<Job*>(udata);
            duk_push_global_object(c);
            j->self->PushObject(c, j->id);
            duk_put_prop_string(c, -2, j->name);
            duk_pop(c);
            return 0;
        },
        &job, 0, 1);
    duk_pop(m_impl->ctx);
    return rc == DUK_EXEC_SUCCESS ? S_OK : E_OUTOFMEMORY;
}

namespace {
bool NotStarted(ScriptError* error) {
    error->hr = E_OUTOFMEMORY;
    error->source = L"vesk-serve";
    error->description = L"The script engine could not start.";
    return false;
}
}  // namespace

bool ScriptEngine::Run(std::string_view source, const std::string& fileName, ScriptError* error,
                       std::string* compiled) {
    *error = ScriptError{};
    if (compiled) compiled->clear();
    if (!Ready()) return NotStarted(error);
    std::string code, problem;
    if (!InstrumentScript(source, Hooks(), &code, &problem)) {
        error->hr = kScriptException;
        error->source = L"JavaScript";
        error->description = L"SyntaxError: " + WideOfUtf8(problem);
        error->file = fileName;
        return false;
    }
    struct Job {
        const std::string* code;
        const std::string* file;
        std::string* compiled;
    } job{&code, &fileName, compiled};
    return m_impl->RunJob(
        [](duk_context* c, void* udata) -> duk_ret_t {
            auto* j = static_cast<Job*>(udata);
            duk_push_lstring(c, j->code->data(), j->code->size());
            duk_push_string(c, j->file->c_str());
            duk_compile(c, 0);
            if (j->compiled) {
                duk_dup_top(c);
                duk_dump_function(c);
                duk_size_t size = 0;
                const void* bytes = duk_get_buffer(c, -1, &size);
                if (bytes) j->compiled->assign(static_cast<const char*>(bytes), size);
                duk_pop(c);
            }
            duk_call(c, 0);
            return 1;
        },
        &job, fileName, error);
}

bool ScriptEngine::RunCompiled(std::string_view compiled, const std::string& fileName, ScriptError* error) {
    *error = ScriptError{};
    if (!Ready()) return NotStarted(error);
    // The compiled form comes only from Run in this process, never from outside: the engine
    // trusts it as it trusts its own compiler's output.
    return m_impl->RunJob(
        [](duk_context* c, void* udata) -> duk_ret_t {
            const auto* bytes = static_cast<const std::string_view*>(udata);
            void* buffer = duk_push_fixed_buffer(c, bytes->size());
            std::memcpy(buffer, bytes->data(), bytes->size());
            duk_load_function(c);
            duk_call(c, 0);
            return 1;
        },
        &compiled, fileName, error);
}

bool ScriptEngine::CallFunction(const char* name, std::span<CComVariant> args, bool* found, ScriptError* error) {
    *error = ScriptError{};
    *found = false;
    if (!Ready()) return false;
    for (auto& arg : args) m_impl->args.emplace_back(std::move(arg));
    struct Job {
        Impl* self;
        const char* name;
        bool* found;
    } job{m_impl.get(), name, found};
    m_impl->Arm();
    const duk_int_t rc = duk_safe_call(
        m_impl->ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            auto* j = static_cast<Job*>(udata);
            duk_push_global_object(c);
            duk_get_prop_string(c, -1, j->name);
            if (!duk_is_function(c, -1)) return 0;
            *j->found = true;
            duk_push_global_object(c);
            const size_t n = j->self->args.size();
            for (size_t i = 0; i < n; ++i) j->self->PushVariant(c, j->self->args[i], 0);
            j->self->args.clear();
            duk_call_method(c, static_cast<duk_idx_t>(n));
            return 0;
        },
        &job, 0, 1);
    m_impl->args.clear();
    if (rc == DUK_EXEC_SUCCESS) {
        m_impl->armed = false;
        duk_pop(m_impl->ctx);
        return true;
    }
    m_impl->ReadError(error);
    return !error->Failed();
}

// ---- Script objects: what the library calls -------------------------------------------------

ScriptObjectCall::ScriptObjectCall(HeapState& state) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.engine == nullptr) {
        m_hr = E_FAIL;
        SetErrorInformation(L"vesk-serve", L"The page's script has ended.");
    } else if (state.thread != std::this_thread::get_id()) {
        m_hr = kWrongThread;
    } else {
        m_pEngine = static_cast<ScriptEngine::Impl*>(state.engine);
    }
}

namespace {

// The object in a slot, pushed; false when the slot is empty.
bool PushSlot(duk_context* c, uint32_t slot) {
    if (slot == 0) {
        duk_push_global_object(c);
        return true;
    }
    duk_push_heap_stash(c);
    duk_get_prop_string(c, -1, kSlotsKey);
    duk_get_prop_index(c, -1, slot);
    duk_remove(c, -2);
    duk_remove(c, -2);
    return duk_is_object(c, -1);
}

}  // namespace

HRESULT ScriptObjectCall::HasOwn(uint32_t slot, const std::wstring& name, bool* has) {
    ScriptEngine::Impl& self = *static_cast<ScriptEngine::Impl*>(m_pEngine);
    struct Job {
        uint32_t slot;
        std::string name;
        bool* has;
    } job{slot, Utf8(name), has};
    *has = false;
    const duk_int_t rc = duk_safe_call(
        self.ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            auto* j = static_cast<Job*>(udata);
            if (!PushSlot(c, j->slot)) return 0;
            duk_push_heap_stash(c);
            duk_get_prop_string(c, -1, kOwnKey);
            if (!duk_is_function(c, -1)) {
                duk_pop(c);
                duk_get_global_string(c, "Object");
                duk_get_prop_string(c, -1, "prototype");
                duk_get_prop_string(c, -1, "hasOwnProperty");
                duk_dup(c, -1);
                duk_put_prop_string(c, -5, kOwnKey);
                duk_remove(c, -2);
                duk_remove(c, -2);
            }
            duk_remove(c, -2);
            duk_dup(c, -2);
            duk_push_lstring(c, j->name.data(), j->name.size());
            duk_call_method(c, 1);
            *j->has = duk_to_boolean(c, -1);
            return 0;
        },
        &job, 0, 1);
    duk_pop(self.ctx);
    return rc == DUK_EXEC_SUCCESS ? S_OK : E_FAIL;
}

HRESULT ScriptObjectCall::Invoke(uint32_t slot, const std::wstring& name, bool byKey, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* excepInfo) {
    ScriptEngine::Impl& self = *static_cast<ScriptEngine::Impl*>(m_pEngine);
    automation::CInvokeArgs args(params, flags);
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put && args.PutValue() == nullptr) return DISP_E_PARAMNOTOPTIONAL;

    struct Job {
        ScriptEngine::Impl* self;
        uint32_t slot;
        std::string name;
        bool byKey, put;
        WORD flags;
        automation::CInvokeArgs* args;
        VARIANT* result;
        HRESULT hr;
    } job{&self, slot, Utf8(name), byKey, put, flags, &args, result, S_OK};
    if (byKey) {
        // The default member: the first argument names the property.
        VARIANT* key = args.At(0);
        if (key == nullptr) return DISP_E_MEMBERNOTFOUND;
        CComVariant text;
        if (FAILED(text.ChangeType(VT_BSTR, key))) return DISP_E_TYPEMISMATCH;
        job.name = Utf8(ToWide(text.bstrVal));
    }
    const duk_int_t rc = duk_safe_call(
        self.ctx,
        [](duk_context* c, void* udata) -> duk_ret_t {
            auto* j = static_cast<Job*>(udata);
            if (!PushSlot(c, j->slot)) {
                j->hr = DISP_E_MEMBERNOTFOUND;
                return 0;
            }
            const duk_idx_t object = duk_get_top_index(c);
            if (j->put) {
                j->self->PushVariant(c, *j->args->PutValue(), 0);
                duk_put_prop_lstring(c, object, j->name.data(), j->name.size());
                return 0;
            }
            duk_get_prop_lstring(c, object, j->name.data(), j->name.size());
            const UINT positional = j->args->Count() - (j->byKey ? 1 : 0);
            if (duk_is_function(c, -1)) {
                if ((j->flags & DISPATCH_METHOD) == 0) {
                    // A function is called, never read.
                    j->hr = DISP_E_MEMBERNOTFOUND;
                    return 0;
                }
                duk_dup(c, object);
                for (UINT i = 0; i < positional; ++i)
                    j->self->PushVariant(c, *j->args->At(i + (j->byKey ? 1 : 0)), 0);
                duk_call_method(c, static_cast<duk_idx_t>(positional));
            } else if (positional > 0) {
                j->hr = DISP_E_BADPARAMCOUNT;
                return 0;
            }
            if (j->result) j->self->ReadValue(c, -1, j->result, 0);
            return 0;
        },
        &job, 0, 1);
    if (rc == DUK_EXEC_SUCCESS) {
        duk_pop(self.ctx);
        if (FAILED(job.hr) && result) VariantClear(result);
        return job.hr;
    }
    if (result) VariantClear(result);
    // The script's exception becomes the failure, with its text as error information.
    const bool wasArmed = self.armed;
    ScriptError error;
    const std::string originFile = self.originFile;
    const int originLine = self.originLine;
    self.originFile.clear();
    self.ReadError(&error);
    self.armed = wasArmed;
    if (!originFile.empty()) {
        self.originFile = originFile;
        self.originLine = originLine;
    } else {
        self.originFile = error.file;
        self.originLine = error.line;
    }
    if (self.endRequested) return E_ABORT;
    SetErrorInformation(error.source, error.description);
    if (excepInfo) {
        *excepInfo = EXCEPINFO{};
        excepInfo->scode = error.hr;
        excepInfo->bstrSource = SysAllocString(error.source.c_str());
        excepInfo->bstrDescription = SysAllocString(error.description.c_str());
        return DISP_E_EXCEPTION;
    }
    return error.hr;
}

}  // namespace veskserve
