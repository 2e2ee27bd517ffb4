// The menu pages as the browser reaches them: read back from the res: URL of
// the registered library through urlmon's res: protocol, and what their
// script does.
//
// This executable runs with Wine's MSHTML enabled (it serves res:); the
// other test executables run without it. The test prefix is made without
// MSHTML's registration, so its res: protocol entry is missing there: the
// test then registers MSHTML's handler for this process, as the browser's
// own registration would.

#include <gtest/gtest.h>

#include <windows.h>
#include <urlmon.h>

#include <string>

#include "com/ComPtr.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Object.h"
#include "resources/QuellanLib.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/support/Files.h"
#include "tests/support/TestEnvironment.h"

namespace {

std::string ReadSourceFile(const std::wstring& relative)
{
    return ReadFileBytes(SourceDir() + L"\\" + relative);
}

std::wstring RegisteredLibraryPath()
{
    std::wstring key = L"CLSID\\" + GuidText(CLSID_Automation) + L"\\InprocServer32";
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

class MenuPages : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(S_OK, CoInternetGetSession(0, m_session.Put(), 0));
        CRegKey handler;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"PROTOCOLS\\Handler\\res", 0, KEY_READ, handler.Put()) ==
            ERROR_SUCCESS)
            return;
        m_mshtml.Reset(LoadLibraryW(L"mshtml.dll"));
        ASSERT_TRUE(m_mshtml) << "MSHTML is not available to this process (WINEDLLOVERRIDES?)";
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        auto get = GetExport<GetClassObject>(m_mshtml.Get(), "DllGetClassObject");
        ASSERT_TRUE(get);
        ASSERT_EQ(S_OK, get(kResProtocol, IID_IClassFactory, m_resFactory.PutVoid()));
        ASSERT_EQ(S_OK, m_session->RegisterNameSpace(m_resFactory, kResProtocol, L"res", 0, nullptr, 0));
    }
    void TearDown() override
    {
        if (m_resFactory)
            m_session->UnregisterNameSpace(m_resFactory, L"res");
        m_resFactory.Reset();
        m_session.Reset();
        CoUninitialize();
    }

    // The bytes behind url, read as the browser reads a page: urlmon's
    // binding over the res: handler, started, then read to the end. (URL
    // monikers end with INET_E_DATA_NOT_AVAILABLE under Wine: its urlmon
    // wants a cache file that the res: protocol does not make.)
    std::string Read(const std::wstring& url)
    {
        CComPtr<IInternetProtocol> protocol;
        CComPtr<CReadSink> sink = CReadSink::Create();
        HRESULT hr = m_session->CreateBinding(nullptr, url.c_str(), nullptr, nullptr, protocol.Put(), 0);
        EXPECT_EQ(S_OK, hr);
        if (FAILED(hr))
            return std::string();
        hr = protocol->Start(url.c_str(), sink, sink, 0, 0);
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        std::string bytes;
        for (int rounds = 0; SUCCEEDED(hr) && rounds < 1000; ++rounds) {
            char buffer[4096];
            ULONG read = 0;
            hr = protocol->Read(buffer, sizeof buffer, &read);
            bytes.append(buffer, read);
            if (hr == S_FALSE || (FAILED(hr) && hr != E_PENDING))
                break;
        }
        EXPECT_EQ(S_FALSE, hr) << "the page did not end cleanly";
        protocol->Terminate(0);
        return bytes;
    }

    CComPtr<IInternetSession> m_session;
    CLibrary m_mshtml;
    CComPtr<IClassFactory> m_resFactory;
};

TEST_F(MenuPages, LoadFromTheResUrlOfTheRegisteredLibrary)
{
    CShippedLibrary library;
    CShippedRegistration registration(library);
    ASSERT_TRUE(registration.IsRegistered());
    std::wstring path = RegisteredLibraryPath();
    ASSERT_FALSE(path.empty());

    for (const auto& [number, source] : {std::pair<const wchar_t*, const wchar_t*>{L"205", L"resources\\SettingsPage.htm"},
                                         {L"207", L"resources\\BlockableItemsPage.htm"},
                                         {L"209", L"resources\\AllowSitePage.htm"},
                                         {L"211", L"resources\\DisallowSitePage.htm"}}) {
        std::wstring url = L"res://" + path + L"/#" + number;
        EXPECT_EQ(ReadSourceFile(source), Read(url)) << std::string(url.begin(), url.end());
    }
    // A resource number the library does not have gives no page.
    CComPtr<IInternetProtocol> protocol;
    CComPtr<CReadSink> sink = CReadSink::Create();
    std::wstring missing = L"res://" + path + L"/#206";
    ASSERT_EQ(S_OK, m_session->CreateBinding(nullptr, missing.c_str(), nullptr, nullptr, protocol.Put(), 0));
    EXPECT_TRUE(FAILED(protocol->Start(missing.c_str(), sink, sink, 0, 0)));
}

// The pages do what the menu entries need: create the object by its ProgID,
// say "ERROR" when that fails, and call the method for their entry.
TEST(MenuPageScripts, CallTheirMethodOrSayError)
{
    for (const auto& [source, call] :
         {std::pair<const wchar_t*, const char*>{L"resources\\SettingsPage.htm", "quellan.ShowSettingsDialog();"},
          std::pair<const wchar_t*, const char*>{L"resources\\BlockableItemsPage.htm",
                                                 "quellan.ShowBlockableItemsDialog(external.menuArguments.document);"},
          std::pair<const wchar_t*, const char*>{L"resources\\AllowSitePage.htm",
                                                 "allowed = quellan.AllowSite(page.document);"},
          std::pair<const wchar_t*, const char*>{L"resources\\DisallowSitePage.htm",
                                                 "removed = quellan.DisallowSite(page.document);"}}) {
        std::string page = ReadSourceFile(source);
        EXPECT_NE(std::string::npos, page.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\""));
        EXPECT_NE(std::string::npos, page.find("charset=utf-8"));
        EXPECT_NE(std::string::npos, page.find("new ActiveXObject(\"Quellan.Automation\")"));
        EXPECT_NE(std::string::npos, page.find("alert(\"ERROR\")"));
        EXPECT_NE(std::string::npos, page.find(call));
    }
}

}  // namespace
