// Template location: built paths from the folder, the including template, the name and the
// extension; canonical paths on the real file system; the permitted folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "controller/template_path.h"
#include "controller_fixture.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

TEST(TemplatePath, BuiltPathJoinsFolderNameAndExtension) {
    struct Row {
        const wchar_t* including;
        const wchar_t* folder;
        const wchar_t* name;
        const wchar_t* ext;
        const wchar_t* built;
    };
    const Row rows[] = {
        // TemplateFolder gets a backslash unless it ends in one, whatever separator it uses.
        {L"", L"/srv/t", L"list", L".html", L"/srv/t\\list.html"},
        {L"", L"/srv/t/", L"list", L".html", L"/srv/t/\\list.html"},
        {L"", L"C:\\t\\", L"list", L"", L"C:\\t\\list"},
        // One leading separator of the name goes; names are always relative.
        {L"", L"/srv/t", L"/list", L".html", L"/srv/t\\list.html"},
        {L"", L"/srv/t", L"\\list", L".html", L"/srv/t\\list.html"},
        {L"", L"/srv/t", L"//list", L".html", L"/srv/t\\/list.html"},
        {L"", L"/srv/t", L"../up", L"", L"/srv/t\\../up"},
        {L"", L"", L"list", L".html", L"list.html"},
        {L"", L"", L"", L"", L""},
        // While a template is drawn, its own folder is the folder, not TemplateFolder.
        {L"/srv/t\\page.html", L"/other", L"child", L".html", L"/srv/t\\child.html"},
        {L"/srv/t\\page.html", L"/other", L"/child", L".html", L"/srv/t\\child.html"},
        {L"/srv/t\\sub/a.html", L"/other", L"b", L".html", L"/srv/t\\sub/b.html"},
        {L"/srv/t\\sub\\a.html", L"", L"b", L".html", L"/srv/t\\sub\\b.html"},
        {L"page.html", L"/other", L"child", L"", L"child"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.built));
        CComBSTR built;
        ASSERT_HR(S_OK, BuildTemplatePath(row.including, row.folder, row.name, row.ext, built));
        EXPECT_BSTR_EQ(row.built, built.m_str);
    }
}

TEST(TemplatePath, CanonicalPathIsTheRealAbsolutePathAppended) {
    TempFolder folder;
    folder.Write("sub/list.html", "x");
    const std::wstring real = std::filesystem::canonical(folder.Path() / "sub/list.html").wstring();
    const std::wstring root = folder.Text();
    for (const std::wstring& written : {root + L"\\sub\\list.html", root + L"/sub/./list.html",
                                        root + L"/\\sub/../sub\\list.html"}) {
        SCOPED_TRACE(Utf8(written));
        CComBSTR out;
        ASSERT_HR(S_OK, ConvertToCanonicalizedPath(written, out));
        EXPECT_EQ(real, std::wstring(out.c_str()));
    }
    CComBSTR out(L"kept:");
    EXPECT_HR(S_OK, ConvertToCanonicalizedPath(root + L"\\sub\\list.html", out));
    EXPECT_EQ(L"kept:" + real, std::wstring(out.c_str()));
    for (const std::wstring& missing : {root + L"\\missing.html", std::wstring(2000, L'a')}) {
        CComBSTR untouched(L"kept");
        EXPECT_HR(E_FAIL, ConvertToCanonicalizedPath(missing, untouched));
        EXPECT_BSTR_EQ(L"kept", untouched.m_str);
    }
}

TEST(TemplatePath, OnlyFilesInsideThePermittedFolderArePermitted) {
    TempFolder folder;
    folder.Write("t/page.html", "x");
    folder.Write("t2/page.html", "x");
    folder.Write("outside.html", "x");
    std::filesystem::create_symlink(folder.Path(), folder.Path() / "link");
    const std::wstring root = std::filesystem::canonical(folder.Path()).wstring();
    const std::wstring inside = root + L"/t/page.html";
    std::wstring upper = root + L"/T";
    std::wstring backslashed = root + L"\\t\\";
    struct Row {
        const char* title;
        std::wstring canonical, permission, folder;
        bool permitted;
    };
    const Row rows[] = {
        {"neither folder set", inside, L"", L"", false},
        {"TemplateFolder", inside, L"", root + L"/t", true},
        {"TemplateFolder written with a trailing slash", inside, L"", root + L"/t/", true},
        {"TemplatePermissionPath before TemplateFolder", inside, root + L"/t2", root + L"/t", false},
        {"TemplatePermissionPath alone", inside, root, L"", true},
        {"a sibling whose name begins the same", root + L"/t2/page.html", L"", root + L"/t", false},
        {"the folder itself", root + L"/t", L"", root + L"/t", false},
        {"outside", root + L"/outside.html", L"", root + L"/t", false},
        {"a folder in other letter case", inside, upper, L"", true},
        {"a folder written with backslashes", inside, backslashed, L"", true},
        {"a folder reached through a link", inside, root + L"/link/t", L"", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_EQ(row.permitted, TemplatePathPermitted(row.canonical, row.permission, row.folder));
    }
}

}  // namespace
}  // namespace vesk_test
