// The late-bound members of the page-bound templator, by name and DISPID.
#pragma once

#include "frame/member_table.h"
#include "templators/vesked_templator.h"

template <class I>
inline constexpr MemberRow kVeskedTemplatorMembers[] = {
    member_row<I, &I::putref_Script>(L"Script", 1, DISPATCH_PROPERTYPUTREF),
    member_row<I, &I::get_Script>(L"Script", 1, DISPATCH_PROPERTYGET),
    member_row<I, &I::get_Main>(L"Main", 2, DISPATCH_PROPERTYGET),
    member_row<I, &I::putref_Stream>(L"Stream", 3, DISPATCH_PROPERTYPUTREF),
    member_row<I, &I::get_Stream>(L"Stream", 3, DISPATCH_PROPERTYGET),
    member_row<I, &I::ProcessTemplateFile>(L"ProcessTemplateFile", 4, DISPATCH_METHOD),
    member_row<I, &I::ProcessTemplate>(L"ProcessTemplate", 5, DISPATCH_METHOD),
    member_row<I, &I::Write>(L"Write", 6, DISPATCH_METHOD),
    member_row<I, &I::Flush>(L"Flush", 7, DISPATCH_METHOD),
};
