#include "controller/template_path.h"

#include <algorithm>
#include <string>

#include "shim/path.h"
#include "shim/text.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

HRESULT BuildTemplatePath(std::wstring_view including, std::wstring_view templateFolder, std::wstring_view name,
                          std::wstring_view ext, CComBSTR& built) {
    std::wstring path;
    if (!including.empty()) {
        const size_t cut = including.find_last_of(L"\\/");
        if (cut != std::wstring_view::npos) path.assign(including.substr(0, cut + 1));
    } else if (!templateFolder.empty()) {
        path.assign(templateFolder);
        if (path.back() != L'\\') path += L'\\';
    }
    if (!name.empty() && IsSeparator(name.front())) name.remove_prefix(1);
    path.append(name).append(ext);
    return built.Assign(path.data(), static_cast<UINT>(path.size()));
}

HRESULT ConvertToCanonicalizedPath(std::wstring_view path, CComBSTR& out) {
    std::wstring written(path);
    std::replace(written.begin(), written.end(), L'/', L'\\');
    wchar_t canonical[MAX_PATH];
    if (!PathCanonicalizeW(canonical, written.c_str())) return E_FAIL;
    return out.Append(canonical);
}

bool TemplatePathPermitted(std::wstring_view canonical, std::wstring_view permissionPath,
                           std::wstring_view templateFolder) {
    const std::wstring_view written = !permissionPath.empty() ? permissionPath : templateFolder;
    if (written.empty()) return false;
    CComBSTR resolved;
    std::wstring folder;
    if (SUCCEEDED(ConvertToCanonicalizedPath(written, resolved)) && !resolved.IsEmpty()) {
        folder.assign(resolved.c_str(), resolved.Length());
    } else {
        folder.assign(written);
    }
    if (folder.back() != L'\\') folder += L'\\';
    // A path shorter than the folder ends at its NUL before the comparison runs out.
    const std::wstring path(canonical);
    return _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0;
}
