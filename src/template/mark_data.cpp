#include "template/mark_data.h"

#include <memory>
#include <string>

CMarkData::~CMarkData() {
    for (CMarkText* param : m_vParams) delete param;
}

CMarkText* CMarkData::AddParam() {
    auto param = std::make_unique<CMarkText>();
    m_vParams.push_back(param.get());
    return param.release();
}

HRESULT MarkText(const CMarkText& text, CComBSTR& bstr) {
    const std::wstring& whole = text.str();
    return bstr.Assign(whole.data(), static_cast<UINT>(whole.size()));
}
