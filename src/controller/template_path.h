// Where a template name leads: the built path (folder, name and extension as written), its
// canonical form on the real file system, and whether that lies in the permitted folder.
#pragma once

#include <string_view>

#include "host/host.h"

// The built path of a template name. The folder is the including template's folder when one
// is being drawn (its built path up to the last separator), else TemplateFolder with a
// backslash appended unless it ends in one, else nothing. One leading separator of the name is
// dropped: names are always relative to the folder.
//
// The including template's folder ends at its last backslash or slash. Cutting at backslashes
// only would send a child of a template written "sub/a" to the parent's folder instead of
// "sub", and page authors write slashes.
HRESULT BuildTemplatePath(std::wstring_view including, std::wstring_view templateFolder, std::wstring_view name,
                          std::wstring_view ext, CComBSTR& built);

// Appends the absolute, symlink-free form of an existing path to out. E_FAIL, without error
// information and with out unchanged, when the path does not exist or its form is too long.
HRESULT ConvertToCanonicalizedPath(std::wstring_view path, CComBSTR& out);

// Whether a canonical path lies in the permitted folder: TemplatePermissionPath, else
// TemplateFolder, else none (nothing is permitted). The folder is compared in its canonical
// form when it has one, ignoring case and counting backslash and slash equal, and with a
// separator after it, so that a sibling whose name merely begins the same does not match.
bool TemplatePathPermitted(std::wstring_view canonical, std::wstring_view permissionPath,
                           std::wstring_view templateFolder);
