// The platform shim on real files and real threads: registry, module, files, paths, comparisons,
// locks, text and bounded CRT functions, digests against the published vectors, the hash object
// and the Base64 codec.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "shim/shim.h"

namespace fs = std::filesystem;

namespace {

uint64_t value_of(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// "-" for a buffer still holding its z's, else every character of it with '.' for NUL.
template <class C, size_t N>
std::string shown(const C (&buffer)[N]) {
    std::string text;
    for (C c : buffer) text += c ? char(c) : '.';
    return (text == std::string(N - 1, 'z') + "." ? "-" : text) + "|";
}

std::string hex(const BYTE* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += {"0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    return text;
}

const BYTE* bytes_of(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

// Both directions go through a size query, a buffer one short (refused, but told the size) and
// an exactly sized buffer; a failure shows as "<...>".
std::wstring encode(const std::string& bytes) {
    const BYTE* data = bytes_of(bytes);
    DWORD count = DWORD(bytes.size()), size = 0;
    if (!CryptBinaryToStringW(data, count, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &size)) return L"<query>";
    std::wstring text(size, L'?');  // the NUL is counted
    DWORD oneShort = size - 1;
    if (CryptBinaryToStringW(data, count, CRYPT_STRING_BASE64, text.data(), &oneShort) || oneShort != size) return L"<short>";
    const BOOL ok = CryptBinaryToStringW(data, count, CRYPT_STRING_BASE64, text.data(), &size);
    return ok && size == text.size() ? text.substr(0, size - 1) : L"<failed>";
}

std::string decode(const wchar_t* text, DWORD count = 0) {
    const auto call = [&](BYTE* out, DWORD* size) {
        return CryptStringToBinaryW(text, count, CRYPT_STRING_BASE64, out, size, nullptr, nullptr);
    };
    DWORD size = 77;
    if (!call(nullptr, &size)) return size ? "<size kept>" : "<failed>";
    std::string bytes(size, '?');
    DWORD oneShort = size - 1;
    BYTE* out = reinterpret_cast<BYTE*>(bytes.data());
    if (call(out, &oneShort) || oneShort != size) return "<short>";
    return call(out, &size) ? bytes : "<failed>";
}

// <root>/a/b/page.html, with <root> the working directory.
struct ShimFiles : testing::Test {
    char pattern[22] = "/tmp/vesk-shim-XXXXXX";
    fs::path previous = fs::current_path(), root = fs::canonical(mkdtemp(pattern)), page = root / "a" / "b" / "page.html";
    void SetUp() override {
        fs::create_directories(page.parent_path());
        std::ofstream(page) << "<p>";
        fs::current_path(root);
    }
    void TearDown() override { fs::current_path(previous); fs::remove_all(root); }
};

}  // namespace

TEST(ShimRegistry, CallsSucceedAndLeaveNoTrace) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &key) + RegDeleteKeyW(HKEY_CLASSES_ROOT, L"Vesk"), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(ShimFiles, HandlesTimesAndCanonicalPaths) {
    const std::wstring tooLong(1100, L'n');
    for (const wchar_t* name : {L"missing.html", static_cast<const wchar_t*>(nullptr), tooLong.c_str()})
        EXPECT_EQ(CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE) + GetFileTime(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr), FALSE);

    const utimbuf oneSecondPastEpoch{1, 1};
    ASSERT_EQ(utime(page.c_str(), &oneSecondPastEpoch), 0);
    const std::wstring backslashed = root.wstring() + L"\\a\\b\\page.html";
    HANDLE file = CreateFileW(backslashed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME created{}, accessed{}, written{};
    ASSERT_EQ(GetFileTime(file, nullptr, nullptr, &written) + GetFileTime(file, &created, &accessed, nullptr), 2);
    EXPECT_EQ(value_of(written), 116'444'736'010'000'000u);
    EXPECT_EQ(value_of(accessed), 116'444'736'010'000'000u);
    EXPECT_EQ(CloseHandle(file), TRUE);
    const struct { FILETIME a, b; LONG expected; } cases[] = {
        {{0xFFFFFFFF, 0}, {0, 1}, -1}, {{0, 1}, {0xFFFFFFFF, 0}, 1}, {{5, 0x80000000}, {5, 0x80000000}, 0}, {{4, 2}, {5, 2}, -1},
        {created, written, 1}};  // the status changed just now
    for (const auto& c : cases) EXPECT_EQ(CompareFileTime(&c.a, &c.b), c.expected) << value_of(c.a);
    EXPECT_EQ(CompareFileTime(nullptr, &written) | CompareFileTime(&written, nullptr), 0);

    wchar_t out[MAX_PATH] = L"";
    EXPECT_EQ(PathCanonicalizeW(out, L"a\\b\\..\\b\\page.html") ? std::wstring(out) : L"<failed>", page.wstring());
    const std::wstring deep = (root / std::string(250, 'd')).wstring();  // exists, but longer than MAX_PATH
    fs::create_directory(deep);
    for (const wchar_t* path : {L"a\\missing.html", static_cast<const wchar_t*>(nullptr), deep.c_str()})
        EXPECT_EQ(PathCanonicalizeW(out, path), FALSE);
    EXPECT_EQ(PathCanonicalizeW(nullptr, L"a"), FALSE);
    EXPECT_EQ(std::wstring(out), page.wstring());  // failures leave the buffer alone
}

// Times keep the part of a second the file system holds, in whole 100 ns units; a whole second
// gives the same value as before.
TEST_F(ShimFiles, FileTimesKeepTheSubSecondPart) {
    const struct { timespec time; uint64_t expected; } cases[] = {
        {{1, 0}, 116'444'736'010'000'000u}, {{1, 500'000'000}, 116'444'736'015'000'000u},
        {{1, 123'456'789}, 116'444'736'011'234'567u}, {{1'700'000'000, 999'999'999}, 133'444'736'009'999'999u}};
    for (const auto& c : cases) {
        const timespec times[2] = {c.time, c.time};
        ASSERT_EQ(utimensat(AT_FDCWD, page.c_str(), times, 0), 0);
        HANDLE file = CreateFileW(page.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME accessed{}, written{};
        ASSERT_EQ(GetFileTime(file, nullptr, &accessed, &written), TRUE);
        EXPECT_EQ(value_of(written), c.expected) << c.time.tv_nsec;
        EXPECT_EQ(value_of(accessed), c.expected) << c.time.tv_nsec;
        CloseHandle(file);
    }
}

// Only regular files open: a directory is refused, and a named pipe at once instead of waiting
// for a writer. Should an open wait, a writer comes after five seconds, so the test fails
// rather than hangs.
TEST_F(ShimFiles, OpensOnlyRegularFilesNeverWaitingOnAPipe) {
    ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
    for (const fs::path& path : {root / "pipe", root / "a"}) {
        SCOPED_TRACE(path);
        const std::wstring name = path.wstring();
        auto opening = std::async(std::launch::async, [&] {
            return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        });
        if (opening.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            ADD_FAILURE() << "the open waited";
            close(open(path.c_str(), O_WRONLY));
        }
        HANDLE file = opening.get();
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
}

TEST(ShimCompare, BoundedCaseInsensitiveWithSeparators) {
    const struct { const wchar_t *a, *b; size_t n; int expected; } cases[] = {
        {L"C:\\Web\\Pages\\X.HTML", L"c:/web/pages/x.html", 19, 0}, {L"ab", L"abc", 3, -1}, {L"abc", L"ab", 3, 1},
        {L"abX", L"abY", 2, 0}, {L"abX", L"aby", 3, -1}, {L"abz", L"ABY", 3, 1}, {L"/", L"a", 1, -1}, {L"ab", L"ab", 10, 0},
        {L"a", L"b", 0, 0}, {nullptr, nullptr, 1, 0}, {nullptr, L"a", 1, -1}, {L"a", nullptr, 1, 1}};
    for (const auto& c : cases) EXPECT_EQ(_wcsnicmp(c.a, c.b, c.n), c.expected) << (c.a ? c.a : L"(null)");
    EXPECT_NE(_wcsicmp(L"OnDraw__Input", L"ondraw__input"), 0);  // exact case only
    EXPECT_LT(_wcsicmp(nullptr, L""), 0);
}

TEST(ShimSync, CountersAndSectionsHoldUnderThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    volatile long atomicCount = 0;
    long guardedCount = 0;
    const auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            InterlockedIncrement(&atomicCount);
            EnterCriticalSection(&section);
            ++guardedCount;
            LeaveCriticalSection(&section);
        }
    };
    std::thread threads[] = {std::thread(work), std::thread(work), std::thread(work), std::thread(work)};
    for (auto& t : threads) t.join();
    DeleteCriticalSection(&section);
    EXPECT_EQ(atomicCount, 80000);
    EXPECT_EQ(guardedCount, 80000);
    volatile long wide = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&wide), 0x80000000L);
    EXPECT_EQ(InterlockedDecrement(&wide), 0x7FFFFFFFL);
}

// Each row gets fresh buffers of z's and an out number of 9, and shows its result and what it
// left in them ("-" for untouched), so writing too little, too much or past a bound all show.
TEST(ShimCalls, ResultsAndWhatTheyLeaveInBuffers) {
    const struct { const char* call; std::function<long long(wchar_t*, char*, size_t*)> run; const char* expected; } cases[] = {
        {"module name size 0", [](auto w, auto...) { return GetModuleFileNameW(nullptr, w, 0); }, "0|-|-|9"},
        {"module name", [](auto w, auto...) { return GetModuleFileNameW(nullptr, w, 7); }, "0|.zzzzz.|-|9"},
        {"LCMap query", [](auto...) { return LCMapStringW(0x110000, 1, L"HeLlo", 5, nullptr, 9); }, "5|-|-|9"},
        {"LCMap exact", [](auto w, auto...) { return LCMapStringW(0, 0, L"HeLlo", 5, w, 5); }, "5|HeLloz.|-|9"},
        {"LCMap room", [](auto w, auto...) { return LCMapStringW(0, 0, L"HeLlo", 5, w, 7); }, "5|HeLlo..|-|9"},
        {"LCMap short", [](auto w, auto...) { return LCMapStringW(0, 0, L"HeLlo", 5, w, 3); }, "3|HeLzzz.|-|9"},
        {"LCMap null", [](auto w, auto...) { return LCMapStringW(0, 0, nullptr, 5, w, 7); }, "0|-|-|9"},
        {"FormatMessage", [](auto w, auto...) { return FormatMessageW(0x1000, nullptr, 5, 0, w, 7, nullptr); }, "0|.zzzzz.|-|9"},
        {"swprintf fits", [](auto w, auto...) { return swprintf_s(w, 3, L"%02x", 0xAB); }, "0|ab.zzz.|-|9"},
        {"swprintf overflow", [](auto w, auto...) { return swprintf_s(w, 3, L"%d", 12345); }, "1|.2zzzz.|-|9"},  // emptied
        {"swprintf null", [](auto...) { return swprintf_s(nullptr, 3, L"%d", 1); }, "1|-|-|9"},
        {"sscanf hex", [](auto, auto, auto out) { return sscanf_s("4A", "%zx", out); }, "1|-|-|74"},
        {"sscanf null", [](auto, auto, auto out) { return sscanf_s(nullptr, "%zx", out); }, "-1|-|-|9"},
        {"memcpy fits", [](auto, auto n, auto) { return memcpy_s(n, 4, "abcd", 4); }, "0|-|abcdzz.|9"},
        {"memcpy oversize", [](auto, auto n, auto) { return memcpy_s(n, 4, "abcdef", 6); }, "34|-|....zz.|9"},
        {"memcpy null", [](auto...) { return memcpy_s(nullptr, 4, "a", 1); }, "22|-|-|9"},
        {"wcstombs folds", [](auto, auto n, auto out) { return wcstombs_s(out, n, L"caf\u00e9", 7); }, "0|-|cafi.z.|5"},
        {"wcstombs bound", [](auto, auto n, auto out) { return wcstombs_s(out, n, L"abcdefghij", 4); }, "0|-|abc.zz.|4"},
        {"wcstombs only NUL", [](auto, auto n, auto out) { return wcstombs_s(out, n, L"abc", 1); }, "0|-|.zzzzz.|1"},
        {"wcstombs count 0", [](auto, auto n, auto out) { return wcstombs_s(out, n, L"abc", 0); }, "1|-|-|9"},
        {"wcstombs no buffer", [](auto, auto, auto out) { return wcstombs_s(out, nullptr, L"a", 4); }, "1|-|-|9"}};
    for (const auto& c : cases) {
        wchar_t w[7] = L"zzzzzz";
        char n[7] = "zzzzzz";
        size_t out = 9;
        const long long result = c.run(w, n, &out);
        EXPECT_EQ(std::to_string(result) + "|" + shown(w) + shown(n) + std::to_string(out), c.expected) << c.call;
    }
}


TEST(ShimDigest, PublishedVectors) {
    const struct { std::string message; const char *md5, *sha1; } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        // The padding fits the last block, just fits, or spills into another one.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65", "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218", "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5", "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367", "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435", "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
    for (const auto& c : cases) {
        EXPECT_EQ(hex(zul_compat::md5_digest(bytes_of(c.message), c.message.size()).data(), 16), c.md5) << c.message.size();
        EXPECT_EQ(hex(zul_compat::sha1_digest(bytes_of(c.message), c.message.size()).data(), 20), c.sha1) << c.message.size();
    }
}

// The processor's SHA-1 instructions and the portable code compress alike, whatever the
// block count; where the processor has none, the call says so and changes nothing.
TEST(ShimDigest, Sha1InstructionsMatchPortableCode) {
    std::mt19937 random(2026);
    for (size_t blocks : {1u, 2u, 3u, 17u, 64u}) {
        for (int trial = 0; trial < 8; ++trial) {
            std::vector<BYTE> data(blocks * 64);
            for (BYTE& b : data) b = static_cast<BYTE>(random());
            uint32_t portable[5], instructions[5];
            for (int i = 0; i < 5; ++i) portable[i] = instructions[i] = random();
            const uint32_t before = instructions[0];
            zul_compat::sha1_compress_portable(portable, data.data(), blocks);
            const bool used = zul_compat::sha1_compress_instructions(instructions, data.data(), blocks);
            EXPECT_EQ(used, zul_compat::sha1_has_instructions());
            if (used) {
                EXPECT_EQ(std::vector<uint32_t>(instructions, instructions + 5), std::vector<uint32_t>(portable, portable + 5))
                    << blocks << " blocks";
            } else {
                EXPECT_EQ(instructions[0], before);
            }
        }
    }
}

// A message given to a running context in pieces of any size digests as the whole message at
// once, and reading the value midway changes nothing that follows.
TEST(ShimDigest, PiecesDigestAsTheWholeMessage) {
    std::mt19937 random(13);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<BYTE> message(random() % 700);
        for (BYTE& b : message) b = static_cast<BYTE>(random());
        zul_compat::DigestContext md5, sha1;
        zul_compat::md5_start(md5);
        zul_compat::sha1_start(sha1);
        size_t at = 0;
        while (at < message.size()) {
            const size_t piece = std::min<size_t>(message.size() - at, random() % 130);
            zul_compat::md5_add(md5, message.data() + at, piece);
            zul_compat::sha1_add(sha1, message.data() + at, piece);
            at += piece;
            const auto midway = zul_compat::sha1_value(sha1);
            EXPECT_EQ(midway, zul_compat::sha1_digest(message.data(), at));
        }
        EXPECT_EQ(zul_compat::md5_value(md5), zul_compat::md5_digest(message.data(), message.size())) << message.size();
        EXPECT_EQ(zul_compat::sha1_value(sha1), zul_compat::sha1_digest(message.data(), message.size())) << message.size();
    }
}

TEST(ShimCrypt, HashObjectBuffersSplitDataAndRereads) {
    HCRYPTPROV provider = 0;
    ASSERT_EQ(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT), TRUE);
    const struct { ALG_ID algorithm; DWORD size; const char *abc, *abcd; } cases[] = {
        {CALG_MD5, 16, "900150983cd24fb0d6963f7d28e17f72", "e2fc714c4727ee9395f324cd2e7f331f"},
        {CALG_SHA1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d", "81fe8bfe87576c3ecb22426f8e57847382917acf"}};
    for (const auto& c : cases) {
        HCRYPTHASH hash = 0, sha256 = 1;
        ASSERT_EQ(CryptCreateHash(provider, c.algorithm, 0, 0, &hash), TRUE);
        BYTE value[20] = {};
        DWORD size = 0, tooSmall = 10;
        // "ab", no bytes and "c" are taken and the size query answers; the rest are refused, SHA-256
        // leaving a null handle. The size query and the refused small buffer both name the size.
        const std::vector<long long> results = {CryptHashData(hash, bytes_of("ab"), 2, 0), CryptHashData(hash, nullptr, 0, 0),
            CryptHashData(hash, bytes_of("c"), 1, 0), CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0),
            CryptGetHashParam(hash, HP_HASHVAL, value, &tooSmall, 0), CryptHashData(hash, nullptr, 1, 0),
            CryptHashData(0, bytes_of("a"), 1, 0), CryptCreateHash(0, c.algorithm, 0, 0, nullptr),
            CryptCreateHash(provider, 0x800C, 0, 0, &sha256), sha256 != 0, CryptGetHashParam(hash, 4, value, &size, 0),
            CryptGetHashParam(0, HP_HASHVAL, nullptr, &size, 0), CryptGetHashParam(hash, HP_HASHVAL, value, nullptr, 0), size, tooSmall};
        EXPECT_EQ(results, (std::vector<long long>{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, c.size, c.size}));
        for (const char* expected : {c.abc, c.abc, c.abcd}) {  // reading leaves the hash open
            if (expected == c.abcd) { EXPECT_EQ(CryptHashData(hash, bytes_of("d"), 1, 0), TRUE); }
            EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0), TRUE);
            EXPECT_EQ(hex(value, size), expected);
        }
        EXPECT_EQ(CryptDestroyHash(hash), TRUE);
    }
    EXPECT_EQ(CryptReleaseContext(provider, 0), TRUE);
}

// The vector encoder and the portable one write the same text for every length (the vector
// code stops 16 bytes short of the end and hands the rest on); what they write decodes back,
// in one call into a buffer with room to spare as well as through the size query, with white
// space anywhere, and a bad character anywhere refuses the whole text.
TEST(ShimBase64, VectorAndPortablePathsAgreeAndRoundTrip) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 260; length += 1 + length / 40) {
        std::string bytes(length, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        std::wstring portable(length / 3 * 4 + 5, L'?'), vector(portable.size(), L'?');
        zul_compat::base64_encode_portable(bytes_of(bytes), length, portable.data());
        const bool used = zul_compat::base64_encode_vector(bytes_of(bytes), length, vector.data());
        if (used) { EXPECT_EQ(vector, portable) << length; }
        const std::wstring text = encode(bytes);
        EXPECT_EQ(text, portable.c_str()) << length;
        if (length == 0) continue;
        EXPECT_EQ(decode(text.c_str()), bytes) << length;
        std::wstring spaced = text;
        for (int k = 0; k < 3; ++k) spaced.insert(random() % (spaced.size() + 1), 1, L" \t\r\n"[random() % 4]);
        EXPECT_EQ(decode(spaced.c_str()), bytes) << length;
        std::string roomy(length + 8, '#');
        DWORD room = DWORD(roomy.size());
        EXPECT_EQ(CryptStringToBinaryW(spaced.c_str(), 0, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(roomy.data()), &room,
                                       nullptr, nullptr), TRUE);
        EXPECT_EQ(roomy.substr(0, room), bytes);
        std::wstring spoiled = text;
        spoiled[random() % spoiled.size()] = L"*\u00e9-\u0141"[random() % 4];  // U+0141 ends in the byte of "A"
        EXPECT_EQ(decode(spoiled.c_str()), "<failed>") << length;
    }
}

// The decoder as the portable code alone runs it: one call per group of four characters,
// each into a buffer too small for the vector path. White space is dropped first so that the
// groups line up; padding inside the text is fine, since padded groups may follow each other.
std::string decode_by_groups(std::wstring text) {
    std::erase_if(text, [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; });
    if (text.empty() || text.size() % 4 != 0) return "<failed>";
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        BYTE out[3];
        DWORD room = 3;
        if (!CryptStringToBinaryW(text.c_str() + i, 4, CRYPT_STRING_BASE64, out, &room, nullptr, nullptr)) return "<failed>";
        bytes.append(reinterpret_cast<const char*>(out), room);
    }
    return bytes;
}

// One call into a buffer with room to spare, where the vector path takes whole blocks.
std::string decode_roomy(const std::wstring& text) {
    std::string bytes(text.size() + 32, '#');
    DWORD room = DWORD(bytes.size());
    if (!CryptStringToBinaryW(text.c_str(), DWORD(text.size()), CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()),
                              &room, nullptr, nullptr)) {
        return "<failed>";
    }
    return bytes.substr(0, room);
}

// The vector decoder takes every whole block of sixteen digits, at any alignment of the text,
// and gives the bytes the portable code gives; it stops short of the block that holds anything
// else and of the last 16 bytes of room.
TEST(ShimBase64, VectorDecoderTakesWholeBlocksOfDigits) {
    std::mt19937 random(11);
    for (size_t length = 0; length <= 100; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        const std::wstring text = encode(bytes);
        for (size_t shift = 0; shift < 4; ++shift) {
            const std::wstring moved = std::wstring(shift, L'A') + text;
            std::vector<BYTE> out(moved.size() + 16, 0xEE);
            const size_t done = zul_compat::base64_decode_vector(moved.c_str() + shift, text.size(), out.data(), out.size());
            if (done == 0) continue;  // no vector path here
            const size_t digits = length / 3 * 4;  // the padded group, if any, is left over
            EXPECT_EQ(done, digits / 16 * 16) << length;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), done / 4 * 3), bytes.substr(0, done / 4 * 3));
            const size_t cut = zul_compat::base64_decode_vector(moved.c_str() + shift, text.size(), out.data(), 16 + 11);
            EXPECT_EQ(cut, std::min<size_t>(done, 16)) << length;
        }
        if (length != 0) { EXPECT_EQ(decode_roomy(text), bytes) << length; }
    }
}

// Anything but a digit at any place of a block stops the vector path there, and the whole
// text decodes as the portable code decodes it: every byte value, characters past 255 whose
// low byte is a digit, and negative ones.
TEST(ShimBase64, VectorDecoderStopsAtEveryNonDigit) {
    std::mt19937 random(12);
    std::string bytes(48, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const std::wstring text = encode(bytes);  // 64 digits, four blocks
    std::vector<wchar_t> odd;
    for (int c = 0; c < 256; ++c) odd.push_back(wchar_t(c));
    for (wchar_t c : {wchar_t(0x141), wchar_t(0x10041), wchar_t(0x7FFFFF30), wchar_t(-1), wchar_t(-0xBF), wchar_t(0xFFFFFF2F)}) odd.push_back(c);
    for (wchar_t c : odd) {
        for (size_t at = 0; at < 32; ++at) {
            std::wstring spoiled = text;
            spoiled[at] = c;
            std::vector<BYTE> out(80);
            const size_t done = zul_compat::base64_decode_vector(spoiled.c_str(), spoiled.size(), out.data(), out.size());
            const bool digit = text.find(c) != std::wstring::npos || (c != 0 && std::wcschr(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", c));
            if (done != 0 || at >= 16) { EXPECT_EQ(done, digit ? 64 : at / 16 * 16) << int(c) << " at " << at; }
            if (c == 0) continue;  // the text ends there: the roomy call and the groups read differently
            EXPECT_EQ(decode_roomy(spoiled), decode_by_groups(spoiled)) << int(c) << " at " << at;
        }
    }
}

// White space and padding anywhere, singly and in runs, give the same result through the
// vector path as through the portable code.
TEST(ShimBase64, VectorDecoderKeepsSpaceAndPaddingRules) {
    std::mt19937 random(13);
    for (int round = 0; round < 400; ++round) {
        std::string bytes(random() % 90, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        std::wstring text = encode(bytes) + (round % 3 == 0 ? encode("xy") : L"");
        const int inserts = 1 + int(random() % 4);
        for (int k = 0; k < inserts; ++k) {
            const size_t at = random() % (text.size() + 1);
            text.insert(at, 1 + random() % 3, L" \t\r\n="[random() % 5]);
        }
        EXPECT_EQ(decode_roomy(text), decode_by_groups(text)) << round;
    }
}

TEST(ShimBase64, BothWaysAndRejects) {
    const struct { std::string bytes; const wchar_t* text; DWORD count; bool encodes; } cases[] = {
        {"f", L"Zg==", 0, true}, {"fo", L"Zm8=", 0, true}, {"foo", L"Zm9v", 0, true}, {"foob", L"Zm9vYg==", 0, true},  // RFC 4648
        {"fooba", L"Zm9vYmE=", 0, true}, {"foobar", L"Zm9vYmFy", 0, true}, {"\xff", L"/w==", 0, true},
        {"\xfb\xff", L"+/8=", 0, true}, {"", L"", 0, true},  // nothing encodes to nothing, but is no Base64 text
        {"abca", L"YWJj\r\nYQ==", 0, false}, {"abc", L" YW\tJj \n", 0, false}, {"aabc", L"YQ==YWJj", 0, false},
        {"foo", L"Zm9vYmFy", 4, false}, {"foo", L"Zm9v\0Zm9v", 8, false}, {"<failed>", L"YW", 0, false},
        {"<failed>", L"Y=Jj", 0, false}, {"<failed>", L"YWJ*", 0, false}, {"<failed>", L" \r\n", 0, false},
        {"<failed>", L"YW=j", 0, false}};  // padding followed by a digit would drop a byte
    for (const auto& c : cases) {
        if (c.encodes) { EXPECT_EQ(encode(c.bytes), c.text); }
        EXPECT_EQ(decode(c.text, c.count), c.bytes.empty() ? "<failed>" : c.bytes) << c.text;
    }
    // Exactly the given characters are read: no NUL follows them here.
    const std::unique_ptr<wchar_t[]> unterminated(new wchar_t[4]{L'Y', L'W', L'J', L'j'});
    EXPECT_EQ(decode(unterminated.get(), 4), "abc");
    DWORD size = 0;
    const BOOL refused[] = {CryptBinaryToStringW(bytes_of("abc"), 3, CRYPT_STRING_BASE64HEADER, nullptr, &size),
                            CryptBinaryToStringW(bytes_of("abc"), 3, CRYPT_STRING_HEX, nullptr, &size),
                            CryptBinaryToStringW(nullptr, 0, CRYPT_STRING_BASE64, nullptr, &size),
                            CryptStringToBinaryW(L"YWJj", 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)};
    for (size_t i = 0; i < std::size(refused); ++i) EXPECT_EQ(refused[i], FALSE) << "call " << i;
}
