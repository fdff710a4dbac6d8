// The reference page W1 for the template benchmarks: its inputs, the script object that
// answers its marks through IDispatch, and an engine whose two kinds of marks write a value
// HTML-encoded (';') or raw (':'). Shared by the programs that render it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/event_handler.h"
#include "host/automation.h"
#include "host/host.h"
#include "support/memory_stream.h"
#include "template/templator_concept.h"
#include "utility/utility_ops.h"

namespace vesk_bench {

constexpr wchar_t kPageTypes[] = L"%;:*/=~+-$\\&|!?`@";

// The reference inputs: VESK_BENCH_DATA from the environment, else bench/data of this
// checkout. A missing file stops the program before anything is timed.
inline std::string ReadFileAt(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(1);
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string ReadFile(const std::string& name) {
    const char* dir = std::getenv("VESK_BENCH_DATA");
    return ReadFileAt(std::string(dir ? dir : VESK_BENCH_DATA) + "/" + name);
}

inline std::wstring Wide(const std::string& utf8) {
    std::wstring out(utf8_utf32(nullptr, 0, utf8.c_str()), L'\0');
    utf8_utf32(out.data(), out.size() + 1, utf8.c_str());
    return out;
}

inline std::string Utf8(const std::wstring& text) {
    std::string out(utf32_utf8(nullptr, 0, text.c_str()), '\0');
    utf32_utf8(out.data(), out.size(), text.c_str());
    out.pop_back();
    return out;
}

// The model: names and values, "row 1 a" becoming r01_a.
inline std::vector<std::pair<std::wstring, std::wstring>> ReadModel() {
    std::vector<std::pair<std::wstring, std::wstring>> model;
    std::istringstream lines(ReadFile("w1_model.tsv"));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (int i = 0; i < 3; ++i) {
            const size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        f.push_back(line.substr(start));
        std::string name = f[1];
        if (f[0] == "row") name = "r" + std::string(f[1].size() < 2 ? "0" : "") + f[1] + "_" + f[2];
        model.emplace_back(Wide(name), Wide(f[3]));
    }
    return model;
}

// A page script's object: properties by name, as a script engine answers them. It lives as
// long as the program and keeps no count: the engine takes a reference for every mark, and
// counting those atomically costs about 4% of a parsed render, which is not the engine's own.
class CModelScript final : public automation::GInterfaceList<automation::GNoTypeInfo<IDispatch>> {
public:
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    explicit CModelScript(const std::vector<std::pair<std::wstring, std::wstring>>& model) {
        for (const auto& [name, value] : model) {
            std::wstring key = name;
            for (auto& c : key) c = wchar_t(std::towlower(c));
            m_ids[key] = DISPID(m_values.size() + 1);
            m_values.emplace_back(SysAllocStringLen(value.data(), UINT(value.size())));
        }
    }
    // Names are matched ignoring case, as a script engine matches them; the lowered name is
    // built in one buffer kept for the purpose.
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        std::wstring& key = m_key;
        key.assign(names[0]);
        for (auto& c : key) c = wchar_t(std::towlower(c));
        auto it = m_ids.find(key);
        if (it == m_ids.end()) return DISP_E_UNKNOWNNAME;
        ids[0] = it->second;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id < 1 || size_t(id) > m_values.size() || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BSTR;
        result->bstrVal = m_values[size_t(id - 1)].Copy();
        return S_OK;
    }

private:
    std::unordered_map<std::wstring, DISPID> m_ids;
    std::vector<CComBSTR> m_values;
    std::wstring m_key;
};

// The page's two kinds of marks: ';' writes the value HTML-encoded, ':' writes it raw.
template <class Sink = vesk_test::CMemoryStream>
class CPageEngine : public CTemplatorConcept {
public:
    enum class Store { Script, Dictionary };

    CPageEngine(Store store, IDispatch* pScript, IZULibDictionary* pDictionary)
        : CTemplatorConcept(kPageTypes), m_store(store), m_pDictionary(pDictionary) {
        m_oScripts.Add(pScript);
        putref_Output(m_spSink.Get());
    }
    ~CPageEngine() = default;

    HRESULT OnMarked(CMarkData& mark) override {
        const std::wstring& name = mark.m_ssName.str();
        CComVariant value;
        HRESULT hr;
        if (m_store == Store::Script) {
            CEvent event;
            hr = m_oScripts.GetEvent(name.c_str(), event);
            if (SUCCEEDED(hr)) hr = event.Get();
            if (SUCCEEDED(hr)) value = std::move(event.m_vResult);
        } else {
            CComVariant key;
            key.SetBSTR(SysAllocStringLen(name.data(), UINT(name.size())));
            hr = m_pDictionary->get_Item(&key, &value);
        }
        if (SUCCEEDED(hr)) hr = ChangeToBSTR(&value, &mark.m_vParams, false);
        if (FAILED(hr)) return hr;
        if (mark.m_cType != L';') return WriteOutput(value.bstrVal);
        // The library's own encoder, the one the page controller's encoded marks use.
        CComBSTR text;
        hr = CUtilityOps::HTMLEncode(value.bstrVal, &text.m_str);
        if (FAILED(hr)) return hr;
        return WriteOutput(text);
    }

    CComPtr<Sink> m_spSink = Sink::Create();  // memory as the output

private:
    Store m_store;
    CEventHandler m_oScripts;
    IZULibDictionary* m_pDictionary;
};

}  // namespace vesk_bench
