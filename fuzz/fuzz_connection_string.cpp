// The command component's connection strings and Data Source names on arbitrary input: the
// parser either refuses with a message or gives names that are lower case, trimmed, non-empty
// and unique; and every file name it accepts under a root stays inside that root, with no
// "." or ".." part left.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hostkit/components/db_provider.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool Trimmed(const std::wstring& s) {
    const auto space = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    return s.empty() || (!space(s.front()) && !space(s.back()));
}

void CheckPath(std::wstring_view root, const std::wstring& name) {
    std::wstring path;
    if (!veskhost::db::PathUnderRoot(root, name, &path)) return;
    check(path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == L'/');
    const std::wstring_view rest = std::wstring_view(path).substr(root.size() + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(L'/', start);
        if (end == rest.npos) end = rest.size();
        const std::wstring_view part = rest.substr(start, end - start);
        check(!part.empty() && part != L"." && part != L".." && part.find(L'\\') == part.npos);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = veskhost::db::WideOf(std::string_view(reinterpret_cast<const char*>(data), size));
    veskhost::db::Properties properties;
    const veskhost::db::Status status = veskhost::db::ParseConnectionString(text, &properties);
    if (!status.ok()) {
        check(!status.message.empty());
    } else {
        for (size_t i = 0; i < properties.size(); ++i) {
            const auto& [name, value] = properties[i];
            check(!name.empty() && Trimmed(name));
            for (wchar_t c : name) check(!(c >= L'A' && c <= L'Z'));
            for (size_t j = i + 1; j < properties.size(); ++j) check(properties[j].first != name);
            CheckPath(L"/site", value);
        }
    }
    CheckPath(L"/site", text);
    return 0;
}
