#include "broker/Broker.h"

#include <objidl.h>

#include <optional>
#include <string>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "com/Module.h"
#include "com/Registrar.h"
#include "resources/ResourceIds.h"
#include "storage/File.h"
#include "ui/FileDialog.h"

namespace {

// Impersonation of the COM client that made the current call, reverted when
// the object goes, whatever happens in between.
class CClientImpersonation
{
public:
    CClientImpersonation()
    {
        ThrowIfFailed(CoGetCallContext(IidOf<IServerSecurity>(), m_security.PutVoid()));
        ThrowIfFailed(m_security->ImpersonateClient());
    }
    ~CClientImpersonation() { m_security->RevertToSelf(); }
    CClientImpersonation(const CClientImpersonation&) = delete;
    CClientImpersonation& operator=(const CClientImpersonation&) = delete;

private:
    CComPtr<IServerSecurity> m_security;
};

// The process that owns the caller's window, opened so that a handle can be
// duplicated into it. In process that is this process (a pseudo handle,
// nothing to close). Otherwise the broker runs in QuellanHost on behalf of a
// browser process: the process is opened with the client's rights, not the
// host's, so that the host never gives a caller more than it may have.
class CTargetProcess
{
public:
    explicit CTargetProcess(HWND owner)
    {
        DWORD ownerId = 0;
        GetWindowThreadProcessId(owner, &ownerId);
        // A window that is not (or no longer) there.
        ThrowLastErrorIf(ownerId == 0);
        if (ownerId == GetCurrentProcessId()) {
            m_process = GetCurrentProcess();
            return;
        }
        CClientImpersonation impersonation;
        m_opened.Reset(OpenProcess(PROCESS_DUP_HANDLE, FALSE, ownerId));
        ThrowLastErrorIf(!m_opened);
        m_process = m_opened.Get();
    }

    HANDLE Get() const noexcept { return m_process; }

private:
    CHandle m_opened;
    HANDLE m_process = nullptr;
};

// The shared road of import and export. The owner's process is resolved
// before the dialog: a call that could not hand the handle back must fail
// before the user picks a file, and above all before an export empties one.
HRESULT ShowFileDialog(LONG hwndOwner, LONG* lphFile, bool save) noexcept
{
    if (!lphFile)
        return E_POINTER;
    return CallAtBoundary([&] {
        HWND owner = static_cast<HWND>(LongToHandle(hwndOwner));
        CTargetProcess target(owner);
        std::optional<std::wstring> path = save ? TryChooseExportFile(owner) : TryChooseImportFile(owner);
        if (!path)
            return;
        // Not shared while open; an export creates the file or empties it.
        CFile file(path->c_str(), save ? GENERIC_WRITE : GENERIC_READ, 0, nullptr, save ? CREATE_ALWAYS : OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL);
        HANDLE duplicate = nullptr;
        ThrowLastErrorIf(!DuplicateHandle(GetCurrentProcess(), file.m_handle.Get(), target.Get(), &duplicate, 0,
                                          FALSE, DUPLICATE_SAME_ACCESS));
        *lphFile = HandleToLong(duplicate);
    });
}

}  // namespace

STDMETHODIMP CBroker::InstallMenuExt(LONG fInstall)
{
    return CallAtBoundary([&] {
        UpdateRegistryFromResource(IDR_MENUEXT, fInstall ? RegistrarMode::Register : RegistrarMode::Unregister,
                                   {{L"MODULE", GetModulePath()}});
    });
}

STDMETHODIMP CBroker::ShowImportDialog(LONG hwndOwner, LONG* lphFile)
{
    return ShowFileDialog(hwndOwner, lphFile, false);
}

STDMETHODIMP CBroker::ShowExportDialog(LONG hwndOwner, LONG* lphFile)
{
    return ShowFileDialog(hwndOwner, lphFile, true);
}
