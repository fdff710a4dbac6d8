#include "controller/templator_link.h"

#include <new>

#include "utility/utility_ops.h"

HRESULT CTemplatorLink::Create(IVesk* pMain, const bool* pSelfEncode, CTemplatorLink** ppLink) {
    *ppLink = new (std::nothrow) CTemplatorLink(pMain, pSelfEncode);
    return *ppLink ? S_OK : E_OUTOFMEMORY;
}

ULONG CTemplatorLink::Release() {
    const int64_t n = --m_nRef;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

HRESULT CTemplatorLink::HTMLEncode(BSTR bstrText, BSTR* pbstrEncoded) const {
    if (m_pMain) return m_pMain->HTMLEncode(bstrText, pbstrEncoded);
    return CUtilityOps::HTMLEncode(bstrText, pbstrEncoded);
}

void CTemplatorLink::Cut() {
    if (m_pSelfEncode) m_bSelfEncodeKept = *m_pSelfEncode;
    m_pSelfEncode = nullptr;
    m_pMain = nullptr;
}

CTemplatorLinkOwner::~CTemplatorLinkOwner() {
    if (m_pLink == nullptr) return;
    m_pLink->Cut();
    m_pLink->Release();
}

HRESULT CTemplatorLinkOwner::Get(IVesk* pMain, const bool* pSelfEncode, CTemplatorLink** ppLink) {
    if (m_pLink == nullptr) {
        const HRESULT hr = CTemplatorLink::Create(pMain, pSelfEncode, &m_pLink);
        if (FAILED(hr)) return hr;
    }
    *ppLink = m_pLink;
    m_pLink->AddRef();
    return S_OK;
}
