// QuellanHost.exe as COM runs it: registration read back key by key, the
// command line, serving the Broker class to a client in another process
// (this one), and the idle shutdown, which takes real seconds. The time
// bounds only tell "too early" (the host cannot end less than 5 s after it
// became idle) from "about right" (a generous upper bound), so that a
// loaded machine can only make a test slower, never fail it.

#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>
#include <oleidl.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "broker/CreateBroker.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "resources/QuellanIds.h"
#include "resources/QuellanLib.h"
#include "tests/broker/BrokerTestSupport.h"
#include "tests/broker/FileDialogDriver.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/support/Process.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/Wine.h"

namespace {

// The earliest a host may end after it became idle: the idle time-out.
constexpr DWORD kIdleMs = 5000;
// Generous: only tells a host that stays from one that ends.
constexpr DWORD kExitBoundMs = 45000;

std::wstring HostPath()
{
    return ShippedBinaryDir() + L"\\host\\QuellanHost.exe";
}

DWORD RunHost(const std::vector<std::wstring>& args)
{
    return RunProgram(HostPath(), args).exitCode;
}

std::vector<DWORD> HostProcesses()
{
    std::vector<DWORD> found;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"QuellanHost.exe") == 0)
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

CHandle OpenHost(DWORD id)
{
    return CHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, id));
}

// The one host process that serves now.
CHandle TheHost()
{
    std::vector<DWORD> hosts = HostProcesses();
    EXPECT_EQ(1u, hosts.size());
    return hosts.size() == 1 ? OpenHost(hosts[0]) : CHandle();
}

struct CExit
{
    DWORD afterMs = 0;  // since the given start
    DWORD code = static_cast<DWORD>(-1);
};

// Waits (bounded) for the host to end; fails the test if it does not.
CExit WaitForExit(const CHandle& host, DWORD startTick)
{
    CExit exit;
    if (!host)
        return exit;
    if (WaitForSingleObject(host.Get(), kExitBoundMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the host did not end by itself";
        TerminateProcess(host.Get(), 255);
        return exit;
    }
    exit.afterMs = GetTickCount() - startTick;
    GetExitCodeProcess(host.Get(), &exit.code);
    return exit;
}

CComPtr<IBroker> CreateOutOfProcess()
{
    try {
        return CreateBroker(CLSCTX_LOCAL_SERVER);
    } catch (const CHResultException& e) {
        ADD_FAILURE() << "cannot create the broker out of process: 0x" << std::hex << e.GetHResult();
        return nullptr;
    }
}

// Starting and ending the host needs nothing registered.
TEST(HostProcess, ExitsAtOnceWithZeroUnlessStartedWithEmbedding)
{
    // Without the library registered, a host that tried to serve would end
    // with the error of loading it; these end with 0 because they never try.
    for (const std::vector<std::wstring>& args : std::vector<std::vector<std::wstring>>{
             {}, {L"/Embeddingx"}, {L"-Automation", L"x"}, {L"Embedding"}}) {
        EXPECT_EQ(0u, RunHost(args)) << args.size();
    }
    // The Embedding switch in any case, after either sign.
    for (const wchar_t* embedding : {L"-Embedding", L"/embedding", L"-EMBEDDING"})
        EXPECT_EQ(static_cast<DWORD>(REGDB_E_CLASSNOTREG), RunHost({embedding}));
    EXPECT_TRUE(HostProcesses().empty());
}

// Registers the library (and, unless a test says otherwise, the host) for
// the test; every test ends with the host gone and nothing registered.
class HostServer : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(HostProcesses().empty()) << "a host from before the test";
        ASSERT_EQ(S_OK, m_library.RegisterServer());
        ASSERT_EQ(0u, RunHost({L"/RegServer"}));
    }
    void TearDown() override
    {
        for (DWORD id : HostProcesses()) {
            CHandle host = OpenHost(id);
            WaitForExit(host, GetTickCount());
        }
        EXPECT_EQ(0u, RunHost({L"/UnregServer"}));
        EXPECT_EQ(S_OK, m_library.UnregisterServer());
        CoUninitialize();
    }

    CShippedLibrary m_library;
};

TEST_F(HostServer, ServesTheBrokerToAnotherProcessThroughTheTypeLibrary)
{
    CComPtr<IBroker> broker = CreateOutOfProcess();
    ASSERT_TRUE(broker);
    CHandle host = TheHost();
    ASSERT_TRUE(host);
    // A proxy, set to let the host impersonate this process.
    CComPtr<IClientSecurity> security;
    EXPECT_EQ(S_OK, broker->QueryInterface(IID_IClientSecurity, security.PutVoid()));
    security.Reset();
    DWORD impersonation = 0;
    HRESULT hr = CoQueryProxyBlanket(broker, nullptr, nullptr, nullptr, nullptr, &impersonation, nullptr, nullptr);
    // Wine's proxies refuse to set (E_NOTIMPL) or report a blanket.
    EXPECT_TODO_WINE(hr == S_OK && impersonation == RPC_C_IMP_LEVEL_IMPERSONATE);
    // The calls reach the library's broker in the host, which writes the
    // entries of this user.
    ASSERT_EQ(S_OK, broker->InstallMenuExt(1));
    EXPECT_EQ((std::vector<std::wstring>{L"=res://quellan.dll/#207", L"Contexts=dword:1"}),
              KeyValues(HKEY_CURRENT_USER, ContextMenuKey()));
    ASSERT_EQ(S_OK, broker->InstallMenuExt(0));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, MenuExtensionKey()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ContextMenuKey()));
    // Nothing but IBroker (and COM's own) answers.
    CComPtr<IOleWindow> window;
    EXPECT_EQ(E_NOINTERFACE, broker->QueryInterface(__uuidof(IOleWindow), window.PutVoid()));
}

TEST_F(HostServer, OutsideProtectedModeTheBrokerIsCreatedInProcess)
{
    // Never Protected Mode here (Wine has no IEIsProtectedModeProcess, and a
    // test process on Windows runs at medium integrity).
    CComPtr<IBroker> broker = CreateBroker();
    ASSERT_TRUE(broker);
    CComPtr<IClientSecurity> security;
    EXPECT_EQ(E_NOINTERFACE, broker->QueryInterface(IID_IClientSecurity, security.PutVoid())) << "not a proxy";
    EXPECT_TRUE(HostProcesses().empty());
}

TEST_F(HostServer, FileDialogsOutOfProcessHandTheFileToTheCaller)
{
    HWND owner = CreateWindowExW(0, L"STATIC", L"Quellan test owner", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    std::wstring folder = MakeScratchDir();
    std::wstring path = folder + L"\\list.txt";
    WriteFileBytes(path, "[Adblock]\r\n*/ads/*\r\n");
    CComPtr<IBroker> broker = CreateOutOfProcess();
    ASSERT_TRUE(broker);
    auto count = [&] {
        return CountHandles(L"File", L"\\list.txt") + CountHandles(L"Process") + CountHandles(L"Token");
    };
    const DWORD before = count();

    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "export" : "import");
        // Out of process the caller's variable is not left as it was: the
        // stub's own comes back over the wire. The caller's 0 stays 0.
        LONG file = 0;
        HRESULT hr;
        {
            CFileDialogDriver driver(owner, [&](CFileDialogDriver& d) {
                // Under Wine the call fails before any dialog (a dialog would
                // block it until the driver's watchdog fails the test).
                if (IsRunningUnderWine())
                    return;
                HWND dialog = d.WaitForDialog(save ? L"Export Filter List" : L"Import Filter List");
                if (!dialog)
                    return;
                d.TypeFileName(dialog, path);
                CFileDialogDriver::Press(dialog, IDOK);
                if (save) {
                    if (HWND prompt = d.WaitForMessageBox(dialog))
                        CFileDialogDriver::Press(prompt, IDYES);
                }
            });
            hr = save ? broker->ShowExportDialog(HandleToLong(owner), &file)
                      : broker->ShowImportDialog(HandleToLong(owner), &file);
        }
        // Wine has no COM call context: CoGetCallContext fails with
        // RPC_E_CALL_COMPLETE, so the host cannot impersonate the caller to
        // open its process, and fails before it shows the dialog.
        EXPECT_TODO_WINE(hr == S_OK);
        if (FAILED(hr)) {
            if (IsRunningUnderWine()) {
                EXPECT_EQ(RPC_E_CALL_COMPLETE, hr);
            }
            EXPECT_EQ(0, file);
            EXPECT_EQ("[Adblock]\r\n*/ads/*\r\n", ReadFileBytes(path)) << "no file touched";
        } else {
            CHandle handle(LongToHandle(file));
            EXPECT_EQ(before + 1, count()) << "the duplicate, in this process";
            if (save) {
                EXPECT_EQ(0u, FileSize(path));
                DWORD written = 0;
                EXPECT_TRUE(WriteFile(handle.Get(), "[Adblock]\r\n*/ads/*\r\n", 20, &written, nullptr));
            } else {
                EXPECT_EQ("[Adblock]\r\n*/ads/*\r\n", ReadAll(handle.Get()));
            }
        }
        EXPECT_EQ(before, count());
    }
    broker.Reset();
    DestroyWindow(owner);
}

TEST_F(HostServer, EndsAboutFiveSecondsAfterItsLastClientLeaves)
{
    CComPtr<IBroker> broker = CreateOutOfProcess();
    ASSERT_TRUE(broker);
    CHandle host = TheHost();
    ASSERT_EQ(S_OK, broker->InstallMenuExt(0));
    DWORD released = GetTickCount();
    broker.Reset();
    CExit exit = WaitForExit(host, released);
    EXPECT_GE(exit.afterMs, kIdleMs) << "ended before the idle time-out";
    EXPECT_EQ(0u, exit.code);
}

TEST_F(HostServer, ANewClientWithinTheIdleTimeKeepsItAlive)
{
    CComPtr<IBroker> broker = CreateOutOfProcess();
    ASSERT_TRUE(broker);
    std::vector<DWORD> hosts = HostProcesses();
    ASSERT_EQ(1u, hosts.size());
    CHandle host = OpenHost(hosts[0]);
    DWORD released = GetTickCount();
    broker.Reset();
    Sleep(2000);
    broker = CreateOutOfProcess();
    ASSERT_TRUE(broker);
    DWORD again = GetTickCount() - released;
    if (again >= kIdleMs)
        GTEST_SKIP() << "the machine took " << again << " ms to come back: cannot tell";
    EXPECT_EQ(hosts, HostProcesses()) << "the same host serves the new client";
    // Past the time at which the first release would have ended it.
    Sleep(kIdleMs + 2000);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(host.Get(), 0)) << "ended under a client";
    EXPECT_EQ(S_OK, broker->InstallMenuExt(0));
    released = GetTickCount();
    broker.Reset();
    CExit exit = WaitForExit(host, released);
    EXPECT_GE(exit.afterMs, kIdleMs);
    EXPECT_EQ(0u, exit.code);
}

// A client that comes just before, as, or just after the host decides to
// end is served, by that host or by a new one that COM starts. Each round
// first proves a host serves (so that a failure is the race's, not a
// broken start).
TEST_F(HostServer, AClientArrivingAsTheHostEndsIsServed)
{
    for (DWORD offset : {4700u, 4900u, 5000u, 5100u, 5300u}) {
        SCOPED_TRACE(offset);
        CComPtr<IBroker> broker = CreateOutOfProcess();
        ASSERT_TRUE(broker);
        ASSERT_EQ(S_OK, broker->InstallMenuExt(0)) << "before the race";
        broker.Reset();
        Sleep(offset);
        broker = CreateOutOfProcess();
        ASSERT_TRUE(broker);
        EXPECT_EQ(S_OK, broker->InstallMenuExt(0));
    }
}

TEST_F(HostServer, StartedByHandWithEmbeddingItServesAndEndsWhenIdle)
{
    // Without its LocalServer32 entry COM cannot start a host itself: a
    // client can only reach the one started here, once it has registered.
    ASSERT_EQ(0u, RunHost({L"/UnregServer"}));
    DWORD started = GetTickCount();
    CHandle host = StartProcess(HostPath(), {L"/embedding"});
    ASSERT_TRUE(host);
    CComPtr<IBroker> broker;
    HRESULT hr = E_FAIL;
    for (DWORD start = GetTickCount(); FAILED(hr) && GetTickCount() - start < kExitBoundMs; Sleep(100))
        hr = CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_LOCAL_SERVER, IID_IBroker, broker.PutVoid());
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(S_OK, broker->InstallMenuExt(0));
        EXPECT_EQ(1u, HostProcesses().size());
    } else {
        // If no client got through in time, the host must still end alone,
        // at the idle time-out after its registration.
        ADD_FAILURE() << "no client reached the host: 0x" << std::hex << hr;
    }
    DWORD released = GetTickCount();
    broker.Reset();
    CExit exit = WaitForExit(host, released);
    EXPECT_GE(exit.afterMs, kIdleMs);
    EXPECT_EQ(0u, exit.code);
    EXPECT_GE(GetTickCount() - started, kIdleMs);
}

TEST_F(HostServer, StartedByHandWithoutAClientItEndsAfterTheIdleTime)
{
    DWORD started = GetTickCount();
    CHandle host = StartProcess(HostPath(), {L"-EMBEDDING"});
    ASSERT_TRUE(host);
    CExit exit = WaitForExit(host, started);
    EXPECT_GE(exit.afterMs, kIdleMs) << "ended without serving";
    EXPECT_EQ(0u, exit.code);
}

// The registry entries of the host, read back key by key.
class HostRegistration : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        RunHost({L"/UnregServer"});
        m_library.UnregisterServer();
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ClassKey()));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, PolicyKey()));
        CoUninitialize();
    }

    static std::wstring ClassKey() { return L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Broker); }
    static std::wstring PolicyKey()
    {
        return std::wstring(kElevationPolicies) + L"\\" + kQuellanElevationPolicy;
    }
    static constexpr const wchar_t* kElevationPolicies =
        L"SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy";

    void ExpectHostEntries()
    {
        EXPECT_EQ(std::vector<std::wstring>{L"=\"" + HostPath() + L"\""},
                  KeyValues(HKEY_LOCAL_MACHINE, ClassKey() + L"\\LocalServer32"));
        EXPECT_EQ((std::vector<std::wstring>{L"CLSID=" + GuidText(CLSID_Broker), L"Policy=dword:3"}),
                  KeyValues(HKEY_LOCAL_MACHINE, PolicyKey()));
    }
    void ExpectNoHostEntries()
    {
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ClassKey() + L"\\LocalServer32"));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, PolicyKey()));
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kElevationPolicies));
    }

    CShippedLibrary m_library;
};

TEST_F(HostRegistration, AddsItsLocalServerBesideTheLibrarysAndRemovesOnlyThat)
{
    ASSERT_EQ(S_OK, m_library.RegisterServer());
    ASSERT_EQ(0u, RunHost({L"/RegServer"}));
    ExpectHostEntries();
    EXPECT_EQ(std::vector<std::wstring>{L"=Broker Class"}, KeyValues(HKEY_LOCAL_MACHINE, ClassKey()));
    std::vector<std::wstring> inproc = KeyValues(HKEY_LOCAL_MACHINE, ClassKey() + L"\\InprocServer32");
    ASSERT_EQ(2u, inproc.size());
    EXPECT_EQ(0, _wcsicmp((L"=" + ShippedLibraryPath()).c_str(), inproc[0].c_str()));

    ASSERT_EQ(0u, RunHost({L"/UnregServer"}));
    ExpectNoHostEntries();
    EXPECT_EQ(inproc, KeyValues(HKEY_LOCAL_MACHINE, ClassKey() + L"\\InprocServer32"));
    EXPECT_EQ(std::vector<std::wstring>{L"=Broker Class"}, KeyValues(HKEY_LOCAL_MACHINE, ClassKey()));
}

TEST_F(HostRegistration, AloneLeavesNothingBehind)
{
    ASSERT_EQ(0u, RunHost({L"-regserver"}));
    ExpectHostEntries();
    ASSERT_EQ(0u, RunHost({L"-UNREGSERVER"}));
    ExpectNoHostEntries();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ClassKey()));
    // Unregistering what is not registered is no failure.
    EXPECT_EQ(0u, RunHost({L"/UnregServer"}));
}

}  // namespace
