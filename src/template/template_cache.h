// The process-wide cache of parsed templates, keyed by file path (exact, case-sensitive).
// An entry is dropped when its file's last-write time no longer matches the time recorded
// when it was stored. The lock guards the map only: file access, parsing and expansion run
// outside it, on templates pinned by a reference taken under it.
#pragma once

#include <cwchar>
#include <map>

#include "host/host.h"
#include "shim/sync.h"
#include "template/template.h"

class CTemplateCache {
public:
    CTemplateCache();
    ~CTemplateCache();
    CTemplateCache(const CTemplateCache&) = delete;
    CTemplateCache& operator=(const CTemplateCache&) = delete;

    // The cached template for the path with a reference for the caller, or null when there
    // is none or it was stale (the stale entry is dropped). Always S_OK.
    HRESULT Take(const CComBSTR& bstrPath, CTemplate** ppTemplate);
    // Records the file's time in the template and caches it under the path with a reference
    // of the cache's own, replacing any entry there. Always S_OK. The template is a fresh
    // parse that no other thread reads yet, since its recorded time is written here.
    HRESULT Store(const CComBSTR& bstrPath, CTemplate* pTemplate);

private:
    struct PathLess {
        bool operator()(const CComBSTR& a, const CComBSTR& b) const { return wcscmp(a.c_str(), b.c_str()) < 0; }
    };

    // Removes the entry for the path and hands back its template (the cache's reference),
    // or null. Caller holds m_cs.
    CTemplate* EraseLocked(const CComBSTR& bstrPath);

    std::map<CComBSTR, CTemplate*, PathLess> m_mapTemplates;
    CRITICAL_SECTION m_cs;
};

// The one cache of the library, constructed with the module's other globals.
VESK_EXPORT extern CTemplateCache g_oTemplateCache;
