// Throughput of the host components: text through the stream in two charsets (whole and
// line by line), dictionary writes and reads with string keys, and database round trips
// through the command's IDispatch as a page script makes them.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/automation.h"
#include "hostkit/components/components.h"

namespace {

CComVariant NoSource() {
    CComVariant v;
    v.SetError(DISP_E_PARAMNOTFOUND);
    return v;
}

CComPtr<IZULibStream> OpenStream(const wchar_t* charset) {
    CComPtr<IZULibStream> stream;
    CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream, stream.ReceiveVoid());
    stream->put_Charset(CComBSTR(charset));
    stream->Open(NoSource(), ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr);
    return stream;
}

// About 1 MB of mixed ASCII and Japanese lines.
const CComBSTR& SampleText() {
    static const CComBSTR text = [] {
        std::wstring s;
        for (int i = 0; s.size() < (1u << 20); ++i) s += L"line " + std::to_wstring(i) + L" 日本語のテキスト\r\n";
        return CComBSTR(s.c_str(), UINT(s.size()));
    }();
    return text;
}

void BM_StreamWriteReadAll(benchmark::State& state, const wchar_t* charset) {
    const CComBSTR& text = SampleText();
    for (auto _ : state) {
        auto stream = OpenStream(charset);
        stream->WriteText(text, ADODB::adWriteChar);
        stream->put_Position(0);
        CComBSTR back;
        stream->ReadText(ADODB::adReadAll, back.Receive());
        benchmark::DoNotOptimize(back.m_str);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * text.Length() * 2);
}
BENCHMARK_CAPTURE(BM_StreamWriteReadAll, utf8, L"utf-8")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StreamWriteReadAll, shift_jis, L"shift_jis")->Unit(benchmark::kMillisecond);

void BM_StreamReadLines(benchmark::State& state) {
    auto stream = OpenStream(L"utf-8");
    stream->WriteText(SampleText(), ADODB::adWriteChar);
    int64_t lines = 0;
    for (auto _ : state) {
        stream->put_Position(0);
        for (VARIANT_BOOL eos = VARIANT_FALSE; stream->get_EOS(&eos) == S_OK && !eos; ++lines) {
            CComBSTR line;
            stream->ReadText(ADODB::adReadLine, line.Receive());
        }
    }
    state.SetItemsProcessed(lines);
}
BENCHMARK(BM_StreamReadLines)->Unit(benchmark::kMillisecond);

void BM_DictionaryAddAndRead(benchmark::State& state) {
    const int count = int(state.range(0));
    for (auto _ : state) {
        CComPtr<IZULibDictionary> d;
        CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary, d.ReceiveVoid());
        for (int i = 0; i < count; ++i) {
            CComVariant key, item;
            key.SetString((L"key" + std::to_wstring(i)).c_str());
            item.SetI4(i);
            d->put_Item(&key, &item);
        }
        for (int i = 0; i < count; ++i) {
            CComVariant key, item;
            key.SetString((L"key" + std::to_wstring(i)).c_str());
            d->get_Item(&key, item.Receive());
            benchmark::DoNotOptimize(item.lVal);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * count * 2);
}
BENCHMARK(BM_DictionaryAddAndRead)->Arg(10000)->Unit(benchmark::kMillisecond);

// ---- Command --------------------------------------------------------------------------

// A database in a fresh folder, removed at the end of the run.
struct BenchDatabase {
    std::string folder = mkdtemp(std::string("/tmp/vesk-bench-db-XXXXXX").data());
    BenchDatabase() { veskhost::SetDatabaseSiteRoot(std::wstring(folder.begin(), folder.end()).c_str()); }
    ~BenchDatabase() {
        veskhost::SetDatabaseSiteRoot(nullptr);
        std::filesystem::remove_all(folder);
    }
};

CComVariant Text(const wchar_t* text) {
    CComVariant v;
    v.SetString(text);
    return v;
}

// One script round trip: a new command, its connection and text set by name, Execute with
// the values as its parameters array; the recordset comes back in *rs.
void RunCommand(const wchar_t* sql, std::vector<CComVariant> values, CComVariant* rs) {
    CComPtr<IDispatch> command;
    CoCreateInstance(CLSID_Command, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, command.ReceiveVoid());
    CComVariant connection[] = {Text(L"Data Source=bench.db")};
    automation::InvokeByName(command.Get(), L"ActiveConnection", DISPATCH_PROPERTYPUT, connection);
    CComVariant text[] = {Text(sql)};
    automation::InvokeByName(command.Get(), L"CommandText", DISPATCH_PROPERTYPUT, text);
    CComVariant args[2];
    args[0].SetError(DISP_E_PARAMNOTFOUND);
    args[1].vt = VT_ARRAY | VT_VARIANT;
    args[1].parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(values.size()));
    for (size_t i = 0; i < values.size(); ++i) values[i].Detach(&static_cast<VARIANT*>(args[1].parray->pvData)[i]);
    automation::InvokeByName(command.Get(), L"Execute", DISPATCH_METHOD, args, rs);
}

void BM_CommandInsert(benchmark::State& state) {
    BenchDatabase database;
    CComVariant made;
    RunCommand(L"CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, n INTEGER)", {}, &made);
    int64_t n = 0;
    for (auto _ : state) {
        std::vector<CComVariant> values;
        values.push_back(Text(L"an item name"));
        values.emplace_back().SetI4(LONG(n++));
        CComVariant rs;
        RunCommand(L"INSERT INTO items (name, n) VALUES (?, ?)", std::move(values), &rs);
    }
    state.SetItemsProcessed(n);
}
BENCHMARK(BM_CommandInsert)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_CommandSelectOne(benchmark::State& state) {
    BenchDatabase database;
    CComVariant made;
    RunCommand(L"CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, n INTEGER)", {}, &made);
    for (int i = 0; i < 1000; ++i) {
        std::vector<CComVariant> values;
        values.push_back(Text(L"an item name"));
        values.emplace_back().SetI4(i);
        CComVariant rs;
        RunCommand(L"INSERT INTO items (name, n) VALUES (?, ?)", std::move(values), &rs);
    }
    LONG id = 0;
    for (auto _ : state) {
        std::vector<CComVariant> values;
        values.emplace_back().SetI4(1 + (id++ % 1000));
        CComVariant rs;
        RunCommand(L"SELECT name, n FROM items WHERE id = ?", std::move(values), &rs);
        CComVariant field[] = {Text(L"name")};
        CComVariant name;
        if (rs.vt == VT_DISPATCH) automation::InvokeById(rs.pdispVal, DISPID_VALUE, DISPATCH_METHOD, field, &name);
        benchmark::DoNotOptimize(name.bstrVal);
    }
    state.SetItemsProcessed(id);
}
BENCHMARK(BM_CommandSelectOne)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
