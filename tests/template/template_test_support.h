// Shared pieces of the template engine tests: the three type sets, an engine whose marks
// write what the test chooses, and error-information reading.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "recording_sinks.h"
#include "support/test_support.h"
#include "template/templator_concept.h"

namespace vesk_test {

inline constexpr wchar_t kPageTypes[] = L"%;:*/=~+-$\\&|!?`@";
inline constexpr wchar_t kBoundTypes[] = L"%;:*/=~+-$\\&|";
inline constexpr wchar_t kTextTypes[] = L" \t\r\n";

// A BSTR holding exactly the characters of text, embedded NULs included.
inline CComBSTR Bstr(const std::wstring& text) { return CComBSTR(text.data(), UINT(text.size())); }

// An engine whose OnMarked runs the test's handler; by default it writes "<name>".
class CTestEngine : public CTemplatorConcept {
public:
    using Handler = std::function<HRESULT(CTestEngine&, CMarkData&)>;
    explicit CTestEngine(const wchar_t* types = kPageTypes) : CTemplatorConcept(types) {}
    ~CTestEngine() = default;

    HRESULT OnMarked(CMarkData& mark) override {
        marked.push_back(mark.m_ssName.str());
        return handler ? handler(*this, mark) : Write(L"<" + mark.m_ssName.str() + L">");
    }
    HRESULT Write(const std::wstring& text) { return WriteOutput(Bstr(text)); }
    // Selects a new recording stream as the output and returns it.
    CComPtr<RecordingStream> Record() {
        auto sink = MakeRecorder<RecordingStream>();
        EXPECT_HR(S_OK, putref_Output(sink.Get()));
        return sink;
    }

    Handler handler;
    std::vector<std::wstring> marked;  // names in the order OnMarked saw them
};

// The calling thread's error information as "source: description" (empty when none).
inline std::wstring TakeErrorInfo() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return L"";
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    return std::wstring(source.c_str()) + L": " + description.c_str();
}

}  // namespace vesk_test
