// The composition root of the module: the module state, the global objects in their
// construction order, and the two tables every entry point walks. The only file of the
// frame that sees the component folders.
#include "controller/vesk_impl.h"
#include "controller/vesk_session.h"
#include "frame/module.h"
#include "frame/type_infos.h"
#include "template/template_cache.h"
#include "templators/text_templator.h"
#include "templators/vesked_templator.h"
#include "upload/form_file.h"
#include "upload/multipart_form.h"
#include "utility/utility_impl.h"

// ---- Plain module state ----------------------------------------------------------------

HMODULE g_hDLL = nullptr;
wchar_t g_aDLLPath[kModulePathChars] = {};
long g_nRefCount = 0;

ITypeInfo* g_pTI_IVesk = nullptr;
ITypeInfo* g_pTI_IVeskedTemplator = nullptr;
ITypeInfo* g_pTI_IFormFile = nullptr;
ITypeInfo* g_pTI_IStringList = nullptr;
ITypeInfo* g_pTI_IRequestDictionary = nullptr;
ITypeInfo* g_pTI_ITextTemplator = nullptr;
ITypeInfo* g_pTI_IUtility = nullptr;

// ---- The tables ------------------------------------------------------------------------

namespace {

constexpr int kFirstLibrary = 1;   // the module's own type library
constexpr int kSecondLibrary = 2;  // its second one, resource "\2": the host collections

// Interfaces whose type information does not exist yet keep an empty slot until their class
// arrives.
constinit const CTypeInfoSlot kTypeInfoSlots[] = {
    {&g_pTI_IVesk, &IID_IVesk, &g_vesk_typeinfo, kFirstLibrary},
    {&g_pTI_IVeskedTemplator, &IID_IVeskedTemplator, &g_vesked_templator_typeinfo, kFirstLibrary},
    {&g_pTI_IFormFile, &IID_IFormFile, &g_form_file_typeinfo, kFirstLibrary},
    {&g_pTI_IStringList, &IID_IStringList, &g_string_list_typeinfo, kSecondLibrary},
    {&g_pTI_IRequestDictionary, &IID_IRequestDictionary, &g_request_dictionary_typeinfo, kSecondLibrary},
    {&g_pTI_ITextTemplator, &IID_ITextTemplator, &g_text_templator_typeinfo, kFirstLibrary},
    {&g_pTI_IUtility, &IID_IUtility, &g_utility_typeinfo, kFirstLibrary},
};

}  // namespace

std::span<const CTypeInfoSlot> module_typeinfo_slots() { return kTypeInfoSlots; }

void assign_typeinfo(ITypeInfo** slot, ITypeInfo* typeInfo) {
    if (*slot) (*slot)->Release();
    *slot = typeInfo;
    if (typeInfo) typeInfo->AddRef();
}

void release_typeinfo(ITypeInfo** slot) {
    if (*slot == nullptr) return;
    (*slot)->Release();
    *slot = nullptr;
}

void vesk_init_dispatch_typeinfo() {
    for (const CTypeInfoSlot& row : kTypeInfoSlots) assign_typeinfo(row.slot, row.builtin);
}

void vesk_free_dispatch_typeinfo() {
    for (const CTypeInfoSlot& row : kTypeInfoSlots) release_typeinfo(row.slot);
}

// ---- Global objects, in construction order ---------------------------------------------
// Objects of one translation unit are constructed in the order they are defined and
// destroyed in reverse, which gives exactly the module's load and exit sequence:
//   load: type information into the slots, then the template cache, the null session and the
//         class factories from g_oCF_Vesk to g_oCF_Utility;
//   exit: the slots are emptied first, then the factories from g_oCF_Utility back to
//         g_oCF_Vesk (freeing their pooled blocks), the null session, the template cache.

namespace {
struct CTypeInfoInstaller {
    CTypeInfoInstaller() { vesk_init_dispatch_typeinfo(); }
};
struct CTypeInfoReleaser {
    ~CTypeInfoReleaser() { vesk_free_dispatch_typeinfo(); }
};
}  // namespace

static CTypeInfoInstaller s_oTypeInfoInstaller;

CTemplateCache g_oTemplateCache;

CVeskSessionNull g_oVeskSessionNull;

// The factories, in this order: g_oCF_Vesk, g_oCF_VeskedTemplator, g_oCF_FormFile,
// g_oCF_MultipartFormStringList, g_oCF_MultipartForm, g_oCF_TextTemplator, g_oCF_Utility.
CVeskFactory g_oCF_Vesk;
CVeskedTemplatorFactory g_oCF_VeskedTemplator;
CFormFileFactory g_oCF_FormFile;
CMultipartFormStringListFactory g_oCF_MultipartFormStringList;
CMultipartFormFactory g_oCF_MultipartForm;
CTextTemplatorFactory g_oCF_TextTemplator;
CUtilityFactory g_oCF_Utility;

// Defined last so that it is destroyed first.
static CTypeInfoReleaser s_oTypeInfoReleaser;

namespace {

// A class whose factory is null is not built yet; its row already fixes its place.
constinit const CModuleClass kClasses[] = {
    {L"Vesk", &CLSID_Vesk, L"Vesk", &g_oCF_Vesk, &g_pTI_IVesk},
    {nullptr, nullptr, nullptr, &g_oCF_VeskedTemplator, &g_pTI_IVeskedTemplator},         // page-bound templator: made by "Vesk" only
    {nullptr, nullptr, nullptr, &g_oCF_FormFile, &g_pTI_IFormFile},                       // uploaded file
    {nullptr, nullptr, nullptr, &g_oCF_MultipartFormStringList, &g_pTI_IStringList},      // values of one upload field
    {nullptr, nullptr, nullptr, &g_oCF_MultipartForm, &g_pTI_IRequestDictionary},         // upload form
    {L"TextTemplator", &CLSID_TextTemplator, L"Vesk.TextTemplator", &g_oCF_TextTemplator, &g_pTI_ITextTemplator},
    {L"Utility", &CLSID_Utility, L"Vesk.Utility", &g_oCF_Utility, &g_pTI_IUtility},
};

}  // namespace

std::span<const CModuleClass> module_classes() { return kClasses; }
