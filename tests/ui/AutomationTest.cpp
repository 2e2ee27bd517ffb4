// The automation object as the menu pages' script uses it: created by its
// ProgID, methods called by name through IDispatch with the registered type
// library, dialogs run in the library's activation context; and the pages
// themselves, read back through urlmon's res: protocol.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <urlmon.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "com/Handle.h"
#include "com/Object.h"
#include "resources/ResourceIds.h"
#include "tests/support/Process.h"
#include "tests/support/Roles.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/DialogSession.h"

namespace {

// Registers the shipped library for one test and removes it afterwards.
class CRegistration
{
public:
    explicit CRegistration(const CShippedLibrary& library) : m_library(library)
    {
        m_registered = m_library.RegisterServer() == S_OK;
    }
    ~CRegistration()
    {
        if (m_registered) {
            EXPECT_EQ(S_OK, m_library.UnregisterServer());
        }
    }
    bool IsRegistered() const { return m_registered; }

private:
    const CShippedLibrary& m_library;
    bool m_registered = false;
};

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

TEST(Automation, ScriptsOpenTheSettingsDialogByNameInTheLibrarysContext)
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

    CRegistration registration(library);
    ASSERT_TRUE(registration.IsRegistered());

    HRESULT created = E_FAIL;
    HRESULT calls[2] = {E_PENDING, E_PENDING};
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
        GetCurrentActCtx(&after);
        DeactivateActCtx(0, cookie);
    });

    for (int round = 0; round < 2; ++round) {
        HWND dialog = WaitForDialog(script.GetId(), L"Quellan Settings");
        ASSERT_TRUE(dialog) << "round " << round;
        // The list view class comes from common controls version 6 (Wine's
        // comctl32 reports 5.81 from DllGetVersion, so tell it by its path).
        HWND list = GetDlgItem(dialog, IDC_FILTER_LIST);
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(GetClassLongPtrW(list, GCLP_WNDPROC)), &module);
        EXPECT_NE(std::wstring::npos, ModulePathOf(module).find(L"winsxs")) << ModulePathOf(module).c_str();
        if (round == 0)
            PostKey(list, VK_ESCAPE);
        else
            PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
    }
    ASSERT_TRUE(script.Join());
    EXPECT_EQ(S_OK, created);
    EXPECT_EQ(S_OK, calls[0]);
    EXPECT_EQ(S_OK, calls[1]);
    EXPECT_EQ(callerContext, before);
    EXPECT_EQ(before, after);
    ReleaseActCtx(before);
    ReleaseActCtx(after);
}

std::string ReadSourceFile(const std::wstring& relative)
{
    std::wstring path = SourceDir() + L"\\" + relative;
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::wstring RegisteredLibraryPath()
{
    wchar_t clsid[40];
    StringFromGUID2(CLSID_Automation, clsid, 40);
    std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    wchar_t path[MAX_PATH] = L"";
    DWORD bytes = sizeof path;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return path;
}

// The receiving end of one protocol: binds for a plain download.
class CReadSink final : public CComObjectBase<CReadSink, IInternetProtocolSink, IInternetBindInfo>
{
public:
    STDMETHODIMP Switch(PROTOCOLDATA*) override { return E_NOTIMPL; }
    STDMETHODIMP ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
    STDMETHODIMP ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
    STDMETHODIMP ReportResult(HRESULT, DWORD, LPCWSTR) override { return S_OK; }
    STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override
    {
        *flags = BINDF_FROMURLMON | BINDF_NEEDFILE;
        DWORD size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        return S_OK;
    }
    STDMETHODIMP GetBindString(ULONG, LPOLESTR*, ULONG, ULONG*) override { return E_NOTIMPL; }
};

// MSHTML's res: protocol class.
const CLSID kResProtocol = {0x3050f3bc, 0x98b5, 0x11cf, {0xbb, 0x82, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x0b}};

// Reads a res: URL through urlmon and writes what came back to standard
// output. A role of its own: the test processes run with Wine's MSHTML, which
// serves res:, switched off. The test prefix is also made without MSHTML, so
// its protocol entry is missing from the registry: when it is, MSHTML's
// handler is registered for this process only.
QUELLAN_TEST_ROLE(ReadResUrl)
{
    if (args.size() != 1)
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CComPtr<IInternetSession> session;
    CComPtr<IClassFactory> resFactory;
    CRegKey handler;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"PROTOCOLS\\Handler\\res", 0, KEY_READ, handler.Put()) != ERROR_SUCCESS) {
        HMODULE mshtml = LoadLibraryW(L"mshtml.dll");
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        auto get = mshtml ? reinterpret_cast<GetClassObject>(
                                reinterpret_cast<void*>(GetProcAddress(mshtml, "DllGetClassObject")))
                          : nullptr;
        if (!get || FAILED(get(kResProtocol, IID_IClassFactory, resFactory.PutVoid())) ||
            FAILED(CoInternetGetSession(0, session.Put(), 0)) ||
            FAILED(session->RegisterNameSpace(resFactory, kResProtocol, L"res", 0, nullptr, 0)))
            return 4;
    }
    // urlmon's own binding protocol over the res: handler, as the browser
    // reads a page: started, then read until the end. (URL monikers end
    // with INET_E_DATA_NOT_AVAILABLE here: Wine's urlmon wants a cache file
    // that the res: protocol does not make.)
    if (!session && FAILED(CoInternetGetSession(0, session.Put(), 0)))
        return 5;
    CComPtr<IInternetProtocol> protocol;
    CComPtr<CReadSink> sink = CReadSink::Create();
    if (FAILED(session->CreateBinding(nullptr, args[0].c_str(), nullptr, nullptr, protocol.Put(), 0)) ||
        FAILED(protocol->Start(args[0].c_str(), sink, sink, 0, 0)))
        return 3;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (int rounds = 0; rounds < 1000; ++rounds) {
        char buffer[4096];
        ULONG read = 0;
        HRESULT hr = protocol->Read(buffer, sizeof buffer, &read);
        DWORD written = 0;
        if (read > 0)
            WriteFile(out, buffer, read, &written, nullptr);
        if (hr == S_FALSE || (FAILED(hr) && hr != E_PENDING))
            break;
    }
    protocol->Terminate(0);
    CoUninitialize();
    return 0;
}

TEST(MenuPages, LoadFromTheResUrlOfTheRegisteredLibrary)
{
    CShippedLibrary library;
    CRegistration registration(library);
    ASSERT_TRUE(registration.IsRegistered());
    std::wstring path = RegisteredLibraryPath();
    ASSERT_FALSE(path.empty());

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // The reading process gets Wine's MSHTML back.
    wchar_t overrides[256] = L"";
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 256);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree=");
    struct CPage
    {
        const wchar_t* number;
        const wchar_t* source;
    };
    for (const CPage& page : {CPage{L"205", L"resources\\SettingsPage.htm"},
                              CPage{L"207", L"resources\\BlockableItemsPage.htm"}}) {
        std::wstring url = L"res://" + path + L"/#" + page.number;
        CProgramResult read = RunProgram(self, {L"--role=ReadResUrl", url});
        if (read.exitCode == 4)
            GTEST_SKIP() << "the reading process could not load MSHTML's res: protocol (this test process's "
                            "WINEDLLOVERRIDES did not reach it); tools/pictures.sh reads the pages instead";
        EXPECT_EQ(0u, read.exitCode) << std::string(url.begin(), url.end()) << "\n" << read.err;
        EXPECT_EQ(ReadSourceFile(page.source), read.out);
    }
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides);
}

// The pages do what the menu entries need: create the object by its ProgID,
// say "ERROR" when that fails, and call the method for their entry.
TEST(MenuPages, CallTheirMethodOrSayError)
{
    for (const auto& [source, call] :
         {std::pair<const wchar_t*, const char*>{L"resources\\SettingsPage.htm", "quellan.ShowSettingsDialog();"},
          std::pair<const wchar_t*, const char*>{L"resources\\BlockableItemsPage.htm",
                                                 "quellan.ShowBlockableItemsDialog(external.menuArguments.document);"}}) {
        std::string page = ReadSourceFile(source);
        EXPECT_NE(std::string::npos, page.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\""));
        EXPECT_NE(std::string::npos, page.find("charset=utf-8"));
        EXPECT_NE(std::string::npos, page.find("new ActiveXObject(\"Quellan.Automation\")"));
        EXPECT_NE(std::string::npos, page.find("alert(\"ERROR\")"));
        EXPECT_NE(std::string::npos, page.find(call));
    }
}

}  // namespace
