// Shared pieces of the template engine tests: the three type sets, an engine whose marks
// write a fixed rendering, a recording IStream, and error-information reading.
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

inline std::wstring Str(const std::wstringstream& ss) { return ss.str(); }

// An engine whose OnMarked is a function of the test's choosing; by default it records the
// mark and writes "<name>".
class CTestEngine : public CTemplatorConcept {
public:
    using Handler = std::function<HRESULT(CTestEngine&, CMarkData&)>;
    explicit CTestEngine(const wchar_t* types = kPageTypes) : CTemplatorConcept(types) {}
    ~CTestEngine() = default;

    HRESULT OnMarked(CMarkData& mark) override;
    HRESULT Write(const std::wstring& text) { return WriteOutput(Bstr(text)); }
    HRESULT Write(BSTR text) { return WriteOutput(text); }

    Handler handler;
    std::vector<std::wstring> marked;  // names in the order OnMarked saw them
};

// The calling thread's error information as "source: description" (empty when none), and
// clears it.
std::wstring TakeErrorInfo();

}  // namespace vesk_test
