// Module entry from inside: the slots and their references, detach, the utility factory's
// counts.
#include "frame/module.h"
#include "frame/static_type_info.h"
#include "frame/type_infos.h"
#include "support/test_support.h"
#include "utility/utility_impl.h"

namespace vesk_test {
namespace {

// Type information that counts its references, to watch what the slots hold.
class CountingTypeInfo final : public StaticTypeInfo {
public:
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    ULONG m_cRef = 1;
};

TEST(Slots, EachSlotHoldsExactlyOneReference) {
    CountingTypeInfo first, second;
    ITypeInfo* slot = nullptr;
    assign_typeinfo(&slot, &first);
    EXPECT_EQ(2u, first.m_cRef);
    assign_typeinfo(&slot, &second);
    EXPECT_EQ(1u, first.m_cRef) << "the old reference is dropped";
    EXPECT_EQ(2u, second.m_cRef);
    assign_typeinfo(&slot, nullptr);
    EXPECT_EQ(1u, second.m_cRef);
    EXPECT_EQ(nullptr, slot);
    assign_typeinfo(&slot, &first);
    release_typeinfo(&slot);
    release_typeinfo(&slot);  // an empty slot is left alone
    EXPECT_EQ(1u, first.m_cRef);
    EXPECT_EQ(nullptr, slot);
}

TEST(Slots, LoadFillsTheBuiltInTypeInformation) {
    EXPECT_EQ(static_cast<ITypeInfo*>(&g_utility_typeinfo), g_pTI_IUtility);
    EXPECT_EQ(static_cast<ITypeInfo*>(&g_string_list_typeinfo), g_pTI_IStringList);
    EXPECT_EQ(static_cast<ITypeInfo*>(&g_request_dictionary_typeinfo), g_pTI_IRequestDictionary);
}

TEST(Slots, DetachEmptiesEverySlotAndObjectsAnswerWithoutCrashing) {
    CComPtr<IDispatch> util;
    ASSERT_HR(S_OK, g_oCF_Utility.CreateInstance(nullptr, IID_IDispatch, util.ReceiveVoid()));
    EXPECT_NE(FALSE, DllMain(nullptr, 0, nullptr));
    for (ITypeInfo* slot : {g_pTI_IVesk, g_pTI_IVeskedTemplator, g_pTI_IFormFile, g_pTI_IStringList,
                            g_pTI_IRequestDictionary, g_pTI_ITextTemplator, g_pTI_IUtility}) {
        EXPECT_EQ(nullptr, slot);
    }
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"MD5")};
    DISPID id = 0;
    EXPECT_HR(E_UNEXPECTED, util->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    vesk_init_dispatch_typeinfo();
    EXPECT_HR(S_OK, util->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    EXPECT_EQ(44, id);
}

TEST(UtilityFactory, CountsFactoryReferencesAndObjects) {
    ASSERT_EQ(0, g_nRefCount);
    EXPECT_HR(S_OK, DllCanUnloadNow());
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, DllGetClassObject(CLSID_Utility, IID_IClassFactory, factory.ReceiveVoid()));
    EXPECT_EQ(static_cast<IClassFactory*>(&g_oCF_Utility), factory.Get());
    EXPECT_EQ(1, g_nRefCount);
    CComPtr<IUtility> util;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IUtility, util.ReceiveVoid()));
    EXPECT_EQ(2, g_nRefCount);
    EXPECT_HR(S_FALSE, DllCanUnloadNow());
    factory.Reset();
    util.Reset();
    EXPECT_EQ(0, g_nRefCount);
    EXPECT_HR(S_OK, DllCanUnloadNow());
}

TEST(UtilityFactory, ClassNameLookupIsCaseSensitive) {
    void* pv = const_cast<wchar_t*>(L"Utility");
    ASSERT_HR(S_OK, DllGetClassObject(CLSID_NULL, IID_IUnknown, &pv));
    EXPECT_EQ(static_cast<void*>(static_cast<IClassFactory*>(&g_oCF_Utility)), pv);
    static_cast<IUnknown*>(pv)->Release();
    pv = const_cast<wchar_t*>(L"utility");
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(CLSID_NULL, IID_IUnknown, &pv));
    EXPECT_HR(E_POINTER, DllGetClassObject(CLSID_Utility, IID_IUnknown, nullptr));
}

}  // namespace
}  // namespace vesk_test
