#include "frame/type_infos.h"

#include "controller/vesk_members.h"
#include "templators/text_templator_members.h"
#include "templators/vesked_templator_members.h"
#include "upload/upload_members.h"
#include "utility/utility_members.h"

namespace {
constexpr MemberRows kVeskTable[] = {kVeskMembers<IVesk>, kUtilityMembers<IVesk>};
constexpr MemberRows kVeskedTemplatorTable[] = {kVeskedTemplatorMembers<IVeskedTemplator>};
constexpr MemberRows kUtilityTable[] = {kUtilityMembers<IUtility>};
constexpr MemberRows kTextTemplatorTable[] = {kTextTemplatorMembers<ITextTemplator>};
constexpr MemberRows kFormFileTable[] = {kFormFileMembers<IFormFile>};
constexpr MemberRows kStringListTable[] = {kStringListMembers<PravoltTypeLibrary::IStringList>};
}  // namespace

constexpr VeskTypeInfo::VeskTypeInfo() : MemberTableTypeInfo(kVeskTable) {}
constexpr VeskedTemplatorTypeInfo::VeskedTemplatorTypeInfo() : MemberTableTypeInfo(kVeskedTemplatorTable) {}
constexpr UtilityTypeInfo::UtilityTypeInfo() : MemberTableTypeInfo(kUtilityTable) {}
constexpr TextTemplatorTypeInfo::TextTemplatorTypeInfo() : MemberTableTypeInfo(kTextTemplatorTable) {}
constexpr FormFileTypeInfo::FormFileTypeInfo() : MemberTableTypeInfo(kFormFileTable) {}
constexpr StringListTypeInfo::StringListTypeInfo() : MemberTableTypeInfo(kStringListTable) {}

// The slots are filled while the module's globals are constructed, so the type information
// itself must need no construction at run time.
constinit VeskTypeInfo g_vesk_typeinfo;
constinit VeskedTemplatorTypeInfo g_vesked_templator_typeinfo;
constinit UtilityTypeInfo g_utility_typeinfo;
constinit TextTemplatorTypeInfo g_text_templator_typeinfo;
constinit FormFileTypeInfo g_form_file_typeinfo;
constinit StringListTypeInfo g_string_list_typeinfo;
constinit PassiveTypeInfo g_request_dictionary_typeinfo;
