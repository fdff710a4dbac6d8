// A parsed template: literal runs interleaved with marks, shared by reference counting.
// Read-only once parsed, so any number of threads may expand one at the same time.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "host/wintypes.h"
#include "template/mark_data.h"

class CTemplate {
public:
    CTemplate() = default;
    CTemplate(const CTemplate&) = delete;
    CTemplate& operator=(const CTemplate&) = delete;

    CTemplate* AddRef();
    // Drops one reference; the last one frees the template. Returns the new count.
    uint32_t Release();

    std::vector<BSTR> m_vTexts;        // literal runs, owned; one more than there are marks
    std::vector<CMarkData*> m_vMarks;  // in m_dMarkStore, in the same order
    // Changed only by 32-bit atomic operations: a wider interlocked operation would reach
    // into the file time that follows it.
    int32_t m_nRefCount = 1;
    FILETIME m_ftLastWrite = {0, 0};  // recorded by the template cache

    // A new mark, held by the template for its whole life. The marks are kept in blocks of
    // several, not one allocation each: a page holds hundreds, and a parse spent about a
    // third of its allocations on them.
    CMarkData& NewMark() { return m_dMarkStore.emplace_back(); }

private:
    ~CTemplate();

    std::deque<CMarkData> m_dMarkStore;
};
