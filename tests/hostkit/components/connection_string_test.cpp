// The command component's connection strings and Data Source names: what is read from a
// string, what is refused with which message, and which file names stay under the root.
#include <string>
#include <utility>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/db_provider.h"

namespace vesk_test {
namespace {

using veskhost::db::Properties;

TEST(ConnectionString, ReadsNamesAndValues) {
    const struct { const wchar_t* text; Properties expected; } cases[] = {
        {L"Data Source=site.db", {{L"data source", L"site.db"}}},
        {L"  PROVIDER = SQLite ;  Data Source =  a b.db  ;", {{L"provider", L"SQLite"}, {L"data source", L"a b.db"}}},
        {L"Data Source=\"x;y.db\"", {{L"data source", L"x;y.db"}}},
        {L"Data Source='it''s.db' ; Provider=SQLite", {{L"data source", L"it's.db"}, {L"provider", L"SQLite"}}},
        {L"Data Source=a=b", {{L"data source", L"a=b"}}},
        {L";;Data Source=x;;", {{L"data source", L"x"}}},
        {L"Data Source=", {{L"data source", L""}}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        Properties properties;
        const veskhost::db::Status status = veskhost::db::ParseConnectionString(c.text, &properties);
        EXPECT_TRUE(status.ok()) << Utf8(c.text) << ": " << Utf8(status.message);
        EXPECT_EQ(c.expected, properties) << Utf8(c.text);
    }
}

TEST(ConnectionString, RefusesWhatItCannotRead) {
    const struct { const wchar_t* text; const wchar_t* message; } cases[] = {
        {L"site.db", L"a part without \"=\".[site.db]"},
        {L"Data Source=x; junk ;", L"a part without \"=\".[junk]"},
        {L"=x", L"a value without a name"},
        {L"Data Source=\"x.db", L"without its closing quote.[data source]"},
        {L"Data Source=\"x.db\" tail", L"text after a quoted value.[data source]"},
        {L"Data Source=a;data source=b", L"gives a property twice.[data source]"},
    };
    for (const auto& c : cases) {
        Properties properties{{L"kept", L"as it was"}};
        const veskhost::db::Status status = veskhost::db::ParseConnectionString(c.text, &properties);
        EXPECT_HR(E_FAIL, status.hr) << Utf8(c.text);
        EXPECT_NE(std::wstring::npos, status.message.find(c.message)) << Utf8(c.text) << ": " << Utf8(status.message);
        EXPECT_EQ((Properties{{L"kept", L"as it was"}}), properties);
    }
}

TEST(ConnectionString, FileNamesStayUnderTheRoot) {
    const struct { const wchar_t* root; const wchar_t* name; const wchar_t* path; } cases[] = {
        {L"/srv/site", L"data.db", L"/srv/site/data.db"},
        {L"/srv/site/", L"/db/data.db", L"/srv/site/db/data.db"},
        {L"/srv/site", L"db\\.\\data.db", L"/srv/site/db/data.db"},
        {L"/srv/site", L"db/../data.db", L"/srv/site/data.db"},
        {L"/", L"data.db", L"/data.db"},
        {L"site", L"data.db", L"site/data.db"},
        {L"/srv/site", L"../data.db", nullptr},
        {L"/srv/site", L"db/../../data.db", nullptr},
        {L"/srv/site", L"..\\site\\data.db", nullptr},
        {L"/srv/site", L".", nullptr},
        {L"/srv/site", L"/", nullptr},
        {L"", L"data.db", nullptr},
    };
    for (const auto& c : cases) {
        std::wstring path = L"untouched";
        const bool ok = veskhost::db::PathUnderRoot(c.root, c.name, &path);
        EXPECT_EQ(c.path != nullptr, ok) << Utf8(c.root) << " + " << Utf8(c.name);
        EXPECT_EQ(c.path ? c.path : L"untouched", path);
    }
    std::wstring path;
    EXPECT_FALSE(veskhost::db::PathUnderRoot(L"/srv", std::wstring(L"a\0b", 3), &path));
}

TEST(ConnectionString, TextCrossesAsUtf8BothWays) {
    const std::wstring text(L"a\0é日\U0001F600", 5);
    EXPECT_EQ(std::string("a\0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", 11), veskhost::db::Utf8Of(text.data(), text.size()));
    EXPECT_EQ(text, veskhost::db::WideOf(veskhost::db::Utf8Of(text.data(), text.size())));
    // Ill-formed bytes each become one replacement character, and decoding carries on.
    EXPECT_EQ(L"\xFFFD" L"a\xFFFD\xFFFD" L"b\xFFFD", veskhost::db::WideOf("\xFF" "a\xC0\xAF" "b\xE6\x97"));
    EXPECT_EQ(L"\xFFFD", veskhost::db::WideOf("\xED\xA0\x80"));  // a surrogate
}

}  // namespace
}  // namespace vesk_test
