#include "template/template_cache.h"

#include "shim/file.h"

namespace {

// An open template file, closed when it goes out of scope.
class CTemplateFile {
public:
    explicit CTemplateFile(const CComBSTR& bstrPath)
        : m_h(CreateFileW(bstrPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~CTemplateFile() {
        if (IsOpen()) CloseHandle(m_h);
    }
    CTemplateFile(const CTemplateFile&) = delete;
    CTemplateFile& operator=(const CTemplateFile&) = delete;

    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    bool LastWriteTime(FILETIME* pft) const { return IsOpen() && GetFileTime(m_h, nullptr, nullptr, pft); }

private:
    HANDLE m_h;
};

}  // namespace

CTemplateCache::CTemplateCache() { InitializeCriticalSection(&m_cs); }

CTemplateCache::~CTemplateCache() {
    // Templates still held by callers outlive the cache: only the cache's own references go.
    for (auto& entry : m_mapTemplates) entry.second->Release();
    DeleteCriticalSection(&m_cs);
}

CTemplate* CTemplateCache::EraseLocked(const CComBSTR& bstrPath) {
    auto it = m_mapTemplates.find(bstrPath);
    if (it == m_mapTemplates.end()) return nullptr;
    CTemplate* pOld = it->second;
    m_mapTemplates.erase(it);
    return pOld;
}

HRESULT CTemplateCache::Take(const CComBSTR& bstrPath, CTemplate** ppTemplate) {
    if (ppTemplate == nullptr) return E_INVALIDARG;
    *ppTemplate = nullptr;
    CTemplate* pFound = nullptr;
    {
        CCriticalSectionLock lock(&m_cs);
        auto it = m_mapTemplates.find(bstrPath);
        if (it != m_mapTemplates.end()) pFound = it->second->AddRef();
    }
    if (pFound == nullptr) return S_OK;

    // A file that cannot be opened or examined keeps its cached template in service.
    CTemplateFile file(bstrPath);
    FILETIME ftFile;
    if (file.LastWriteTime(&ftFile) && CompareFileTime(&pFound->m_ftLastWrite, &ftFile) != 0) {
        // Whatever entry stands under the path now goes, even one another thread stored
        // since the lookup: the next request parses again.
        CTemplate* pStale = nullptr;
        {
            CCriticalSectionLock lock(&m_cs);
            pStale = EraseLocked(bstrPath);
        }
        if (pStale != nullptr) pStale->Release();
        pFound->Release();
        return S_OK;
    }
    *ppTemplate = pFound;
    return S_OK;
}

HRESULT CTemplateCache::Store(const CComBSTR& bstrPath, CTemplate* pTemplate) {
    if (pTemplate == nullptr) return E_INVALIDARG;
    {
        CTemplateFile file(bstrPath);
        FILETIME ftFile;
        if (file.LastWriteTime(&ftFile)) pTemplate->m_ftLastWrite = ftFile;
    }

    CComBSTR bstrKey;
    bstrKey.Attach(bstrPath.Copy());
    if (bstrKey.m_str == nullptr && bstrPath.m_str != nullptr) return E_OUTOFMEMORY;

    CTemplate* pOld = nullptr;
    {
        CCriticalSectionLock lock(&m_cs);
        auto it = m_mapTemplates.find(bstrKey);
        if (it != m_mapTemplates.end()) {
            pOld = it->second;
            it->second = pTemplate->AddRef();
        } else {
            m_mapTemplates.emplace(std::move(bstrKey), pTemplate->AddRef());
        }
    }
    // Freeing the replaced template happens outside the lock.
    if (pOld != nullptr) pOld->Release();
    return S_OK;
}
