#include "frame/type_infos.h"

#include "utility/utility_members.h"

namespace {
constexpr MemberRows kUtilityTable[] = {kUtilityMembers<IUtility>};
}  // namespace

constexpr UtilityTypeInfo::UtilityTypeInfo() : MemberTableTypeInfo(kUtilityTable) {}

// The slots are filled while the module's globals are constructed, so the type information
// itself must need no construction at run time.
constinit UtilityTypeInfo g_utility_typeinfo;
constinit PassiveTypeInfo g_string_list_typeinfo;
constinit PassiveTypeInfo g_request_dictionary_typeinfo;
