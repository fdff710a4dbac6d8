#include "template/template.h"

#include <atomic>

#include "host/runtime.h"

CTemplate::~CTemplate() {
    for (BSTR text : m_vTexts) SysFreeString(text);
}

CTemplate* CTemplate::AddRef() {
    std::atomic_ref<int32_t>(m_nRefCount).fetch_add(1, std::memory_order_relaxed);
    return this;
}

uint32_t CTemplate::Release() {
    // acq_rel: every reader's last use of the template happens before the delete.
    const int32_t count = std::atomic_ref<int32_t>(m_nRefCount).fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) delete this;
    return static_cast<uint32_t>(count);
}
