#include "host/HostModule.h"

#include <objbase.h>

#include <string>

#include "com/Error.h"
#include "com/Module.h"
#include "com/Registrar.h"
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

}  // namespace

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
    return ++m_lockCount;
}

LONG CQuellanHostModule::Unlock() noexcept
{
    LONG count = --m_lockCount;
    if (count == 0) {
        if (!m_delayShutdown) {
            PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
        } else {
            m_activity = true;
            if (m_shutdownEvent)
                SetEvent(m_shutdownEvent.Get());
        }
    }
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
    if (FAILED(hr))
        return hr;
    if (hr == S_OK)
        RunMessageLoop();
    return PostMessageLoop();
}

HRESULT CQuellanHostModule::PreMessageLoop() noexcept
{
    // The library's factory first: once the host's own factory is
    // registered for multiple use, COM hands that one out for in-process
    // requests in this process too, and the host object would aggregate
    // itself.
    HRESULT hr = CoGetClassObject(CLSID_Broker, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  m_libraryFactory.PutVoid());
    if (SUCCEEDED(hr)) {
        hr = m_libraryFactory->LockServer(TRUE);
        if (FAILED(hr))
            m_libraryFactory.Reset();
    }
    if (SUCCEEDED(hr)) {
        hr = CallAtBoundary([&] {
            CComPtr<CHostBrokerFactory> factory = CHostBrokerFactory::Create(m_libraryFactory.Get(), *this);
            return CoRegisterClassObject(CLSID_Broker, static_cast<IClassFactory*>(factory.Get()),
                                         CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_registration);
        });
    }
    if (hr != S_OK) {
        m_delayShutdown = false;
        if (FAILED(hr) && m_libraryFactory) {
            m_libraryFactory->LockServer(FALSE);
            m_libraryFactory.Reset();
        }
        return hr;
    }
    if (m_delayShutdown) {
        if (!StartMonitor())
            return E_FAIL;
        // Start the idle clock: COM creates the first object right after
        // registration, and if none comes the host must not stay.
        m_activity = true;
        SetEvent(m_shutdownEvent.Get());
    }
    return S_OK;
}

void CQuellanHostModule::RunMessageLoop() noexcept
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HRESULT CQuellanHostModule::PostMessageLoop() noexcept
{
    HRESULT hr = S_OK;
    if (m_registration) {
        hr = CoRevokeClassObject(m_registration);
        m_registration = 0;
    }
    if (m_libraryFactory) {
        m_libraryFactory->LockServer(FALSE);
        m_libraryFactory.Reset();
    }
    if (m_delayShutdown)
        Sleep(kPauseMs);
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
            break;
    }
    PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}
