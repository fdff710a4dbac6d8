// The late-bound members of the upload objects. An uploaded file answers its four read-only
// properties by name. The value list of one field answers no name, but answers its default
// member (DISPID 0, read as a property or called) with what its Item gives: so a field's
// value converts to text the way the host's own value lists do, and a command, a mark or a
// binding reads an upload value like any other request value.
#pragma once

#include "frame/member_table.h"
#include "upload/iformfile.h"

template <class I>
inline constexpr MemberRow kFormFileMembers[] = {
    member_row<I, &I::get_FileName>(L"FileName", 1, DISPATCH_PROPERTYGET),
    member_row<I, &I::get_FileName2>(L"FileName2", 2, DISPATCH_PROPERTYGET),
    member_row<I, &I::get_ContentType>(L"ContentType", 3, DISPATCH_PROPERTYGET),
    member_row<I, &I::get_Stream>(L"Stream", 4, DISPATCH_PROPERTYGET),
};

// The index is optional: without it the list gives its only value, or its values joined.
template <class I>
inline constexpr MemberRow kStringListMembers[] = {
    member_row<I, &I::get_Item, automation::ResultKind::Variant>(nullptr, DISPID_VALUE,
                                                                 DISPATCH_PROPERTYGET | DISPATCH_METHOD)
        .Optional(automation::MemberDefault{}),
};
