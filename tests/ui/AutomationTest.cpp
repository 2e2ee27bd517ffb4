// The automation object as the menu pages' script uses it: created by its
// ProgID, methods called by name through IDispatch with the registered type
// library, dialogs run in the library's activation context.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "com/Handle.h"
#include "resources/ResourceIds.h"
#include "tests/ui/DialogSession.h"
#include "tools/standin/StandInDocument.h"
#include "verdict/RequestVerdict.h"

namespace {

HRESULT NameToId(IDispatch* dispatch, const wchar_t* name, DISPID* id)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

HRESULT CallByName(IDispatch* dispatch, const wchar_t* name, VARIANT* arguments, UINT count)
{
    DISPID id = 0;
    HRESULT hr = NameToId(dispatch, name, &id);
    if (FAILED(hr))
        return hr;
    DISPPARAMS parameters = {arguments, nullptr, count, 0};
    return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                            nullptr);
}

std::wstring ModulePathOf(HMODULE module)
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring lower = path;
    for (wchar_t& c : lower)
        c = towlower(c);
    return lower;
}

// An activation context of the caller's own, made from the library's
// manifest resource: a handle that differs from the library's.
CActivationContext MakeCallerContext()
{
    std::wstring path = ShippedLibraryPath();
    CLibrary data(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(IDR_MANIFEST);
    return CActivationContext(CreateActCtxW(&request));
}

TEST(Automation, ScriptsOpenTheDialogsByNameInTheLibrarysContext)
{
    CShippedLibrary library;
    // Without a registered type library, names cannot be resolved.
    HRESULT unregistered = S_OK;
    CApartmentThread([&] {
        CComPtr<IClassFactory> factory;
        CComPtr<IDispatch> automation;
        if (SUCCEEDED(library.GetClassObject(CLSID_Automation, IID_IClassFactory, factory.PutVoid())) &&
            SUCCEEDED(factory->CreateInstance(nullptr, IID_IDispatch, automation.PutVoid()))) {
            DISPID id = 0;
            unregistered = NameToId(automation, L"ShowSettingsDialog", &id);
        }
    }).Join();
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, unregistered);

    CShippedRegistration registration(library);
    ASSERT_TRUE(registration.IsRegistered());

    HRESULT created = E_FAIL;
    HRESULT calls[3] = {E_PENDING, E_PENDING, E_PENDING};
    HRESULT withoutDocument = E_PENDING;
    HANDLE before = nullptr;
    HANDLE after = nullptr;
    HANDLE callerContext = nullptr;
    CApartmentThread script([&] {
        CLSID clsid = {};
        created = CLSIDFromProgID(L"Quellan.Automation", &clsid);
        CComPtr<IDispatch> automation;
        if (SUCCEEDED(created))
            created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, automation.PutVoid());
        if (FAILED(created))
            return;
        CActivationContext context = MakeCallerContext();
        callerContext = context.Get();
        ULONG_PTR cookie = 0;
        if (!ActivateActCtx(context.Get(), &cookie))
            return;
        GetCurrentActCtx(&before);
        // The same page twice: two dialogs, one after the other.
        calls[0] = CallByName(automation, L"ShowSettingsDialog", nullptr, 0);
        calls[1] = CallByName(automation, L"showsettingsdialog", nullptr, 0);
        // The context menu's page passes the page's document.
        CComPtr<IHTMLDocument2> document = CreateStandInDocument(L"<img src=\"a.png\">", L"http://example.com/");
        VARIANT argument;
        VariantInit(&argument);
        argument.vt = VT_DISPATCH;
        argument.pdispVal = document;
        calls[2] = CallByName(automation, L"ShowBlockableItemsDialog", &argument, 1);
        CComPtr<IAutomation> direct;
        automation->QueryInterface(IID_IAutomation, direct.PutVoid());
        withoutDocument = direct ? direct->ShowBlockableItemsDialog(nullptr) : E_NOINTERFACE;
        GetCurrentActCtx(&after);
        DeactivateActCtx(0, cookie);
    });

    for (int round = 0; round < 3; ++round) {
        const bool settings = round < 2;
        HWND dialog = WaitForDialog(script.GetId(), settings ? L"Quellan Settings" : L"Blockable Items");
        ASSERT_TRUE(dialog) << "round " << round;
        // The list view class comes from common controls version 6 (Wine's
        // comctl32 reports 5.81 from DllGetVersion, so tell it by its path).
        HWND list = GetDlgItem(dialog, settings ? IDC_FILTER_LIST : IDC_ITEM_LIST);
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(GetClassLongPtrW(list, GCLP_WNDPROC)), &module);
        EXPECT_NE(std::wstring::npos, ModulePathOf(module).find(L"winsxs")) << ModulePathOf(module).c_str();
        if (round == 0)
            PostKey(list, VK_ESCAPE);
        else if (round == 1)
            PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
        else
            PostClick(GetDlgItem(dialog, IDC_CLOSE));
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
    }
    ASSERT_TRUE(script.Join());
    EXPECT_EQ(S_OK, created);
    EXPECT_EQ(S_OK, calls[0]);
    EXPECT_EQ(S_OK, calls[1]);
    EXPECT_EQ(S_OK, calls[2]);
    EXPECT_EQ(E_INVALIDARG, withoutDocument);
    EXPECT_EQ(callerContext, before);
    EXPECT_EQ(before, after);
    ReleaseActCtx(before);
    ReleaseActCtx(after);
}

// "Don't block on this site": the page's site joins the allowed sites, so
// that its next load has nothing blocked; a page without a site, or no
// page, changes nothing.
TEST(Automation, AllowSiteLetsTheSitesNextPageLoadWithNothingBlocked)
{
    CUserStoreReset reset;
    StoreAdblockList("! Title: Ads\n||ads.test^\n");
    RequestContext ad;
    ad.url = L"http://ads.test/banner.png";
    ad.pageUrl = L"http://www.example.com/news/";
    ad.type = kRequestImage;
    ASSERT_FALSE(IsRequestAllowed(ad));

    CShippedLibrary library;
    HRESULT results[3] = {E_PENDING, E_PENDING, E_PENDING};
    VARIANT_BOOL allowed[3] = {VARIANT_FALSE, VARIANT_TRUE, VARIANT_TRUE};
    CApartmentThread script([&] {
        CComPtr<IClassFactory> factory;
        CComPtr<IAutomation> automation;
        if (FAILED(library.GetClassObject(CLSID_Automation, IID_IClassFactory, factory.PutVoid())) ||
            FAILED(factory->CreateInstance(nullptr, IID_IAutomation, automation.PutVoid())))
            return;
        CComPtr<IHTMLDocument2> page =
            CreateStandInDocument(L"<p>x</p>", L"http://WWW.Example.com:8080/news/?page=2");
        results[0] = automation->AllowSite(page, &allowed[0]);
        CComPtr<IHTMLDocument2> file = CreateStandInDocument(L"<p>x</p>", L"file:///C:/pages/news.htm");
        results[1] = automation->AllowSite(file, &allowed[1]);
        results[2] = automation->AllowSite(nullptr, &allowed[2]);
        StandInDocument(page).Close();
        StandInDocument(file).Close();
    });
    ASSERT_TRUE(script.Join());
    EXPECT_EQ(S_OK, results[0]);
    EXPECT_EQ(VARIANT_TRUE, allowed[0]);
    EXPECT_EQ(S_OK, results[1]);
    EXPECT_EQ(VARIANT_FALSE, allowed[1]);
    EXPECT_EQ(E_INVALIDARG, results[2]);
    EXPECT_EQ(VARIANT_FALSE, allowed[2]);
    EXPECT_TRUE(IsRequestAllowed(ad));
}

}  // namespace
