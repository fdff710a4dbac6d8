// Template engine figures on the reference page (W1 render, W2 parse): parsing, parsed
// expansion and direct expansion into memory, with the values read from a script object or
// from the host dictionary. Every configuration's output is checked against the expected
// page once before timing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
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

namespace {

constexpr wchar_t kPageTypes[] = L"%;:*/=~+-$\\&|!?`@";

// The reference inputs: VESK_BENCH_DATA from the environment, else bench/data of this
// checkout. A missing file stops the program before anything is timed.
std::string ReadFile(const std::string& name) {
    const char* dir = std::getenv("VESK_BENCH_DATA");
    const std::string path = std::string(dir ? dir : VESK_BENCH_DATA) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(1);
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::wstring Wide(const std::string& utf8) {
    std::wstring out(utf8_utf32(nullptr, 0, utf8.c_str()), L'\0');
    utf8_utf32(out.data(), out.size() + 1, utf8.c_str());
    return out;
}

std::string Utf8(const std::wstring& text) {
    std::string out(utf32_utf8(nullptr, 0, text.c_str()), '\0');
    utf32_utf8(out.data(), out.size(), text.c_str());
    out.pop_back();
    return out;
}

// The model: names and values, "row 1 a" becoming r01_a.
std::vector<std::pair<std::wstring, std::wstring>> ReadModel() {
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
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        std::wstring key = names[0];
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
};

std::wstring HtmlEncode(const wchar_t* text, UINT length) {
    std::wstring out;
    out.reserve(length + 16);
    for (UINT i = 0; i < length; ++i) {
        switch (text[i]) {
            case L'&': out += L"&amp;"; break;
            case L'<': out += L"&lt;"; break;
            case L'>': out += L"&gt;"; break;
            case L'"': out += L"&quot;"; break;
            default: out += text[i];
        }
    }
    return out;
}

// The page's two kinds of marks: ';' writes the value HTML-encoded, ':' writes it raw.
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
        const std::wstring name = mark.m_ssName.str();
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
        const std::wstring encoded = HtmlEncode(value.bstrVal, SysStringLen(value.bstrVal));
        CComBSTR text(encoded.data(), UINT(encoded.size()));
        return WriteOutput(text);
    }

    CComPtr<vesk_test::CMemoryStream> m_spSink = vesk_test::CMemoryStream::Create();  // memory as the output

private:
    Store m_store;
    CEventHandler m_oScripts;
    IZULibDictionary* m_pDictionary;
};

struct Fixture {
    CComBSTR page;
    std::string expected;
    CModelScript* script = nullptr;
    CComPtr<IZULibDictionary> dictionary;
    CTemplate* parsed = nullptr;
};

Fixture& Data() {
    static Fixture f;
    return f;
}

bool Setup() {
    Fixture& f = Data();
    const std::wstring page = Wide(ReadFile("w1_page.marks.txt"));
    f.page.Attach(SysAllocStringLen(page.data(), UINT(page.size())));
    f.expected = ReadFile("w1_expected.html");
    const auto model = ReadModel();
    f.script = new CModelScript(model);
    if (FAILED(CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                f.dictionary.ReceiveVoid()))) {
        std::fprintf(stderr, "no dictionary component\n");
        return false;
    }
    for (const auto& [name, value] : model) {
        CComVariant key, item;
        key.SetString(name.c_str());
        item.SetBSTR(SysAllocStringLen(value.data(), UINT(value.size())));
        f.dictionary->put_Item(&key, &item);
    }
    CPageEngine parser(CPageEngine::Store::Script, f.script, nullptr);
    f.parsed = new CTemplate;
    if (FAILED(parser.Parse(f.page, *f.parsed))) return false;

    for (auto store : {CPageEngine::Store::Script, CPageEngine::Store::Dictionary}) {
        for (bool direct : {false, true}) {
            CPageEngine engine(store, f.script, f.dictionary.Get());
            const HRESULT hr = direct ? engine.Process(f.page.m_str) : engine.Process(*f.parsed);
            if (FAILED(hr) || Utf8(engine.m_spSink->text) != f.expected) {
                std::fprintf(stderr, "output differs from w1_expected.html (%s, %s)\n",
                             store == CPageEngine::Store::Script ? "script" : "dictionary",
                             direct ? "direct" : "parsed");
                return false;
            }
        }
    }
    return true;
}

void BM_Parse(benchmark::State& state) {
    Fixture& f = Data();
    CPageEngine engine(CPageEngine::Store::Script, f.script, nullptr);
    for (auto _ : state) {
        CTemplate* tmpl = new CTemplate;
        benchmark::DoNotOptimize(engine.Parse(f.page, *tmpl));
        tmpl->Release();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.page.Length()));
    state.counters["parses/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void Render(benchmark::State& state, CPageEngine::Store store, bool direct) {
    Fixture& f = Data();
    CPageEngine engine(store, f.script, f.dictionary.Get());
    engine.m_spSink->text.reserve(f.expected.size());
    for (auto _ : state) {
        engine.m_spSink->Clear();
        benchmark::DoNotOptimize(direct ? engine.Process(f.page.m_str) : engine.Process(*f.parsed));
    }
    state.counters["renders/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RenderParsed_Script(benchmark::State& s) { Render(s, CPageEngine::Store::Script, false); }
void BM_RenderParsed_Dictionary(benchmark::State& s) { Render(s, CPageEngine::Store::Dictionary, false); }
void BM_RenderDirect_Script(benchmark::State& s) { Render(s, CPageEngine::Store::Script, true); }
void BM_RenderDirect_Dictionary(benchmark::State& s) { Render(s, CPageEngine::Store::Dictionary, true); }

BENCHMARK(BM_Parse);
BENCHMARK(BM_RenderParsed_Script);
BENCHMARK(BM_RenderParsed_Dictionary);
BENCHMARK(BM_RenderDirect_Script);
BENCHMARK(BM_RenderDirect_Dictionary);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!Setup()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Data().parsed->Release();
    delete Data().script;
    return 0;
}
