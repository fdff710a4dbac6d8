// The class table and the slot table: the rows every entry point walks must agree with each
// other, since a class added with a slot the slot table does not fill would answer no call.
#include <gtest/gtest.h>

#include <set>

#include "frame/module.h"
#include "support/test_support.h"

namespace {

TEST(ModuleTables, EveryClassAnswersFromAFilledSlotAndPublicClassesAreComplete) {
    std::set<ITypeInfo**> slots;
    for (const CTypeInfoSlot& row : module_typeinfo_slots()) {
        EXPECT_TRUE(slots.insert(row.slot).second) << "a slot is listed once";
        EXPECT_TRUE(row.library == 1 || row.library == 2);
        EXPECT_EQ(row.builtin, *row.slot) << "loaded: the slot holds its built-in type information";
    }
    std::set<std::wstring> names;
    for (const CModuleClass& cls : module_classes()) {
        EXPECT_EQ(1u, slots.count(cls.slot));
        const bool isPublic = cls.name != nullptr;
        EXPECT_EQ(isPublic, cls.clsid != nullptr);
        EXPECT_EQ(isPublic, cls.progId != nullptr);
        EXPECT_TRUE(!isPublic || names.insert(cls.name).second) << "a public name is listed once";
        EXPECT_TRUE(!cls.factory || *cls.slot != nullptr) << "a built class answers from type information that exists";
    }
    ASSERT_FALSE(module_classes().empty());
    EXPECT_STREQ(L"Vesk", module_classes().front().name) << "the first row answers an empty name";
}

TEST(ModuleTables, RegistrationAndLookupWalkTheSameRows) {
    for (const CModuleClass& cls : module_classes()) {
        if (cls.name == nullptr) continue;
        void* byId = nullptr;
        void* byName = const_cast<wchar_t*>(cls.name);
        const HRESULT expected = cls.factory ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
        EXPECT_HR(expected, DllGetClassObject(*cls.clsid, IID_IClassFactory, &byId));
        EXPECT_HR(expected, DllGetClassObject(CLSID_NULL, IID_IClassFactory, &byName));
        if (cls.factory) {
            EXPECT_EQ(byId, byName);
            static_cast<IUnknown*>(byId)->Release();
            static_cast<IUnknown*>(byName)->Release();
        }
    }
    EXPECT_HR(S_OK, DllRegisterServer());
    EXPECT_HR(S_OK, DllUnregisterServer());
}

}  // namespace
