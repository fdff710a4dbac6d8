// Page scripts that call back into the object in the middle of its call. The text templator,
// the host dictionary and the utility's FindString are driven late-bound, with script objects
// whose callbacks (name lookup, default member and functions, final release) perform
// operations chosen by the input on those same objects: add scripts to the templator while
// it walks them, drop the page's last reference to the object being called, remove, add and
// rename keys while an item is being released, resize or erase the array being searched,
// and fill a template again from inside one of its own marks.
//
// Input: first up to four script programs, then the page's own operations, one after another.
// Every reference the harness takes is owned by a wrapper, and nothing a script holds points
// back at the page's objects, so after the page lets go of everything no object may be left.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <initializer_list>
#include <vector>

#include "frame/module.h"
#include "host/automation.h"
#include "host/host.h"

namespace {

// Operations per input, counted wherever they run.
constexpr int kMaxOps = 256;
// Callbacks nested deeper than this do nothing but fill templates again (see kMaxRefills).
constexpr int kMaxDepth = 12;
// Templates filled from inside a callback, per input. A chain of marks that fill their own
// template again this deep needs more stack than a thread has (over 16 MB here), so it ends
// cleanly only where the templator bounds the depth itself.
constexpr int kMaxRefills = 10000;

enum Kind : uint8_t {
    kNewScript,      // script slot a := a new script running program b
    kDropScript,     // the page lets go of script slot a
    kAddScript,      // templator.Script = script a, (b % 8 + 1) times
    kAddDictScript,  // templator.Script = the dictionary
    kProcess,        // templator.ProcessTemplate text a
    kProcessCaller,  // the same on the templator that called this function
    kFlush,          // templator.Flush
    kDropTemplator,  // the page lets go of the templator
    kNewTemplator,   // a new templator, when the page has none
    kDictAdd,        // dict.Add key a, value b
    kDictPut,        // dict(key a) = value b
    kDictPutRef,     // Set dict(key a) = value b
    kDictKey,        // dict.Key(key a) = key b
    kDictRemove,     // dict.Remove key a
    kDictRemoveAll,  // dict.RemoveAll
    kDictGet,        // read dict(key a)
    kDictItems,      // read dict.Items and dict.Keys
    kDropDict,       // the page lets go of the dictionary
    kNewDict,        // a new dictionary, when the page has none
    kArrayNew,       // the array variable := a new array of a % 5 elements from value b on
    kArrayRedim,     // ReDim the array variable to a % 6 elements
    kArrayErase,     // Erase the array variable
    kArraySet,       // array element a := value b
    kFindString,     // FindString over the array variable or a value, for a value or the array
    kKindCount
};

struct Op {
    uint8_t kind, a, b;
};

// What one script object does. Its names: "v" a value, "f" a function (only callable as a
// method with arguments, as a template function mark calls it); its default member answers
// like "v". Each callback runs its operations first, then answers. The release operations run
// at the last release, and also at the releaseAt-th release before it, when that is not 0:
// any release may run script, and a holder that lets go early reaches a container that is
// still holding the object, in the middle of whatever it is doing.
struct Program {
    bool knowsV = false, knowsF = false, fails = false;
    uint8_t value = 0;  // what "v", "f" and the default member return
    int releaseAt = 0;
    std::vector<Op> onNames, onCall, onRelease;
};

const wchar_t* const kTexts[] = {
    L"(#v#)",   L"(#f#)",      L"(#f|a#|#b#)", L"a(#v#)b(#f#)c(#x#)d",
    L"(#v|x#)", L"(#a#)(#b#)", L"(#f#)(#f#)",  L"(# note#)text(#\tc#)",
};

class Script;

// The page: its variables and the limits of this input.
struct World {
    std::vector<Program> programs;
    std::array<CComPtr<Script>, 4> scripts;
    CComPtr<IDispatch> templator, dict, util;
    CComVariant array;  // a script's array variable, handed to FindString by reference
    int ops = kMaxOps, refills = kMaxRefills, depth = 0;
};

World* g_world = nullptr;
long g_liveScripts = 0;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void Exec(const Op& op, IDispatch* caller);

// One callback in progress: one level deeper, and the object kept alive while it runs.
struct CallbackScope {
    explicit CallbackScope(IUnknown* self) : m_self(self) {
        m_self->AddRef();
        ++g_world->depth;
    }
    ~CallbackScope() {
        --g_world->depth;
        m_self->Release();
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
    IUnknown* m_self;
};

void Run(const std::vector<Op>& ops, IDispatch* caller) {
    for (const Op& op : ops) Exec(op, caller);
}

class Script final : public automation::GInterfaceList<automation::GNoTypeInfo<IDispatch>> {
public:
    static CComPtr<Script> Create(const Program& program) {
        CComPtr<Script> sp;
        sp.Attach(new Script(program));
        return sp;
    }

    // Once the last reference is gone nobody may hold the object: a reference taken or given
    // back while its release program runs comes from a pointer that should no longer exist.
    ULONG AddRef() override {
        if (m_bReleased) Fail("a script object was referenced again during its last release");
        return ++m_cRef;
    }
    ULONG Release() override {
        if (m_bReleased) Fail("a script object was released again during its last release");
        // The reference being given back still counts while an early release program runs.
        if (m_cRef > 1 && ++m_nReleases == m_program.releaseAt) Run(m_program.onRelease, nullptr);
        if (--m_cRef != 0) return m_cRef;
        m_bReleased = true;
        Run(m_program.onRelease, nullptr);
        delete this;
        return 0;
    }

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT cNames, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr || cNames == 0) return E_INVALIDARG;
        CallbackScope scope(this);
        Run(m_program.onNames, nullptr);
        for (UINT i = 0; i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
        if (cNames != 1 || names[0] == nullptr) return DISP_E_UNKNOWNNAME;
        if (m_program.knowsV && std::wcscmp(names[0], L"v") == 0) ids[0] = kValue;
        if (m_program.knowsF && std::wcscmp(names[0], L"f") == 0) ids[0] = kFunction;
        return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO*, UINT*) override;

private:
    static constexpr DISPID kValue = 1, kFunction = 2;

    explicit Script(const Program& program) : m_program(program) { ++g_liveScripts; }
    ~Script() { --g_liveScripts; }

    ULONG m_cRef = 1;
    int m_nReleases = 0;  // releases that left a reference behind
    bool m_bReleased = false;
    const Program m_program;
};

// ---- The page's values -------------------------------------------------------------------

// A new reference to a script slot's object, or null.
IDispatch* ScriptAt(size_t slot) {
    Script* s = g_world->scripts[slot % g_world->scripts.size()].Get();
    if (s) s->AddRef();
    return s;
}

// Value v: Empty, a string, a number, one of the scripts, or a copy of the array variable.
void MakeValue(uint8_t v, VARIANT* out) {
    VariantInit(out);
    switch (v % 8) {
    case 0: break;
    case 1:
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocString(L"s");
        break;
    case 2:
        out->vt = VT_I4;
        out->lVal = 7;
        break;
    case 7: VariantCopy(out, &g_world->array); break;
    default:
        if (IDispatch* d = ScriptAt(v % 8 - 3)) {
            out->vt = VT_DISPATCH;
            out->pdispVal = d;
        }
    }
}

// Key k: the strings the templates name, a number, or one of the scripts (a missing one: "d").
void MakeKey(uint8_t k, VARIANT* out) {
    static const wchar_t* const kNames[] = {L"a", L"b", L"c"};
    VariantInit(out);
    if (k % 8 < 3) {
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocString(kNames[k % 8]);
    } else if (k % 8 == 3) {
        out->vt = VT_I4;
        out->lVal = 1;
    } else if (IDispatch* d = ScriptAt(k % 8 - 4)) {
        out->vt = VT_DISPATCH;
        out->pdispVal = d;
    } else {
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocString(L"d");
    }
}

CComVariant Value(uint8_t v) {
    CComVariant value;
    MakeValue(v, &value);
    return value;
}

// An element of the array variable: any value but the array itself, so arrays never nest.
CComVariant ElementValue(uint8_t v) { return Value(v % 7); }

CComVariant Key(uint8_t k) {
    CComVariant key;
    MakeKey(k, &key);
    return key;
}

CComVariant Text(uint8_t t) {
    CComVariant text;
    text.SetString(kTexts[t % (sizeof kTexts / sizeof kTexts[0])]);
    return text;
}

// By reference to the array variable, as a script passes a variable.
CComVariant ArrayRef() {
    CComVariant ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &g_world->array;
    return ref;
}

// ---- Calls by name -------------------------------------------------------------------------

// Calls the named member with arguments in script order; put is the assigned value of a
// property put. The arguments stay with the caller. target is only borrowed: the call may
// well release the page's reference to it, and target is not touched afterwards. That is
// why the call is laid here and not made through automation::InvokeById, which holds the
// target for the call and so would keep an object alive that has to hold itself.
HRESULT Call(IDispatch* target, const wchar_t* name, WORD flags, std::initializer_list<const VARIANT*> args,
             const VARIANT* put = nullptr) {
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = automation::GetMemberId(target, name, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> lastFirst;
    if (put) lastFirst.push_back(*put);
    for (auto it = args.end(); it != args.begin();) lastFirst.push_back(**--it);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{lastFirst.data(), put ? &named : nullptr, UINT(lastFirst.size()), put ? 1u : 0u};
    CComVariant result;
    return target->Invoke(id, IID_NULL, 0, flags, &params, flags & DISPATCH_METHOD ? &result : nullptr, nullptr,
                          nullptr);
}

CComPtr<IDispatch> CreateLibraryObject(REFCLSID clsid) {
    CComPtr<IClassFactory> factory;
    CComPtr<IDispatch> object;
    if (FAILED(DllGetClassObject(clsid, IID_IClassFactory, factory.ReceiveVoid())) ||
        FAILED(factory->CreateInstance(nullptr, IID_IDispatch, object.ReceiveVoid())))
        __builtin_trap();
    return object;
}

CComPtr<IDispatch> CreateDictionary() {
    CComPtr<IDispatch> dict;
    if (FAILED(CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, dict.ReceiveVoid())))
        __builtin_trap();
    return dict;
}

// The array variable's array, when it holds one.
SAFEARRAY* ArrayOfVariable() {
    const VARIANT& v = g_world->array;
    return v.vt == (VT_ARRAY | VT_VARIANT) ? v.parray : nullptr;
}

void Exec(const Op& op, IDispatch* caller) {
    World& w = *g_world;
    const bool refill = (op.kind == kProcess || op.kind == kProcessCaller) && w.depth > 0;
    if (refill) {
        if (w.refills == 0) return;
        --w.refills;
    } else {
        if (w.ops == 0 || w.depth > kMaxDepth) return;
        --w.ops;
    }
    // Each member is called through the page's variable as it is now; an empty one skips.
    IDispatch* const templator = w.templator.Get();
    IDispatch* const dict = w.dict.Get();
    switch (op.kind) {
    case kNewScript: w.scripts[op.a % w.scripts.size()] = Script::Create(w.programs[op.b % w.programs.size()]); break;
    case kDropScript: w.scripts[op.a % w.scripts.size()].Reset(); break;
    case kAddScript:
        if (templator == nullptr) break;
        for (int i = 0; i <= op.b % 8; ++i) {
            CComVariant script = Value(3 + op.a % 4);
            if (script.vt != VT_DISPATCH) break;
            // The page's variable may have been emptied by the previous assignment.
            if (w.templator.Get() != templator) break;
            Call(templator, L"Script", DISPATCH_PROPERTYPUTREF, {}, &script);
        }
        break;
    case kAddDictScript:
        if (templator && dict) {
            CComVariant script;
            script.SetDispatch(dict);
            Call(templator, L"Script", DISPATCH_PROPERTYPUTREF, {}, &script);
        }
        break;
    case kProcess:
    case kProcessCaller: {
        IDispatch* target = op.kind == kProcess ? templator : caller;
        if (target == nullptr) break;
        CComVariant text = Text(op.a);
        Call(target, L"ProcessTemplate", DISPATCH_METHOD, {&text});
        break;
    }
    case kFlush:
        if (templator) Call(templator, L"Flush", DISPATCH_METHOD, {});
        break;
    case kDropTemplator: w.templator.Reset(); break;
    case kNewTemplator:
        if (!w.templator) w.templator = CreateLibraryObject(CLSID_TextTemplator);
        break;
    case kDictAdd:
        if (dict) {
            CComVariant key = Key(op.a), item = Value(op.b);
            Call(dict, L"Add", DISPATCH_METHOD, {&key, &item});
        }
        break;
    case kDictPut:
    case kDictPutRef:
        if (dict) {
            CComVariant key = Key(op.a), item = Value(op.b);
            Call(dict, L"Item", op.kind == kDictPut ? DISPATCH_PROPERTYPUT : DISPATCH_PROPERTYPUTREF, {&key}, &item);
        }
        break;
    case kDictKey:
        if (dict) {
            CComVariant key = Key(op.a), renamed = Key(op.b);
            Call(dict, L"Key", DISPATCH_PROPERTYPUT, {&key}, &renamed);
        }
        break;
    case kDictRemove:
        if (dict) {
            CComVariant key = Key(op.a);
            Call(dict, L"Remove", DISPATCH_METHOD, {&key});
        }
        break;
    case kDictRemoveAll:
        if (dict) Call(dict, L"RemoveAll", DISPATCH_METHOD, {});
        break;
    case kDictGet:
        if (dict) {
            CComVariant key = Key(op.a);
            Call(dict, L"Item", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {&key});
        }
        break;
    case kDictItems:
        if (dict) {
            Call(dict, L"Items", DISPATCH_METHOD, {});
            if (w.dict.Get() == dict) Call(dict, L"Keys", DISPATCH_METHOD, {});
        }
        break;
    case kDropDict: w.dict.Reset(); break;
    case kNewDict:
        if (!w.dict) w.dict = CreateDictionary();
        break;
    case kArrayNew: {
        const ULONG n = op.a % 5;
        CComSafeArray fresh;
        fresh.Attach(SafeArrayCreateVector(VT_VARIANT, 0, n));
        if (!fresh) __builtin_trap();
        for (LONG i = 0; i < LONG(n); ++i) {
            CComVariant element = ElementValue(uint8_t(op.b + i));
            SafeArrayPutElement(fresh.Get(), &i, &element);
        }
        // The old value leaves the variable before it is released, as a script engine
        // assigns. Clearing a locked array fails before it releases anything, so the
        // array goes straight back, untouched.
        VARIANT old = w.array;
        VariantInit(&w.array);
        if (FAILED(VariantClear(&old))) {
            w.array.Attach(&old);
            break;
        }
        if (w.array.vt != VT_EMPTY) break;  // a release put something there meanwhile
        w.array.vt = VT_ARRAY | VT_VARIANT;
        w.array.parray = fresh.Detach();
        break;
    }
    case kArrayRedim:
        if (SAFEARRAY* psa = ArrayOfVariable()) {
            SAFEARRAYBOUND bound{ULONG(op.a % 6), 0};
            SafeArrayRedim(psa, &bound);
        }
        break;
    case kArrayErase:
        if (SAFEARRAY* psa = ArrayOfVariable()) SafeArrayDestroyData(psa);
        break;
    case kArraySet:
        if (SAFEARRAY* psa = ArrayOfVariable()) {
            LONG index = op.a % 5;
            CComVariant element = ElementValue(op.b);
            SafeArrayPutElement(psa, &index, &element);
        }
        break;
    case kFindString: {
        CComVariant first = op.a % 2 ? Value(op.a >> 1) : ArrayRef();
        CComVariant second = op.b % 2 ? ArrayRef() : Value(op.b >> 1);
        if (w.util) Call(w.util.Get(), L"FindString", DISPATCH_METHOD, {&first, &second});
        break;
    }
    default: break;
    }
}

HRESULT Script::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO*, UINT*) {
    if (result) VariantInit(result);
    if (dp == nullptr || (dp->cArgs > 0 && dp->rgvarg == nullptr)) return E_INVALIDARG;
    const bool asFunction = (flags & DISPATCH_METHOD) && dp->cArgs > 0;
    if (id == kFunction ? !(m_program.knowsF && asFunction) : !(id == kValue || id == DISPID_VALUE))
        return DISP_E_MEMBERNOTFOUND;
    CallbackScope scope(this);
    // A template function gets its templator first; it is held for the call, as a script
    // engine holds its arguments.
    CComPtr<IDispatch> caller;
    if (id == kFunction) {  // called as a function, so with arguments
        const VARIANT& first = dp->rgvarg[dp->cArgs - 1];
        if (first.vt == VT_DISPATCH) caller = CComPtr<IDispatch>::Share(first.pdispVal);
    }
    Run(m_program.onCall, caller.Get());
    if (m_program.fails) return E_FAIL;
    if (result && !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) MakeValue(m_program.value, result);
    return S_OK;
}

Op ReadOp(FuzzedDataProvider& fdp) {
    Op op;
    op.kind = uint8_t(fdp.ConsumeIntegral<uint8_t>() % kKindCount);
    op.a = fdp.ConsumeIntegral<uint8_t>();
    op.b = fdp.ConsumeIntegral<uint8_t>();
    return op;
}

std::vector<Op> ReadOps(FuzzedDataProvider& fdp, int most) {
    std::vector<Op> ops(fdp.ConsumeIntegralInRange(0, most));
    for (Op& op : ops) op = ReadOp(fdp);
    return ops;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    World world;
    g_world = &world;
    world.programs.resize(fdp.ConsumeIntegralInRange(1, 4));
    for (Program& p : world.programs) {
        const uint8_t bits = fdp.ConsumeIntegral<uint8_t>();
        p.knowsV = bits & 1;
        p.knowsF = bits & 2;
        p.fails = (bits & 0x1C) == 0x1C;  // one program in eight fails its calls
        p.value = fdp.ConsumeIntegral<uint8_t>();
        p.releaseAt = fdp.ConsumeIntegralInRange(0, 8);
        p.onNames = ReadOps(fdp, 2);
        p.onCall = ReadOps(fdp, 3);
        p.onRelease = ReadOps(fdp, 2);
    }
    world.templator = CreateLibraryObject(CLSID_TextTemplator);
    world.util = CreateLibraryObject(CLSID_Utility);
    world.dict = CreateDictionary();

    while (fdp.remaining_bytes() > 0 && world.ops > 0) Exec(ReadOp(fdp), nullptr);

    // The page ends: no more operations, and every variable is let go of.
    world.ops = 0;
    world.refills = 0;
    world.templator.Reset();
    world.dict.Reset();
    world.util.Reset();
    world.array.Reset();
    for (auto& script : world.scripts) script.Reset();
    if (world.array.vt != VT_EMPTY) Fail("the array variable could not be cleared (left locked?)");
    if (g_liveScripts != 0) Fail("a script object is still referenced after the page let go of everything");
    if (DllCanUnloadNow() != S_OK) Fail("a library object is still alive after the page let go of everything");
    g_world = nullptr;
    return 0;
}
