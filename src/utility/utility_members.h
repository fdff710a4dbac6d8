// The utility members as script names, DISPIDs 41 to 55, for any interface that carries the
// utility operations: IUtility itself, and the page controller's IVesk (same rows, same
// DISPIDs). They answer DISPATCH_METHOD only.
#pragma once

#include "frame/member_table.h"
#include "utility/iutility.h"

template <class I>
inline constexpr MemberRow kUtilityMembers[] = {
    member_row<I, &I::MakeKey>(L"MakeKey", 41, DISPATCH_METHOD),
    member_row<I, &I::MakeGUID>(L"MakeGUID", 42, DISPATCH_METHOD),
    member_row<I, &I::Sleep>(L"Sleep", 43, DISPATCH_METHOD),
    member_row<I, &I::MD5>(L"MD5", 44, DISPATCH_METHOD),
    member_row<I, &I::SHA1>(L"SHA1", 45, DISPATCH_METHOD),
    member_row<I, &I::FindString>(L"FindString", 46, DISPATCH_METHOD),
    member_row<I, &I::HanToZen>(L"HanToZen", 47, DISPATCH_METHOD),
    member_row<I, &I::ZenToHan>(L"ZenToHan", 48, DISPATCH_METHOD),
    member_row<I, &I::SubmitDecode>(L"SubmitDecode", 49, DISPATCH_METHOD),
    member_row<I, &I::Trim>(L"Trim", 50, DISPATCH_METHOD),
    member_row<I, &I::HTMLEncode>(L"HTMLEncode", 51, DISPATCH_METHOD),
    member_row<I, &I::Base64Encode>(L"Base64Encode", 52, DISPATCH_METHOD),
    member_row<I, &I::URLEncode>(L"URLEncode", 53, DISPATCH_METHOD),
    member_row<I, &I::Base64Decode, ResultKind::Variant>(L"Base64Decode", 54, DISPATCH_METHOD),
    member_row<I, &I::URLDecode, ResultKind::Variant>(L"URLDecode", 55, DISPATCH_METHOD),
};
