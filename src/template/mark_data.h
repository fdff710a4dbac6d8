// One parsed mark: its type character, its name and its parameters.
#pragma once

#include <sstream>
#include <vector>

#include "host/ccom.h"

class CMarkData {
public:
    CMarkData() = default;
    ~CMarkData();
    CMarkData(const CMarkData&) = delete;
    CMarkData& operator=(const CMarkData&) = delete;

    // Appends a new, empty parameter and returns it; it is owned by the mark.
    std::wstringstream* AddParam();

    wchar_t m_cType = 0;  // 0 when the mark carries no type character
    std::wstringstream m_ssName;
    std::vector<std::wstringstream*> m_vParams;  // owned; readers take each one's str()
};

// The text of a mark's name or parameter as a string of its own.
HRESULT MarkText(const std::wstringstream& text, CComBSTR& bstr);
