// Throughput of the host components: text through the stream in two charsets (whole and
// line by line) and dictionary writes and reads with string keys.
#include <benchmark/benchmark.h>

#include <string>

#include "host/ccom.h"

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

}  // namespace

BENCHMARK_MAIN();
