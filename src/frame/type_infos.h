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

// IFormFile: the four read-only properties of an uploaded file.
class FormFileTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr FormFileTypeInfo();
};

// IStringList of an upload field: no member by name, only its default value (DISPID 0).
class StringListTypeInfo final : public MemberTableTypeInfo {
public:
    constexpr StringListTypeInfo();
    HRESULT GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return DISP_E_UNKNOWNNAME; }
};

VESK_EXPORT extern VeskTypeInfo g_vesk_typeinfo;
VESK_EXPORT extern VeskedTemplatorTypeInfo g_vesked_templator_typeinfo;
VESK_EXPORT extern UtilityTypeInfo g_utility_typeinfo;
VESK_EXPORT extern TextTemplatorTypeInfo g_text_templator_typeinfo;
VESK_EXPORT extern FormFileTypeInfo g_form_file_typeinfo;
VESK_EXPORT extern StringListTypeInfo g_string_list_typeinfo;
VESK_EXPORT extern PassiveTypeInfo g_request_dictionary_typeinfo;
