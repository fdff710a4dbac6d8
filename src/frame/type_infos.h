// The built-in type information of each dispatch interface: stateless singletons that fill
// the type-information slots when no type library is available (always, on this platform).
// Later interfaces add their class and singleton here, as a member table over their rows.
#pragma once

#include "frame/member_table.h"
#include "frame/module.h"

// IVesk: the page controller's own members, then the utility members.
class VeskTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr VeskTypeInfo();
};

// IUtility: the fifteen utility members.
class UtilityTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr UtilityTypeInfo();
};

// IVeskedTemplator: the nine page-bound templator members.
class VeskedTemplatorTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr VeskedTemplatorTypeInfo();
};

// ITextTemplator: the eight text templator members.
class TextTemplatorTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr TextTemplatorTypeInfo();
};

VESK_EXPORT extern VeskTypeInfo g_vesk_typeinfo;
VESK_EXPORT extern VeskedTemplatorTypeInfo g_vesked_templator_typeinfo;
VESK_EXPORT extern UtilityTypeInfo g_utility_typeinfo;
VESK_EXPORT extern TextTemplatorTypeInfo g_text_templator_typeinfo;
VESK_EXPORT extern PassiveTypeInfo g_string_list_typeinfo;
VESK_EXPORT extern PassiveTypeInfo g_request_dictionary_typeinfo;
