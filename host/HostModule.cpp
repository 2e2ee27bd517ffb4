#include "host/HostModule.h"

#include <objbase.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "com/Error.h"
#include "com/Handle.h"
#include "com/Module.h"
#include "com/Platform.h"
#include "com/Registrar.h"
#include "com/UserSid.h"
#include "host/CommandLine.h"
#include "host/HostBroker.h"
#include "host/HostResourceIds.h"
#include "resources/QuellanIds.h"
#include "resources/QuellanLib.h"

namespace {

// COM starts a local server by the command line under LocalServer32: the
// path is quoted, so that a folder with blanks cannot be taken for another
// program.
CRegistrarReplacements HostReplacements()
{
    return {{L"MODULE", L"\"" + GetModulePath() + L"\""}, {L"APPID", kQuellanHostAppId}};
}

// Posted by the monitor to the main thread when the host has been idle for
// the time-out.
constexpr UINT kIdleMessage = WM_APP + 1;

// A security descriptor in the absolute form CoInitializeSecurity takes,
// made from its text; owns every part.
class CAbsoluteDescriptor
{
public:
    explicit CAbsoluteDescriptor(const std::wstring& text)
    {
        CLocalMemory relative;
        ThrowLastErrorIf(!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            text.c_str(), SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(relative.Put()), nullptr));
        DWORD sizes[5] = {};
        MakeAbsoluteSD(relative.Get(), nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr,
                       &sizes[3], nullptr, &sizes[4]);
        for (int i = 0; i < 5; ++i)
            m_parts[i].resize(sizes[i] ? sizes[i] : 1);
        ThrowLastErrorIf(!MakeAbsoluteSD(relative.Get(), Part<SECURITY_DESCRIPTOR>(0), &sizes[0], Part<ACL>(1),
                                         &sizes[1], Part<ACL>(2), &sizes[2], Part<SID>(3), &sizes[3], Part<SID>(4),
                                         &sizes[4]));
    }

    PSECURITY_DESCRIPTOR Get() noexcept { return Part<SECURITY_DESCRIPTOR>(0); }

private:
    template <class T>
    T* Part(int index) noexcept
    {
        return reinterpret_cast<T*>(m_parts[index].data());
    }

    // Descriptor, DACL, SACL, owner, group (the allocator's alignment suits
    // each).
    std::vector<BYTE> m_parts[5];
};

}  // namespace

std::wstring HostCallPermissions(const std::wstring& userSid, bool lowLabel)
{
    std::wstring text = L"O:" + userSid + L"G:" + userSid + L"D:(A;;0x3;;;" + userSid + L")";
    if (lowLabel)
        text += L"S:(ML;;NX;;;LW)";
    return text;
}

HRESULT InitializeHostSecurity() noexcept
{
    return CallAtBoundary([] {
        CAbsoluteDescriptor descriptor(HostCallPermissions(GetUserSidString(), IsVistaOrLater()));
        // Calls must at least be authenticated at connection; the host
        // identifies itself to nobody it calls, and takes no custom
        // marshalling from its callers.
        return CoInitializeSecurity(descriptor.Get(), -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                    RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NO_CUSTOM_MARSHAL | EOAC_DISABLE_AAA,
                                    nullptr);
    });
}

CQuellanHostModule::CQuellanHostModule() noexcept : m_mainThreadId(GetCurrentThreadId())
{
    HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr)) {
        m_comInitialized = true;
        return;
    }
    // A runtime that set up the thread's apartment first: work in it.
    if (hr == RPC_E_CHANGED_MODE && GetModuleHandleW(L"Mscoree.dll"))
        return;
    m_initFailed = true;
}

CQuellanHostModule::~CQuellanHostModule()
{
    m_git.Reset();
    m_factory.Reset();
    m_libraryFactory.Reset();
    // The monitor thread, if it still waits, ends with the process.
    if (m_comInitialized)
        CoUninitialize();
}

int CQuellanHostModule::WinMain(const wchar_t* commandLine) noexcept
{
    if (m_initFailed)
        return -1;
    switch (ParseHostCommandLine(commandLine)) {
    case HostCommand::RegServer:
        return RegisterServer();
    case HostCommand::UnregServer:
        return UnregisterServer();
    case HostCommand::Embedding:
        return Run();
    case HostCommand::None:
        break;
    }
    // The host never runs unless COM starts it.
    return 0;
}

// The Broker class has no registry script of its own, and the host carries
// no type library: IBroker is described by the library's, which the
// library registers. So the module's one script is all there is.
HRESULT CQuellanHostModule::RegisterServer() noexcept
{
    return CallAtBoundary(
        [] { UpdateRegistryFromResource(IDR_QUELLANHOST, RegistrarMode::Register, HostReplacements()); });
}

HRESULT CQuellanHostModule::UnregisterServer() noexcept
{
    return CallAtBoundary(
        [] { UpdateRegistryFromResource(IDR_QUELLANHOST, RegistrarMode::Unregister, HostReplacements()); });
}

LONG CQuellanHostModule::Lock() noexcept
{
    CoAddRefServerProcess();
    return ++m_lockCount;
}

LONG CQuellanHostModule::Unlock() noexcept
{
    LONG count = --m_lockCount;
    if (count == 0) {
        m_activity = true;
        if (m_shutdownEvent)
            SetEvent(m_shutdownEvent.Get());
    }
    // Never the last reference while the host serves: the idle clock holds
    // one until the main thread gives it up.
    CoReleaseServerProcess();
    return count;
}

LONG CQuellanHostModule::GetLockCount() const noexcept
{
    return m_lockCount;
}

HRESULT CQuellanHostModule::GetGITPtr(IGlobalInterfaceTable** git) noexcept
{
    if (!git)
        return E_POINTER;
    *git = nullptr;
    if (!m_git) {
        HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, m_git.PutVoid());
        if (FAILED(hr))
            return hr;
    }
    m_git.CopyTo(git);
    return S_OK;
}

HRESULT CQuellanHostModule::Run() noexcept
{
    HRESULT hr = PreMessageLoop();
    if (SUCCEEDED(hr))
        RunMessageLoop();
    HRESULT ended = PostMessageLoop();
    return FAILED(hr) ? hr : ended;
}

HRESULT CQuellanHostModule::PreMessageLoop() noexcept
{
    // Who may call, before anything can be called.
    HRESULT hr = InitializeHostSecurity();
    // The library's factory first: once the host's own factory is
    // registered for multiple use, COM hands that one out for in-process
    // requests in this process too, and the host object would aggregate
    // itself.
    if (SUCCEEDED(hr)) {
        hr = CoGetClassObject(CLSID_Broker, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                              m_libraryFactory.PutVoid());
    }
    if (SUCCEEDED(hr)) {
        hr = m_libraryFactory->LockServer(TRUE);
        if (FAILED(hr))
            m_libraryFactory.Reset();
    }
    if (SUCCEEDED(hr)) {
        // The idle clock's reference, taken before any client can come.
        CoAddRefServerProcess();
        m_idleHold = true;
        hr = CallAtBoundary([&] {
            CComPtr<CHostBrokerFactory> factory = CHostBrokerFactory::Create(m_libraryFactory.Get(), *this);
            m_factory = factory.Get();
            return CoRegisterClassObject(CLSID_Broker, m_factory.Get(), CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &m_registration);
        });
    }
    if (SUCCEEDED(hr) && !StartMonitor())
        hr = E_FAIL;
    if (SUCCEEDED(hr))
        hr = CoResumeClassObjects();
    // What was taken is given back by PostMessageLoop.
    if (FAILED(hr))
        return hr;
    // Start the idle clock: COM creates the first object right after
    // registration, and if none comes the host must not stay.
    m_activity = true;
    SetEvent(m_shutdownEvent.Get());
    return S_OK;
}

void CQuellanHostModule::RunMessageLoop() noexcept
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == kIdleMessage) {
            OnIdle();
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void CQuellanHostModule::OnIdle() noexcept
{
    // An object made since the monitor looked keeps the host; its release
    // starts the clock again.
    if (!m_idleHold || m_lockCount != 0 || m_activity)
        return;
    m_idleHold = false;
    if (CoReleaseServerProcess() != 0) {
        // Someone else's reference: keep serving, and the clock's reference.
        CoAddRefServerProcess();
        m_idleHold = true;
        return;
    }
    // The class objects are suspended now: COM sends new activations to a
    // new host. Revoke, then serve for a grace time whatever still comes
    // through a class object handed out before (a COM runtime that does not
    // suspend, as Wine's, hands it out until the revocation). An object
    // made then keeps the host: register again and go on serving.
    CoRevokeClassObject(m_registration);
    m_registration = 0;
    for (DWORD start = GetTickCount(), elapsed = 0; elapsed < kGraceMs; elapsed = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kGraceMs - elapsed, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT || (!message.hwnd && message.message == kIdleMessage))
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (m_lockCount == 0 && !m_activity) {
        PostQuitMessage(0);
        return;
    }
    CoAddRefServerProcess();
    m_idleHold = true;
    HRESULT hr = CoRegisterClassObject(CLSID_Broker, m_factory.Get(), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &m_registration);
    if (SUCCEEDED(hr))
        hr = CoResumeClassObjects();
    // Without a class object the host ends once its objects are gone.
    if (FAILED(hr))
        m_registration = 0;
}

HRESULT CQuellanHostModule::PostMessageLoop() noexcept
{
    HRESULT hr = S_OK;
    if (m_registration) {
        hr = CoRevokeClassObject(m_registration);
        m_registration = 0;
    }
    if (m_idleHold) {
        m_idleHold = false;
        CoReleaseServerProcess();
    }
    m_factory.Reset();
    if (m_libraryFactory) {
        m_libraryFactory->LockServer(FALSE);
        m_libraryFactory.Reset();
    }
    return hr;
}

bool CQuellanHostModule::StartMonitor() noexcept
{
    m_shutdownEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_shutdownEvent)
        return false;
    CHandle thread(CreateThread(nullptr, 0, &MonitorProc, this, 0, nullptr));
    if (!thread) {
        m_shutdownEvent.Reset();
        return false;
    }
    return true;
}

DWORD WINAPI CQuellanHostModule::MonitorProc(void* module) noexcept
{
    static_cast<CQuellanHostModule*>(module)->MonitorShutdown();
    return 0;
}

void CQuellanHostModule::MonitorShutdown() noexcept
{
    for (;;) {
        WaitForSingleObject(m_shutdownEvent.Get(), INFINITE);
        DWORD wait;
        do {
            m_activity = false;
            wait = WaitForSingleObject(m_shutdownEvent.Get(), kIdleTimeoutMs);
        } while (wait == WAIT_OBJECT_0);
        if (!m_activity && m_lockCount == 0)
            PostThreadMessageW(m_mainThreadId, kIdleMessage, 0, 0);
    }
}
