// The template cache: freshness by file time, replacement, lifetime, and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "template/template_cache.h"
#include "template_test_support.h"

namespace vesk_test {
namespace {

namespace fs = std::filesystem;

class TemplateCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("vesk_cache_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    CComBSTR WriteFile(const std::string& name, const std::string& text = "x") {
        const fs::path p = m_dir / name;
        std::ofstream(p) << text;
        SetSecondsAgo(p, 100);
        return CComBSTR(p.wstring().c_str());
    }
    static void SetSecondsAgo(const fs::path& p, int seconds) {
        fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
    }
    static fs::path PathOf(const CComBSTR& b) { return fs::path(std::wstring(b.c_str())); }

    fs::path m_dir;
};

TEST_F(TemplateCacheTest, HitReturnsTheSameTemplateWithAReferenceEach) {
    CTemplateCache cache;
    CComBSTR path = WriteFile("page.html");
    CTemplate* stored = new CTemplate;
    ASSERT_HR(S_OK, cache.Store(path, stored));
    EXPECT_EQ(2, stored->m_nRefCount);

    CTemplate* first = reinterpret_cast<CTemplate*>(1);
    ASSERT_HR(S_OK, cache.Take(WriteFile("never-stored"), &first));
    EXPECT_EQ(nullptr, first);
    CTemplate* second = nullptr;
    ASSERT_HR(S_OK, cache.Take(path, &first));
    ASSERT_HR(S_OK, cache.Take(path, &second));
    EXPECT_EQ(stored, first);
    EXPECT_EQ(stored, second);
    EXPECT_EQ(4, stored->m_nRefCount);
    first->Release();
    second->Release();
    stored->Release();
}

TEST_F(TemplateCacheTest, TouchedFileIsStaleEitherWay) {
    for (int shift : {+50, -50}) {
        SCOPED_TRACE(shift);
        CTemplateCache cache;
        CComBSTR path = WriteFile("page.html");
        CTemplate* stored = new CTemplate;
        cache.Store(path, stored);
        SetSecondsAgo(PathOf(path), 100 + shift);

        CTemplate* got = nullptr;
        ASSERT_HR(S_OK, cache.Take(path, &got));
        EXPECT_EQ(nullptr, got);
        EXPECT_EQ(1, stored->m_nRefCount);  // the entry's reference is gone

        // The entry is gone, not merely skipped: the old time no longer matters.
        SetSecondsAgo(PathOf(path), 100);
        ASSERT_HR(S_OK, cache.Take(path, &got));
        EXPECT_EQ(nullptr, got);
        stored->Release();
    }
}

TEST_F(TemplateCacheTest, DeletedFileKeepsServing) {
    CTemplateCache cache;
    CComBSTR path = WriteFile("page.html");
    CTemplate* stored = new CTemplate;
    cache.Store(path, stored);
    fs::remove(PathOf(path));
    for (int i = 0; i < 2; ++i) {
        CTemplate* got = nullptr;
        ASSERT_HR(S_OK, cache.Take(path, &got));
        EXPECT_EQ(stored, got);
        if (got) got->Release();
    }
    stored->Release();
}

TEST_F(TemplateCacheTest, StoredWhileUnreadableIsStaleOnceReadable) {
    CTemplateCache cache;
    CComBSTR path((m_dir / "later.html").wstring().c_str());
    CTemplate* stored = new CTemplate;
    cache.Store(path, stored);
    EXPECT_EQ(0u, stored->m_ftLastWrite.dwLowDateTime | stored->m_ftLastWrite.dwHighDateTime);

    CTemplate* got = nullptr;
    ASSERT_HR(S_OK, cache.Take(path, &got));  // still unreadable: served
    EXPECT_EQ(stored, got);
    got->Release();

    WriteFile("later.html");
    got = nullptr;
    ASSERT_HR(S_OK, cache.Take(path, &got));
    EXPECT_EQ(nullptr, got);
    stored->Release();
}

TEST_F(TemplateCacheTest, PathsDifferingInCaseAreDifferentEntries) {
    CTemplateCache cache;
    CComBSTR upper = WriteFile("Page.html");
    CComBSTR lower = WriteFile("page.html");
    CTemplate* stored = new CTemplate;
    cache.Store(upper, stored);
    CTemplate* got = nullptr;
    ASSERT_HR(S_OK, cache.Take(lower, &got));
    EXPECT_EQ(nullptr, got);
    stored->Release();
}

TEST_F(TemplateCacheTest, StoreReplacesAndReleasesTheOldOnce) {
    CTemplateCache cache;
    CComBSTR path = WriteFile("page.html");
    CTemplate* old = new CTemplate;
    CTemplate* fresh = new CTemplate;
    cache.Store(path, old);
    EXPECT_EQ(2, old->m_nRefCount);
    cache.Store(path, fresh);
    EXPECT_EQ(1, old->m_nRefCount);
    EXPECT_EQ(2, fresh->m_nRefCount);

    CTemplate* got = nullptr;
    cache.Take(path, &got);
    EXPECT_EQ(fresh, got);
    got->Release();
    old->Release();
    fresh->Release();
}

TEST_F(TemplateCacheTest, HeldTemplateOutlivesTheCache) {
    CComBSTR path = WriteFile("page.html");
    CTestEngine engine;
    CTemplate* held = nullptr;
    {
        CTemplateCache cache;
        CTemplate* parsed = new CTemplate;
        ASSERT_HR(S_OK, engine.Parse(CComBSTR(L"a(#b#)c"), *parsed));
        cache.Store(path, parsed);
        parsed->Release();
        cache.Take(path, &held);
        ASSERT_NE(nullptr, held);
    }
    EXPECT_EQ(1, held->m_nRefCount);
    auto sink = engine.Record();
    EXPECT_HR(S_OK, engine.Process(*held));
    EXPECT_EQ(L"a<b>c", sink->Text());
    EXPECT_EQ(0u, held->Release());
}

// Pages on several threads take, parse, store and expand the same few paths while another
// thread keeps rewriting their file times; every expansion must come out whole.
TEST_F(TemplateCacheTest, ConcurrentTakeStoreExpand) {
    constexpr int kPaths = 3;
    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    CTemplateCache cache;
    std::vector<CComBSTR> paths;
    for (int i = 0; i < kPaths; ++i) paths.push_back(WriteFile("t" + std::to_string(i) + ".html"));

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread toucher([&] {
        int n = 0;
        while (!stop.load()) {
            SetSecondsAgo(PathOf(paths[size_t(n % kPaths)]), 100 + n % 7);
            ++n;
            std::this_thread::yield();
        }
    });

    auto page = [&](int seed) {
        CTestEngine engine;
        for (int round = 0; round < kRounds; ++round) {
            const size_t which = size_t((seed + round) % kPaths);
            CTemplate* tmpl = nullptr;
            cache.Take(paths[which], &tmpl);
            if (tmpl == nullptr) {
                tmpl = new CTemplate;
                const std::wstring text = L"head (#m" + std::to_wstring(which) + L"#) tail";
                if (FAILED(engine.Parse(Bstr(text), *tmpl))) ++failures;
                cache.Store(paths[which], tmpl);
            }
            auto sink = engine.Record();
            if (FAILED(engine.Process(*tmpl))) ++failures;
            if (sink->Text() != L"head <m" + std::to_wstring(which) + L"> tail") ++failures;
            tmpl->Release();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(page, t);
    for (auto& t : threads) t.join();
    stop = true;
    toucher.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
}  // namespace vesk_test
