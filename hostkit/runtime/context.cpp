// The object context of the page a thread is running; the host sets it around each page.
#include <atomic>

#include "class_registry.h"

namespace {

// Released at thread exit if a host leaves one behind.
thread_local CComPtr<IUnknown> t_spContext;

constexpr size_t kMaxListeners = 4;
std::atomic<veskhost::ContextChangeListener> g_listeners[kMaxListeners];

void NotifyContextChanged() {
    for (auto& slot : g_listeners) {
        if (veskhost::ContextChangeListener listener = slot.load()) listener();
    }
}

}  // namespace

namespace veskhost {

bool AddContextChangeListener(ContextChangeListener listener) {
    if (listener == nullptr) return false;
    for (auto& slot : g_listeners) {
        ContextChangeListener empty = nullptr;
        if (slot.compare_exchange_strong(empty, listener)) return true;
    }
    return false;
}

void SetThreadObjectContext(IUnknown* context) {
    t_spContext.Assign(context);
    NotifyContextChanged();
}

ObjectContextScope::ObjectContextScope(IUnknown* ctx) {
    m_spPrevious.Assign(t_spContext.Get());
    t_spContext.Assign(ctx);
    NotifyContextChanged();
}

ObjectContextScope::~ObjectContextScope() {
    t_spContext.Attach(m_spPrevious.Detach());
    NotifyContextChanged();
}

}  // namespace veskhost

extern "C" HRESULT CoGetObjectContext(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (!t_spContext) return CONTEXT_E_NOCONTEXT;
    return t_spContext->QueryInterface(riid, ppv);
}
