#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "server/site.h"

namespace veskserve {
namespace {

namespace fs = std::filesystem;

class SiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesk-site-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        root = fs::canonical(pattern).string();
        for (const char* file : {"a.vsp", "f.txt", "sub/index.vsp", "templates/t.html", "_x/y.txt", ".env", "global.vsp"}) {
            fs::create_directories((fs::path(root) / file).parent_path());
            std::ofstream(fs::path(root) / file) << "x";
        }
        std::string outside = root + "-outside.txt";
        std::ofstream(outside) << "secret";
        fs::create_symlink(outside, fs::path(root) / "link.txt");
    }
    void TearDown() override {
        fs::remove_all(root);
        fs::remove(root + "-outside.txt");
    }
    std::string root;
};

TEST_F(SiteTest, PathsMapToPagesFilesOrNothing) {
    using K = SiteTarget::Kind;
    struct Row {
        const char* path;
        K kind;
        const char* url;
    };
    const Row rows[] = {
        {"/a.vsp", K::Page, "/a.vsp"},       {"/sub/", K::Page, "/sub/index.vsp"}, {"/sub", K::Page, "/sub/index.vsp"},
        {"/f.txt", K::Static, "/f.txt"},     {"/%66.txt", K::Static, "/f.txt"},    {"/templates/t.html", K::NotFound, ""},
        {"/_x/y.txt", K::NotFound, ""},      {"/.env", K::NotFound, ""},           {"/global.vsp", K::NotFound, ""},
        {"/sub/../f.txt", K::NotFound, ""},  {"/%2e%2e/x", K::NotFound, ""},       {"/link.txt", K::NotFound, ""},
        {"/f.txt%00", K::NotFound, ""},      {"/a%2", K::NotFound, ""},            {"/", K::NotFound, ""},
        {"relative", K::BadRequest, ""},
    };
    for (const Row& row : rows) {
        const SiteTarget target = ResolveSitePath(root, row.path);
        EXPECT_EQ(row.kind, target.kind) << row.path;
        if (row.kind == K::Page || row.kind == K::Static) {
            EXPECT_EQ(row.url, target.scriptUrl) << row.path;
        }
    }
}

TEST(SiteValidators, ConditionsCompareTagsAndDates) {
    const std::string tag = EntityTag(10, 5);
    EXPECT_TRUE(NotModified(tag, "", tag, 100));
    EXPECT_TRUE(NotModified("\"x\", W/" + tag, "", tag, 100));
    EXPECT_FALSE(NotModified("\"x\"", HttpDate(200), tag, 100));  // the tag decides
    EXPECT_TRUE(NotModified("", HttpDate(100), tag, 100));
    EXPECT_FALSE(NotModified("", HttpDate(99), tag, 100));
    EXPECT_FALSE(NotModified("", "yesterday", tag, 100));
    EXPECT_STREQ("image/png", ContentTypeOf("/a/B.PNG"));
    EXPECT_STREQ("application/octet-stream", ContentTypeOf("/a/b"));
}

}  // namespace
}  // namespace veskserve
