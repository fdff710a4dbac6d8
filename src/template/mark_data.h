// One parsed mark: its type character, its name and its parameters.
#pragma once

#include <ios>
#include <string>
#include <string_view>
#include <vector>

#include "host/ccom.h"

// The text of a mark's name or of one parameter. Readers take the whole text with str(); the
// mark reader appends with write(), and << appends anything a wide string can take. A plain
// string, not a stream: a mark is built for every mark of every parsed or directly expanded
// template, and a stream costs a locale and several allocations each time.
class CMarkText {
public:
    const std::wstring& str() const { return m_text; }
    void str(std::wstring_view text) { m_text.assign(text); }

    CMarkText& write(const wchar_t* text, std::streamsize count) {
        m_text.append(text, static_cast<size_t>(count));
        return *this;
    }
    template <class T>
    CMarkText& operator<<(const T& text) {
        m_text += text;
        return *this;
    }

private:
    std::wstring m_text;
};

class CMarkData {
public:
    CMarkData() = default;
    ~CMarkData();
    CMarkData(const CMarkData&) = delete;
    CMarkData& operator=(const CMarkData&) = delete;

    // Appends a new, empty parameter and returns it; it is owned by the mark.
    CMarkText* AddParam();

    wchar_t m_cType = 0;  // 0 when the mark carries no type character
    CMarkText m_ssName;
    std::vector<CMarkText*> m_vParams;  // owned; readers take each one's str()
};

// The text of a mark's name or parameter as a string of its own.
HRESULT MarkText(const CMarkText& text, CComBSTR& bstr);
