#include "template/mark_data.h"

#include <memory>
#include <string>

CMarkData::~CMarkData() {
    for (std::wstringstream* param : m_vParams) delete param;
}

std::wstringstream* CMarkData::AddParam() {
    auto param = std::make_unique<std::wstringstream>();
    m_vParams.push_back(param.get());
    return param.release();
}

HRESULT MarkText(const std::wstringstream& text, CComBSTR& bstr) {
    const std::wstring copy = text.str();
    return bstr.Assign(copy.data(), static_cast<UINT>(copy.size()));
}
