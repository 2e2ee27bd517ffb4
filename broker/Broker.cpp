#include "broker/Broker.h"

#include <objidl.h>
#include <rpc.h>

#include <optional>
#include <string>

#include "broker/FileDialog.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Module.h"
#include "com/Registrar.h"
#include "resources/ResourceIds.h"

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

// The id of the process that made the current COM call. A call between
// processes of one machine comes over the local RPC transport, which knows
// the client's process (I_RpcBindingInqLocalClientPID, looked up where the
// COM runtime has loaded it).
DWORD CallerProcessId()
{
    using InqLocalClientPidFunction = RPC_STATUS(RPC_ENTRY*)(RPC_BINDING_HANDLE, unsigned long*);
    auto inquire = GetExport<InqLocalClientPidFunction>(GetModuleHandleW(L"rpcrt4.dll"),
                                                        "I_RpcBindingInqLocalClientPID");
    if (!inquire)
        ThrowHResult(HResultFromWin32(ERROR_PROC_NOT_FOUND));
    unsigned long id = 0;
    RPC_STATUS status = inquire(nullptr, &id);
    if (status != RPC_S_OK)
        ThrowHResult(HResultFromWin32(status));
    if (id == 0)
        ThrowHResult(HResultFromWin32(RPC_S_NO_CALL_ACTIVE));
    return id;
}

// The process that called the broker, opened so that a handle can be
// duplicated into it; nothing else ever receives one. In process (the
// broker not aggregated) that is this process, a pseudo handle with nothing
// to close. Served by QuellanHost (aggregated), it is the COM client of the
// current call, opened with the client's rights, not the host's, so that the
// host never gives a caller more than it may have. The window that the
// caller names only owns the dialog.
class CCallerProcess
{
public:
    explicit CCallerProcess(bool remote)
    {
        if (!remote) {
            m_process = GetCurrentProcess();
            return;
        }
        CClientImpersonation impersonation;
        DWORD callerId = CallerProcessId();
        if (callerId == GetCurrentProcessId()) {
            m_process = GetCurrentProcess();
            return;
        }
        m_opened.Reset(OpenProcess(PROCESS_DUP_HANDLE, FALSE, callerId));
        ThrowLastErrorIf(!m_opened);
        m_process = m_opened.Get();
    }

    HANDLE Get() const noexcept { return m_process; }

private:
    CHandle m_opened;
    HANDLE m_process = nullptr;
};

using GetFinalPathNameByHandleFunction = DWORD(WINAPI*)(HANDLE, wchar_t*, DWORD, DWORD);
using SetFileInformationByHandleFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, void*, DWORD);

template <class Function>
Function FindKernelFunction(const char* name)
{
    return GetExport<Function>(GetModuleHandleW(L"kernel32.dll"), name);
}

// A path as it is compared: upper case, without the "\\?\" prefix
// ("\\?\UNC\server" becomes "\\server").
std::wstring ComparablePath(std::wstring path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path.erase(2, 6);
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path.erase(0, 4);
    if (!path.empty())
        CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

// The chosen path in full, with long names for the short ones it may hold
// (the file exists by now); as given where that cannot be had.
std::wstring LongFullPath(const std::wstring& chosen)
{
    std::wstring full = chosen;
    DWORD length = GetFullPathNameW(chosen.c_str(), 0, nullptr, nullptr);
    if (length) {
        full.assign(length, L'\0');
        length = GetFullPathNameW(chosen.c_str(), length, &full[0], nullptr);
        full.resize(length < full.size() ? length : 0);
        if (full.empty())
            full = chosen;
    }
    std::wstring longPath(GetLongPathNameW(full.c_str(), nullptr, 0), L'\0');
    if (longPath.empty())
        return full;
    DWORD written = GetLongPathNameW(full.c_str(), &longPath[0], static_cast<DWORD>(longPath.size()));
    if (written == 0 || written >= longPath.size())
        return full;
    longPath.resize(written);
    return longPath;
}

// True when the open file is the one the user chose: a file on a disk, not
// a directory or a reparse point, with no other name (a hard link planted
// under the chosen name makes another file of the user's the target), and
// reached by no link on the way (its final path is the chosen path). The
// last test needs GetFinalPathNameByHandleW (Windows Vista and later);
// before Vista there is no Protected Mode, so no caller below the broker's
// rights that could have planted a link.
bool IsChosenFile(HANDLE file, const std::wstring& chosen)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information))
        return false;
    if (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    if (information.nNumberOfLinks != 1)
        return false;
    auto finalPath = FindKernelFunction<GetFinalPathNameByHandleFunction>("GetFinalPathNameByHandleW");
    if (!finalPath)
        return true;
    std::wstring opened(finalPath(file, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS), L'\0');
    if (opened.empty())
        return false;
    DWORD length =
        finalPath(file, &opened[0], static_cast<DWORD>(opened.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= opened.size())
        return false;
    opened.resize(length);
    return ComparablePath(opened) == ComparablePath(LongFullPath(chosen));
}

// Deletes a file through its handle (opened with DELETE access); best
// effort, Windows Vista and later.
void DeleteByHandle(HANDLE file) noexcept
{
    auto setInformation = FindKernelFunction<SetFileInformationByHandleFunction>("SetFileInformationByHandle");
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (setInformation)
        setInformation(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Opens the chosen file with the broker's own rights (the user's choice in
// the broker's dialog is what grants them), never through a reparse point
// at its last step, and checks it before anything is changed: an export
// opens without truncating and empties the file only once it is known to be
// the chosen one, so a link swapped in after the dialog cannot redirect the
// emptying. A file that an export created and then refused is deleted
// again. Not shared while open.
CFileHandle OpenChosenFile(const std::wstring& path, bool save)
{
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    if (!save) {
        CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        ThrowLastErrorIf(!file);
        if (!IsChosenFile(file.Get(), path))
            ThrowHResult(kNotTheChosenFile);
        return file;
    }
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS, flags, nullptr));
    ThrowLastErrorIf(!file);
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (!IsChosenFile(file.Get(), path)) {
        if (created)
            DeleteByHandle(file.Get());
        ThrowHResult(kNotTheChosenFile);
    }
    // Just opened, so at offset 0: what CREATE_ALWAYS would have done.
    ThrowLastErrorIf(!SetEndOfFile(file.Get()));
    return file;
}

// The shared road of import and export. The caller's process is resolved
// before the dialog: a call that could not hand the handle back must fail
// before the user picks a file, and above all before an export empties one.
HRESULT ShowFileDialog(LONG hwndOwner, LONG* lphFile, bool save, bool remote) noexcept
{
    if (!lphFile)
        return E_POINTER;
    return CallAtBoundary([&] {
        HWND owner = static_cast<HWND>(LongToHandle(hwndOwner));
        // A window that is not (or no longer) there.
        if (!IsWindow(owner))
            ThrowHResult(HResultFromWin32(ERROR_INVALID_WINDOW_HANDLE));
        CCallerProcess caller(remote);
        std::optional<std::wstring> path = save ? TryChooseExportFile(owner) : TryChooseImportFile(owner);
        if (!path)
            return;
        CFileHandle file = OpenChosenFile(*path, save);
        HANDLE duplicate = nullptr;
        // Without the DELETE access that an export opens with.
        ThrowLastErrorIf(!DuplicateHandle(GetCurrentProcess(), file.Get(), caller.Get(), &duplicate,
                                          save ? FILE_GENERIC_WRITE : FILE_GENERIC_READ, FALSE, 0));
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
    return ShowFileDialog(hwndOwner, lphFile, false, IsAggregated());
}

STDMETHODIMP CBroker::ShowExportDialog(LONG hwndOwner, LONG* lphFile)
{
    return ShowFileDialog(hwndOwner, lphFile, true, IsAggregated());
}
