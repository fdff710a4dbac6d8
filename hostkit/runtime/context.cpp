// The object context of the page a thread is running; the host sets it around each page.
#include "class_registry.h"

namespace {

// Released at thread exit if a host leaves one behind.
thread_local CComPtr<IUnknown> t_spContext;

}  // namespace

namespace veskhost {

void SetThreadObjectContext(IUnknown* context) { t_spContext.Assign(context); }

ObjectContextScope::ObjectContextScope(IUnknown* ctx) {
    m_spPrevious.Assign(t_spContext.Get());
    t_spContext.Assign(ctx);
}

ObjectContextScope::~ObjectContextScope() { t_spContext.Attach(m_spPrevious.Detach()); }

}  // namespace veskhost

extern "C" HRESULT CoGetObjectContext(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (!t_spContext) return CONTEXT_E_NOCONTEXT;
    return t_spContext->QueryInterface(riid, ppv);
}
