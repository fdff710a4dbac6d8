#include "template_test_support.h"

namespace vesk_test {

HRESULT CTestEngine::OnMarked(CMarkData& mark) {
    marked.push_back(mark.m_ssName.str());
    if (handler) return handler(*this, mark);
    return Write(L"<" + mark.m_ssName.str() + L">");
}

std::wstring TakeErrorInfo() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return L"";
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    return std::wstring(source.c_str()) + L": " + description.c_str();
}

}  // namespace vesk_test
