// Script objects as the library sees them: an IDispatch over a JavaScript object (the page's
// global object, or any object or function a script passes into a call). Its members are
// the object's own properties, found by name; a function member is called (with the
// arguments the caller passes), never read; a property put assigns; the default member
// (DISPID 0) reads or assigns the property its first argument names.
//
// The object lives in the engine's heap, so the IDispatch only refers to it. Once the page's
// script has ended every call fails cleanly, whoever still holds the IDispatch (a session
// may); a release on another thread is queued for the engine's own thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/automation.h"

namespace veskserve {

// What a script object shares with its engine.
struct HeapState {
    std::mutex mutex;
    void* engine = nullptr;  // the engine while its script runs; null once it has ended
    std::thread::id thread;
    std::vector<uint32_t> releasedSlots;
};

// One call into the engine from a script object: checks the engine is alive and on this
// thread, then does the work.
class ScriptObjectCall {
public:
    explicit ScriptObjectCall(HeapState& state);
    HRESULT Status() const { return m_hr; }

    HRESULT HasOwn(uint32_t slot, const std::wstring& name, bool* has);
    // byKey: the member is the property the first positional argument names.
    HRESULT Invoke(uint32_t slot, const std::wstring& name, bool byKey, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo);

private:
    HRESULT m_hr = S_OK;
    void* m_pEngine = nullptr;
};

class CScriptObject final : public automation::GObject<CScriptObject, automation::GNoTypeInfo<IDispatch>> {
public:
    // A new object with one reference. slot 0 is the global object.
    static IDispatch* Create(std::shared_ptr<HeapState> state, uint32_t slot) {
        return static_cast<IDispatch*>(new CScriptObject(std::move(state), slot));
    }

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
        ScriptObjectCall call(*m_state);
        if (FAILED(call.Status())) return call.Status();
        const std::wstring name = names[0];
        bool has = false;
        if (HRESULT hr = call.HasOwn(m_nSlot, name, &has); FAILED(hr)) return hr;
        if (!has) return DISP_E_UNKNOWNNAME;
        const auto known = std::find(m_names.begin(), m_names.end(), name);
        ids[0] = DISPID(known - m_names.begin()) + 1;
        if (known == m_names.end()) m_names.push_back(name);
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }

    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT*) override {
        if (result) VariantInit(result);
        ScriptObjectCall call(*m_state);
        if (FAILED(call.Status())) return call.Status();
        if (dispid == DISPID_VALUE) return call.Invoke(m_nSlot, L"", true, flags, params, result, excepInfo);
        if (dispid < 1 || size_t(dispid) > m_names.size()) return DISP_E_MEMBERNOTFOUND;
        return call.Invoke(m_nSlot, m_names[size_t(dispid) - 1], false, flags, params, result, excepInfo);
    }

    ~CScriptObject() {
        if (m_nSlot == 0) return;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->engine) m_state->releasedSlots.push_back(m_nSlot);
    }

private:
    CScriptObject(std::shared_ptr<HeapState> state, uint32_t slot) : m_state(std::move(state)), m_nSlot(slot) {}

    std::shared_ptr<HeapState> m_state;
    uint32_t m_nSlot;
    std::vector<std::wstring> m_names;  // DISPID n is m_names[n - 1]
};

}  // namespace veskserve
