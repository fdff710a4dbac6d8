// Registry, module, files, paths, comparisons, locks, time, text and bounded CRT functions.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "shim/shim.h"

namespace fs = std::filesystem;

namespace {

uint64_t value_of(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

HANDLE open(const wchar_t* name) { return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr); }

// <root>/a/b/page.html and <root>/link -> <root>/a, with <root> the working directory.
class ShimFiles : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vesk-shim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = fs::canonical(pattern);
        fs::create_directories(root / "a" / "b");
        std::ofstream(page()) << "<p>";
        fs::create_directory_symlink(root / "a", root / "link");
        previous = fs::current_path();
        fs::current_path(root);
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(root);
    }
    fs::path page() const { return root / "a" / "b" / "page.html"; }
    fs::path root, previous;
};

}  // namespace

TEST(ShimRegistry, CallsSucceedAndLeaveNoTrace) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &key), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"Vesk"), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
    wchar_t name[MAX_PATH] = L"x";
    EXPECT_EQ(GetModuleFileNameW(nullptr, name, 0), 0u);
    EXPECT_STREQ(name, L"x");
    EXPECT_EQ(GetModuleFileNameW(nullptr, name, MAX_PATH), 0u);
    EXPECT_STREQ(name, L"");
}

// ---- Files and paths --------------------------------------------------------------------------

TEST_F(ShimFiles, UnopenableNamesGiveTheInvalidHandle) {
    const std::wstring tooLong(1100, L'n');
    for (const wchar_t* name : {L"missing.html", static_cast<const wchar_t*>(nullptr), tooLong.c_str()})
        EXPECT_EQ(open(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(CloseHandle(nullptr), FALSE);
    EXPECT_EQ(GetFileTime(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr), FALSE);
}

TEST_F(ShimFiles, BackslashNameOpensAndReportsTimes) {
    const utimbuf oneSecondPastEpoch{1, 1};
    ASSERT_EQ(utime(page().c_str(), &oneSecondPastEpoch), 0);
    HANDLE file = open((root.wstring() + L"\\a\\b\\page.html").c_str());
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME created{}, accessed{}, written{};
    ASSERT_EQ(GetFileTime(file, nullptr, nullptr, &written), TRUE);
    EXPECT_EQ(value_of(written), 116'444'736'010'000'000u);
    ASSERT_EQ(GetFileTime(file, &created, &accessed, nullptr), TRUE);
    EXPECT_EQ(value_of(accessed), 116'444'736'010'000'000u);
    EXPECT_EQ(CompareFileTime(&created, &written), 1);  // the status changed just now
    EXPECT_EQ(CloseHandle(file), TRUE);
}

TEST(ShimFileTime, CompareOrdersHighHalfFirst) {
    const struct { FILETIME a, b; LONG expected; } cases[] = {
        {{0xFFFFFFFF, 0}, {0, 1}, -1}, {{0, 1}, {0xFFFFFFFF, 0}, 1}, {{5, 0x80000000}, {5, 0x80000000}, 0}, {{4, 2}, {5, 2}, -1}};
    for (const auto& c : cases) EXPECT_EQ(CompareFileTime(&c.a, &c.b), c.expected);
    EXPECT_EQ(CompareFileTime(nullptr, &cases[0].b), 0);
    EXPECT_EQ(CompareFileTime(&cases[0].a, nullptr), 0);
}

TEST_F(ShimFiles, CanonicalisationResolvesAgainstTheFileSystem) {
    for (const wchar_t* path : {L"a\\b\\..\\b\\page.html", L"link\\b\\page.html", L".\\a\\\\b//page.html"}) {
        wchar_t out[MAX_PATH] = L"";
        EXPECT_EQ(PathCanonicalizeW(out, path), TRUE) << path;
        EXPECT_EQ(std::wstring(out), page().wstring()) << path;
    }
    fs::path deep = root;  // exists, but its absolute form needs more than MAX_PATH characters
    for (int i = 0; i < 5; ++i) deep /= std::string(60, char('c' + i));
    fs::create_directories(deep);
    const std::wstring deepName = deep.wstring();
    wchar_t out[MAX_PATH] = L"untouched";
    for (const wchar_t* path : {L"a\\missing.html", static_cast<const wchar_t*>(nullptr), deepName.c_str()})
        EXPECT_EQ(PathCanonicalizeW(out, path), FALSE);
    EXPECT_EQ(PathCanonicalizeW(nullptr, L"a"), FALSE);
    EXPECT_STREQ(out, L"untouched");
}

// ---- Comparisons ------------------------------------------------------------------------------

TEST(ShimCompare, BoundedCaseInsensitiveWithSeparators) {
    const struct { const wchar_t *a, *b; size_t n; int expected; } cases[] = {
        {L"C:\\Web\\Pages\\X.HTML", L"c:/web/pages/x.html", 19, 0},
        {L"ab", L"abc", 3, -1}, {L"abc", L"ab", 3, 1}, {L"abX", L"abY", 2, 0}, {L"abX", L"aby", 3, -1},
        {L"abz", L"ABY", 3, 1}, {L"/", L"a", 1, -1}, {L"ab", L"ab", 10, 0}, {L"a", L"b", 0, 0},
        {nullptr, nullptr, 1, 0}, {nullptr, L"a", 1, -1}, {L"a", nullptr, 1, 1}};
    for (const auto& c : cases) EXPECT_EQ(_wcsnicmp(c.a, c.b, c.n), c.expected) << (c.a ? c.a : L"(null)");
    EXPECT_NE(_wcsicmp(L"OnDraw__Input", L"ondraw__input"), 0);  // exact case only
    EXPECT_EQ(_wcsicmp(L"OnDraw__Input", L"OnDraw__Input"), 0);
    EXPECT_LT(_wcsicmp(nullptr, L""), 0);
}

// ---- Locks and counters --------------------------------------------------------------------------

TEST(ShimSync, CountersAndSectionsHoldUnderThreads) {
    constexpr long kThreads = 4, kRounds = 20000;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    volatile long atomicCount = 0;
    long guardedCount = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedIncrement(&atomicCount);
                EnterCriticalSection(&section);
                ++guardedCount;
                LeaveCriticalSection(&section);
            }
        });
    for (auto& t : threads) t.join();
    DeleteCriticalSection(&section);
    EXPECT_EQ(atomicCount, kThreads * kRounds);
    EXPECT_EQ(guardedCount, kThreads * kRounds);
    volatile long wide = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&wide), 0x80000000L);
    EXPECT_EQ(InterlockedDecrement(&wide), 0x7FFFFFFFL);
}

// ---- Text and bounded CRT ---------------------------------------------------------------------

TEST(ShimText, IdentityMappingCounts) {
    const struct { int sourceCount, destinationSize, expected; const wchar_t* result; } cases[] = {
        {5, 0, 5, L"zzzzzzzz"}, {5, 5, 5, L"HeLlozzz"}, {5, 8, 5, L"HeLlo"},  {5, 3, 3, L"HeLzzzzz"},
        {-1, 0, 5, L"zzzzzzzz"}, {-1, 8, 5, L"HeLlo"}, {0, 8, 0, L""}};
    for (const auto& c : cases) {
        wchar_t out[9] = L"zzzzzzzz";
        EXPECT_EQ(LCMapStringW(0x110000, 0x80000000, L"HeLlo", c.sourceCount, out, c.destinationSize), c.expected);
        EXPECT_STREQ(out, c.result) << c.sourceCount << " into " << c.destinationSize;
    }
    EXPECT_EQ(LCMapStringW(0, 0, L"HeLlo", 5, nullptr, 9), 5);
    EXPECT_EQ(LCMapStringW(0, 0, nullptr, 5, nullptr, 0), 0);

    wchar_t message[1279] = L"old";
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80020006, 0x800, message, 1279, nullptr), 0u);
    EXPECT_STREQ(message, L"");
    LPWSTR allocated = message;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0, reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
    EXPECT_EQ(allocated, nullptr);
}

TEST(ShimCrt, FormatAndScan) {
    wchar_t buffer[4] = L"zz!";
    EXPECT_EQ(swprintf_s(buffer, 3, L"%02x", 0xAB), 0);
    EXPECT_STREQ(buffer, L"ab");
    buffer[3] = L'!';
    EXPECT_EQ(swprintf_s(buffer, 3, L"%d", 12345), 1);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(buffer[3], L'!');
    EXPECT_EQ(swprintf_s(nullptr, 3, L"%d", 1), 1);
    unsigned value = 0;
    EXPECT_EQ(sscanf_s("4A", "%x", &value), 1);
    EXPECT_EQ(value, 0x4Au);
    EXPECT_EQ(sscanf_s("zz", "%x", &value), 0);
    EXPECT_EQ(sscanf_s(nullptr, "%x", &value), EOF);
}

TEST(ShimCrt, MemoryCopyRefusesToOverrun) {
    char dest[8] = "zzzzzzz";
    EXPECT_EQ(memcpy_s(dest, 4, "abcd", 4), 0);
    EXPECT_EQ(std::string(dest, 5), "abcdz");
    EXPECT_EQ(memcpy_s(dest, 4, "abcdef", 6), ERANGE);
    EXPECT_EQ(std::string(dest, 5), std::string("\0\0\0\0z", 5));
    EXPECT_EQ(memcpy_s(nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(memcpy_s(nullptr, 4, "a", 1), EINVAL);
}

TEST(ShimCrt, NarrowingFoldsToSevenBits) {
    const struct { const wchar_t* source; size_t count; errno_t result; const char* stored; size_t length; } cases[] = {
        {L"caf\u00e9", 7, 0, "cafi", 5}, {L"abcdefghij", 4, 0, "abc", 4}, {L"abc", 1, 0, "", 1}, {L"abc", 0, 1, "zzzzzz", 99},
        {nullptr, 4, 1, "zzzzzz", 99}};
    for (const auto& c : cases) {
        char out[7] = "zzzzzz";
        size_t length = 99;
        EXPECT_EQ(wcstombs_s(&length, out, c.source, c.count), c.result);
        EXPECT_STREQ(out, c.stored);
        EXPECT_EQ(length, c.length);
        if (c.count < sizeof out) {
            EXPECT_EQ(out[c.count], 'z');  // nothing past the count
        }
    }
    EXPECT_EQ(wcstombs_s(nullptr, nullptr, L"a", 4), 1);
}
