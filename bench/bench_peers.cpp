// Our figures beside the best C and C++ peers, in one process and one run: the template engine
// against ctemplate, the encoders against ctemplate's escapers and OpenSSL's Base64 block
// functions, the digests against OpenSSL's. Every workload is a pair of benchmarks, ours and
// the peer's, on the same input; the repetitions of all of them are interleaved at random, so
// the machine's load falls on both alike, and the table gives the median of each side and
// their ratio (the peer's time over ours: above 1 we are faster). Both template renderers are
// checked against w1_expected.html byte for byte before anything is timed.
#include <benchmark/benchmark.h>
#include <ctemplate/template.h>
#include <ctemplate/template_dictionary.h>
#include <ctemplate/template_emitter.h>
#include <ctemplate/template_modifiers.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cinttypes>
#include <map>
#include <memory>

#include "frame/module.h"
#include "shim/codec.h"
#include "shim/crypt.h"
#include "utility/utility_impl.h"
#include "w1_page.h"

namespace {

using namespace vesk_bench;

// ---- A lean memory sink ------------------------------------------------------------------
// Keeps the characters only, as an in-memory stream would; the test stream also records where
// each write ended, which is the test's cost, not the engine's.
class CTextSink final
    : public automation::GObject<CTextSink, IStream, automation::Alias<IStream, IID_ISequentialStream>> {
public:
    static CComPtr<CTextSink> Create() {
        CComPtr<CTextSink> sp;
        sp.Attach(new CTextSink);
        return sp;
    }
    std::wstring text;
    void Clear() { text.clear(); }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        text.append(static_cast<const wchar_t*>(pv), cb / sizeof(wchar_t));
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

using CEngine = CPageEngine<CTextSink>;

// ---- Inputs ------------------------------------------------------------------------------

struct Inputs {
    CComBSTR page;                // w1_page.marks.txt
    std::string peerPage;         // w1_page.ctemplate.tpl
    std::string expected;         // w1_expected.html
    CModelScript* script = nullptr;
    CTemplate* parsed = nullptr;
    ctemplate::Template* peerParsed = nullptr;
    ctemplate::TemplateDictionary* peerDictionary = nullptr;
    std::string shortText;        // w7_short.txt, 32 characters
    std::string megabyte;         // w7_text.txt, 1 MiB
    std::vector<BYTE> random16M;  // 16 MiB of random bytes
    std::vector<BYTE> random4K;
    std::vector<BYTE> random64;
};

Inputs& In() {
    static Inputs in;
    return in;
}

// w7_text.txt is 1 MiB and is not kept in the repository: generated once, as bench_utility does.
std::string LargeText() {
    if (const char* dir = std::getenv("VESK_BENCH_INPUTS")) {
        std::ifstream probe(std::string(dir) + "/w7_text.txt");
        if (probe) return ReadFileAt(std::string(dir) + "/w7_text.txt");
    }
    const std::string out = "/tmp/vesk-bench-inputs";
    std::ifstream probe(out + "/w7_text.txt");
    if (!probe) {
        const char* data = std::getenv("VESK_BENCH_DATA");
        const std::string command =
            "python3 '" + std::string(data ? data : VESK_BENCH_DATA) + "/gen_inputs.py' " + out + " >/dev/null";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot run %s\n", command.c_str());
    }
    return ReadFileAt(out + "/w7_text.txt");
}

bool SetupTemplates() {
    Inputs& in = In();
    const std::wstring page = Wide(ReadFile("w1_page.marks.txt"));
    in.page.Attach(SysAllocStringLen(page.data(), UINT(page.size())));
    in.peerPage = ReadFile("w1_page.ctemplate.tpl");
    in.expected = ReadFile("w1_expected.html");
    const auto model = ReadModel();
    in.script = new CModelScript(model);

    CEngine engine(CEngine::Store::Script, in.script, nullptr);
    in.parsed = new CTemplate;
    if (FAILED(engine.Parse(in.page, *in.parsed))) return false;
    for (bool direct : {false, true}) {
        engine.m_spSink->Clear();
        const HRESULT hr = direct ? engine.Process(in.page.m_str) : engine.Process(*in.parsed);
        if (FAILED(hr) || Utf8(engine.m_spSink->text) != in.expected) {
            std::fprintf(stderr, "our %s expansion differs from w1_expected.html\n", direct ? "direct" : "parsed");
            return false;
        }
    }

    // The peer's dictionary holds the same values; the table rows are a section, one per row.
    in.peerDictionary = new ctemplate::TemplateDictionary("w1");
    std::map<int, ctemplate::TemplateDictionary*> rows;
    for (const auto& [name, value] : model) {
        const std::string n = Utf8(name), v = Utf8(value);
        if (n.size() == 5 && n[0] == 'r' && n[3] == '_') {
            const int row = std::stoi(n.substr(1, 2));
            auto& dict = rows[row];
            if (dict == nullptr) dict = in.peerDictionary->AddSectionDictionary("rows");
            dict->SetValue(n.substr(4), v);
        } else {
            in.peerDictionary->SetValue(n, v);
        }
    }
    in.peerParsed = ctemplate::Template::StringToTemplate(in.peerPage, ctemplate::DO_NOT_STRIP);
    std::string out;
    if (in.peerParsed == nullptr || !in.peerParsed->Expand(&out, in.peerDictionary) || out != in.expected) {
        std::fprintf(stderr, "ctemplate's expansion differs from w1_expected.html\n");
        return false;
    }
    return true;
}

void SetupBytes() {
    Inputs& in = In();
    in.shortText = ReadFile("w7_short.txt");
    in.megabyte = LargeText();
    // xorshift64*: random enough for these inputs, and quick to make 16 MiB of.
    uint64_t x = 0x9E3779B97F4A7C15ull;
    in.random16M.resize(16u << 20);
    for (size_t i = 0; i < in.random16M.size(); i += 8) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        const uint64_t v = x * 0x2545F4914F6CDD1Dull;
        std::memcpy(in.random16M.data() + i, &v, 8);
    }
    in.random4K.assign(in.random16M.begin(), in.random16M.begin() + 4096);
    in.random64.assign(in.random16M.begin(), in.random16M.begin() + 64);
}

// ---- Template engine ---------------------------------------------------------------------

void W2_Parse_Vesk(benchmark::State& state) {
    CEngine engine(CEngine::Store::Script, In().script, nullptr);
    for (auto _ : state) {
        CTemplate* tmpl = new CTemplate;
        benchmark::DoNotOptimize(engine.Parse(In().page, *tmpl));
        tmpl->Release();
    }
}
void W2_Parse_Peer(benchmark::State& state) {
    for (auto _ : state) {
        ctemplate::Template* tmpl = ctemplate::Template::StringToTemplate(In().peerPage, ctemplate::DO_NOT_STRIP);
        benchmark::DoNotOptimize(tmpl);
        delete tmpl;
    }
}

void W1_Parsed_Vesk(benchmark::State& state) {
    CEngine engine(CEngine::Store::Script, In().script, nullptr);
    engine.m_spSink->text.reserve(In().expected.size());
    for (auto _ : state) {
        engine.m_spSink->Clear();
        benchmark::DoNotOptimize(engine.Process(*In().parsed));
    }
}
void W1_Parsed_Peer(benchmark::State& state) {
    std::string out;
    out.reserve(In().expected.size());
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(In().peerParsed->Expand(&out, In().peerDictionary));
    }
}

void W1_Direct_Vesk(benchmark::State& state) {
    CEngine engine(CEngine::Store::Script, In().script, nullptr);
    engine.m_spSink->text.reserve(In().expected.size());
    for (auto _ : state) {
        engine.m_spSink->Clear();
        benchmark::DoNotOptimize(engine.Process(In().page.m_str));
    }
}
void W1_Direct_Peer(benchmark::State& state) {
    std::string out;
    out.reserve(In().expected.size());
    for (auto _ : state) {
        out.clear();
        ctemplate::Template* tmpl = ctemplate::Template::StringToTemplate(In().peerPage, ctemplate::DO_NOT_STRIP);
        benchmark::DoNotOptimize(tmpl->Expand(&out, In().peerDictionary));
        delete tmpl;
    }
}

// ---- Encoders ----------------------------------------------------------------------------

const std::string& TextOf(int64_t which) { return which == 0 ? In().shortText : In().megabyte; }

// The members, as a script calls them: a string in, a string out.
template <HRESULT (*Encode)(VARIANT*, long, BSTR*)>
void EncodeMember(benchmark::State& state) {
    const std::string& text = TextOf(state.range(0));
    CComBSTR input(std::wstring(text.begin(), text.end()).c_str());
    for (auto _ : state) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = input.m_str;
        BSTR out = nullptr;
        Encode(&v, 0, &out);
        benchmark::DoNotOptimize(out);
        SysFreeString(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void URLEncode_Vesk(benchmark::State& state) { EncodeMember<CUtilityOps::URLEncode>(state); }
void Base64Encode_Vesk(benchmark::State& state) { EncodeMember<CUtilityOps::Base64Encode>(state); }
void HTMLEncode_Vesk(benchmark::State& state) {
    const std::string& text = TextOf(state.range(0));
    CComBSTR input(std::wstring(text.begin(), text.end()).c_str());
    for (auto _ : state) {
        BSTR out = nullptr;
        CUtilityOps::HTMLEncode(input, &out);
        benchmark::DoNotOptimize(out);
        SysFreeString(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void Escape(benchmark::State& state, const ctemplate::TemplateModifier& modifier) {
    const std::string& text = TextOf(state.range(0));
    for (auto _ : state) {
        std::string out = modifier(text.data(), text.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void URLEncode_Peer(benchmark::State& state) { Escape(state, ctemplate::url_query_escape); }
void HTMLEncode_Peer(benchmark::State& state) { Escape(state, ctemplate::html_escape); }

// OpenSSL's block encoder writes into the caller's buffer; a fresh buffer per call, as the
// member allocates its string.
void EncodeBlock(benchmark::State& state, const BYTE* bytes, size_t count) {
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> out(new unsigned char[(count + 2) / 3 * 4 + 1]);
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.get(), bytes, int(count)));
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(count));
}
void Base64Encode_Peer(benchmark::State& state) {
    const std::string& text = TextOf(state.range(0));
    EncodeBlock(state, reinterpret_cast<const BYTE*>(text.data()), text.size());
}

// The decoder member: Base64 text in, the decoded UTF-8 converted to a string out.
void Base64Decode_Vesk(benchmark::State& state) {
    const std::string& text = In().megabyte;
    CComBSTR plain(std::wstring(text.begin(), text.end()).c_str());
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = plain.m_str;
    CComBSTR encoded;
    CUtilityOps::Base64Encode(&v, 0, &encoded.m_str);
    for (auto _ : state) {
        VARIANT decoded;
        CUtilityOps::Base64Decode(encoded, 0, &decoded);
        benchmark::DoNotOptimize(decoded.bstrVal);
        VariantClear(&decoded);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void Base64Decode_Peer(benchmark::State& state) {
    const std::string& text = In().megabyte;
    std::string encoded((text.size() + 2) / 3 * 4 + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), reinterpret_cast<const BYTE*>(text.data()),
                    int(text.size()));
    encoded.pop_back();
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> out(new unsigned char[encoded.size() / 4 * 3]);
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(out.get(), reinterpret_cast<const unsigned char*>(encoded.data()), int(encoded.size())));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// The shim's codec on 16 MiB of random bytes, into buffers made once.
void CodecEncode_Vesk(benchmark::State& state) {
    const std::vector<BYTE>& bytes = In().random16M;
    DWORD count = 0;
    CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), CRYPT_STRING_BASE64, nullptr, &count);
    std::vector<wchar_t> text(count);
    for (auto _ : state) {
        DWORD room = count;
        benchmark::DoNotOptimize(
            CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), CRYPT_STRING_BASE64, text.data(), &room));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
void CodecEncode_Peer(benchmark::State& state) {
    const std::vector<BYTE>& bytes = In().random16M;
    std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) benchmark::DoNotOptimize(EVP_EncodeBlock(text.data(), bytes.data(), int(bytes.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
void CodecDecode_Vesk(benchmark::State& state) {
    const std::vector<BYTE>& bytes = In().random16M;
    DWORD count = 0;
    CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), CRYPT_STRING_BASE64, nullptr, &count);
    std::vector<wchar_t> text(count);
    CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), CRYPT_STRING_BASE64, text.data(), &count);
    std::vector<BYTE> out(bytes.size());
    for (auto _ : state) {
        DWORD room = DWORD(out.size());
        benchmark::DoNotOptimize(CryptStringToBinaryW(text.data(), count - 1, CRYPT_STRING_BASE64, out.data(), &room,
                                                      nullptr, nullptr));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
void CodecDecode_Peer(benchmark::State& state) {
    const std::vector<BYTE>& bytes = In().random16M;
    std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
    const int length = EVP_EncodeBlock(text.data(), bytes.data(), int(bytes.size()));
    std::vector<unsigned char> out(bytes.size() + 3);
    for (auto _ : state) benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), text.data(), length));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// ---- Digests -----------------------------------------------------------------------------

const std::vector<BYTE>& BytesOf(int64_t which) { return which == 0 ? In().random4K : In().random16M; }

// Through the shim's hash provider, as the members use it.
void ShimDigest(benchmark::State& state, ALG_ID algorithm) {
    const std::vector<BYTE>& bytes = BytesOf(state.range(0));
    for (auto _ : state) {
        HCRYPTPROV provider = 0;
        HCRYPTHASH hash = 0;
        BYTE value[20];
        DWORD size = sizeof value;
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        CryptCreateHash(provider, algorithm, 0, 0, &hash);
        CryptHashData(hash, bytes.data(), DWORD(bytes.size()), 0);
        CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0);
        benchmark::DoNotOptimize(value);
        CryptDestroyHash(hash);
        CryptReleaseContext(provider, 0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
void OpenSslDigest(benchmark::State& state, const EVP_MD* md, const std::vector<BYTE>& bytes) {
    for (auto _ : state) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_Digest(bytes.data(), bytes.size(), value, &size, md, nullptr);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
void MD5_Vesk(benchmark::State& state) { ShimDigest(state, CALG_MD5); }
void SHA1_Vesk(benchmark::State& state) { ShimDigest(state, CALG_SHA1); }
void MD5_Peer(benchmark::State& state) { OpenSslDigest(state, EVP_md5(), BytesOf(state.range(0))); }
void SHA1_Peer(benchmark::State& state) { OpenSslDigest(state, EVP_sha1(), BytesOf(state.range(0))); }

// The MD5 member called late-bound on the utility object, 64 bytes in a byte array.
void LateBoundMD5_Vesk(benchmark::State& state) {
    CComPtr<IDispatch> util;
    g_oCF_Utility.CreateInstance(nullptr, IID_IDispatch, util.ReceiveVoid());
    DISPID id = DISPID_UNKNOWN;
    automation::GetMemberId(util.Get(), L"MD5", &id);
    CComVariant input;
    input.vt = VT_ARRAY | VT_UI1;
    input.parray = SafeArrayCreateVector(VT_UI1, 0, 64);
    std::copy(In().random64.begin(), In().random64.end(), static_cast<BYTE*>(input.parray->pvData));
    for (auto _ : state) {
        CComVariant args[2] = {automation::ByRef(&input), CComVariant()};
        args[1].SetI4(0);
        CComVariant result;
        automation::InvokeById(util.Get(), id, DISPATCH_METHOD, args, &result);
        benchmark::DoNotOptimize(result.bstrVal);
    }
}
void LateBoundMD5_Peer(benchmark::State& state) { OpenSslDigest(state, EVP_md5(), In().random64); }

// ---- The table ---------------------------------------------------------------------------

struct Row {
    const char* label;
    const char* name;  // the pair's benchmark names are name + "/vesk" and name + "/peer"
    const char* peer;
    double goal;       // the ratio we aim at, 0 when none is set
};

constexpr Row kRows[] = {
    {"W2 parse the reference page", "W2_parse", "ctemplate StringToTemplate", 1.5},
    {"W1 parsed expansion, script values via IDispatch", "W1_parsed", "ctemplate cached Expand", 1.0},
    {"W1 direct expansion (one write per character)", "W1_direct", "ctemplate parse + Expand", 1.0},
    {"Base64Encode member, 1 MiB text", "Base64Encode_1MiB", "OpenSSL EVP_EncodeBlock", 0.5},
    {"Base64Decode member, 1 MiB payload", "Base64Decode_1MiB", "OpenSSL EVP_DecodeBlock", 0.5},
    {"shim Base64 encoder, 16 MiB", "Codec_encode_16MiB", "OpenSSL EVP_EncodeBlock", 1.0},
    {"shim Base64 decoder, 16 MiB", "Codec_decode_16MiB", "OpenSSL EVP_DecodeBlock", 1.0},
    {"URLEncode 1 MiB", "URLEncode_1MiB", "ctemplate url_query_escape", 2.5},
    {"URLEncode 32 chars", "URLEncode_32", "ctemplate url_query_escape", 0},
    {"HTMLEncode 1 MiB", "HTMLEncode_1MiB", "ctemplate html_escape", 4.0},
    {"HTMLEncode 32 chars", "HTMLEncode_32", "ctemplate html_escape", 0},
    {"late-bound MD5 of 64 bytes", "LateBoundMD5_64", "OpenSSL EVP_Digest", 0.5},
    {"MD5 4 KiB (shim hash provider)", "MD5_4KiB", "OpenSSL EVP_Digest", 0.95},
    {"MD5 16 MiB (shim hash provider)", "MD5_16MiB", "OpenSSL EVP_Digest", 0.95},
    {"SHA-1 4 KiB (shim hash provider)", "SHA1_4KiB", "OpenSSL EVP_Digest", 0.9},
    {"SHA-1 16 MiB (shim hash provider)", "SHA1_16MiB", "OpenSSL EVP_Digest", 0.9},
};

void RegisterPair(const std::string& name, void (*vesk)(benchmark::State&), void (*peer)(benchmark::State&),
                  int64_t arg = -1) {
    auto* a = benchmark::RegisterBenchmark((name + "/vesk").c_str(), vesk);
    auto* b = benchmark::RegisterBenchmark((name + "/peer").c_str(), peer);
    if (arg >= 0) {
        a->Arg(arg);
        b->Arg(arg);
    }
    for (auto* bm : {a, b}) bm->Unit(benchmark::kMicrosecond);
}

void RegisterAll() {
    RegisterPair("W2_parse", W2_Parse_Vesk, W2_Parse_Peer);
    RegisterPair("W1_parsed", W1_Parsed_Vesk, W1_Parsed_Peer);
    RegisterPair("W1_direct", W1_Direct_Vesk, W1_Direct_Peer);
    RegisterPair("Base64Encode_1MiB", Base64Encode_Vesk, Base64Encode_Peer, 1);
    RegisterPair("Base64Decode_1MiB", Base64Decode_Vesk, Base64Decode_Peer);
    RegisterPair("Codec_encode_16MiB", CodecEncode_Vesk, CodecEncode_Peer);
    RegisterPair("Codec_decode_16MiB", CodecDecode_Vesk, CodecDecode_Peer);
    RegisterPair("URLEncode_1MiB", URLEncode_Vesk, URLEncode_Peer, 1);
    RegisterPair("URLEncode_32", URLEncode_Vesk, URLEncode_Peer, 0);
    RegisterPair("HTMLEncode_1MiB", HTMLEncode_Vesk, HTMLEncode_Peer, 1);
    RegisterPair("HTMLEncode_32", HTMLEncode_Vesk, HTMLEncode_Peer, 0);
    RegisterPair("LateBoundMD5_64", LateBoundMD5_Vesk, LateBoundMD5_Peer);
    RegisterPair("MD5_4KiB", MD5_Vesk, MD5_Peer, 0);
    RegisterPair("MD5_16MiB", MD5_Vesk, MD5_Peer, 1);
    RegisterPair("SHA1_4KiB", SHA1_Vesk, SHA1_Peer, 0);
    RegisterPair("SHA1_16MiB", SHA1_Vesk, SHA1_Peer, 1);
}

// Collects the CPU time of every repetition and prints the pairs as one table at the end.
class CTableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            std::string name = run.run_name.str();
            // "URLEncode_1MiB/vesk/1" -> "URLEncode_1MiB/vesk"
            const size_t side = name.find_last_of('/');
            if (side != std::string::npos && name.find_first_not_of("0123456789", side + 1) == std::string::npos)
                name.erase(side);
            const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            m_times[name].push_back(seconds);
        }
    }
    void Finalize() override {
        std::printf("\n%-52s %12s %12s %8s %6s  %s\n", "Workload", "Vesk", "peer", "ratio", "goal", "peer");
        for (const Row& row : kRows) {
            const double ours = Median(std::string(row.name) + "/vesk");
            const double peer = Median(std::string(row.name) + "/peer");
            const double ratio = ours > 0 ? peer / ours : 0;
            char goal[16] = "-";
            if (row.goal > 0) std::snprintf(goal, sizeof goal, "%.2f", row.goal);
            std::printf("%-52s %12s %12s %7.2fx %6s  %s%s\n", row.label, Show(ours).c_str(), Show(peer).c_str(), ratio,
                        goal, row.peer, row.goal > 0 && ratio < row.goal ? "  (below goal)" : "");
        }
        std::printf("ratio = peer time / our time, medians of %zu interleaved repetitions, CPU time\n",
                    m_times.empty() ? size_t(0) : m_times.begin()->second.size());
    }

private:
    double Median(const std::string& name) {
        std::vector<double>& v = m_times[name];
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    static std::string Show(double seconds) {
        char text[32];
        if (seconds >= 1e-3) std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
        else if (seconds >= 1e-6) std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
        else std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
        return text;
    }
    std::map<std::string, std::vector<double>> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    // Unless told otherwise: interleaved repetitions, enough of them for a median.
    std::vector<char*> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=5", interleave = "--benchmark_enable_random_interleaving=true",
                minTime = "--benchmark_min_time=0.2";
    auto given = [&](const char* flag) {
        return std::any_of(argv + 1, argv + argc, [&](const char* a) { return std::strncmp(a, flag, std::strlen(flag)) == 0; });
    };
    if (!given("--benchmark_repetitions")) args.push_back(reps.data());
    if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleave.data());
    if (!given("--benchmark_min_time")) args.push_back(minTime.data());
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (!SetupTemplates()) return 1;
    SetupBytes();
    RegisterAll();
    CTableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    In().parsed->Release();
    delete In().peerParsed;
    delete In().peerDictionary;
    delete In().script;
    return 0;
}
