#include "storage/SharedObjects.h"

#include <objbase.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>
#include <vector>

#include "com/Error.h"
#include "com/Export.h"
#include "com/Sync.h"

namespace {

// FOLDERID_LocalAppDataLow, spelled out so that nothing links a GUID library.
constexpr GUID kFolderIdLocalAppDataLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

using SHGetKnownFolderPathFunction = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
using SHGetFolderPathWFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
using IEIsProtectedModeProcessFunction = HRESULT(WINAPI*)(BOOL*);
using NtQueryObjectFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

struct CVersionCache
{
    CCriticalSection lock;
    std::atomic<bool> known{false};
    bool vistaOrLater = false;
};

struct CSidCache
{
    CCriticalSection lock;
    std::atomic<const wchar_t*> text{nullptr};
    ~CSidCache() { delete[] text.load(); }
};

struct CDescriptorCache
{
    CCriticalSection lock;
    std::atomic<bool> built{false};
    CLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// No lock: two threads that both ask first both load ieframe, which is harmless.
struct CProtectedModeCache
{
    std::atomic<bool> cached{false};
    std::atomic<BOOL> answer{FALSE};
    std::atomic<HRESULT> lastResult{E_NOTIMPL};
};

CVersionCache g_version;
CSidCache g_sid;
CDescriptorCache g_descriptor;
CProtectedModeCache g_protectedMode;
// ntdll is in every process from its first instruction, so the lookup at
// load time cannot fail on any supported system.
const NtQueryObjectFunction g_ntQueryObject =
    GetExport<NtQueryObjectFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");

std::wstring ReadUserSidString()
{
    CHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()))
        ThrowHResult(E_INVALIDARG);
    DWORD size = 0;
    if (GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        ThrowHResult(E_INVALIDARG);
    std::vector<BYTE> information(size);
    if (!GetTokenInformation(token.Get(), TokenUser, information.data(), size, &size))
        ThrowHResult(E_INVALIDARG);
    PSID sid = reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
    if (!IsValidSid(sid) || GetLengthSid(sid) > SECURITY_MAX_SID_SIZE)
        ThrowHResult(E_INVALIDARG);
    return SidToString(sid);
}

bool IsTokenDefaultOwner(PSID sid)
{
    CHandle token;
    BYTE information[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
           GetTokenInformation(token.Get(), TokenOwner, information, sizeof information, &size) &&
           EqualSid(reinterpret_cast<TOKEN_OWNER*>(information)->Owner, sid);
}

HRESULT GetLocalAppDataFolder(wchar_t* buffer) noexcept
{
    // shell32 is looked up at run time: SHGetKnownFolderPath does not exist
    // on XP, and the library must load there.
    CLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32)
        return HResultFromLastError();
    if (!IsVistaOrLater()) {
        auto getFolderPath = GetExport<SHGetFolderPathWFunction>(shell32.Get(), "SHGetFolderPathW");
        if (!getFolderPath)
            return HResultFromLastError();
        return getFolderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
    }
    auto getKnownFolderPath = GetExport<SHGetKnownFolderPathFunction>(shell32.Get(), "SHGetKnownFolderPath");
    if (!getKnownFolderPath)
        return HResultFromLastError();
    PWSTR path = nullptr;
    HRESULT hr = getKnownFolderPath(kFolderIdLocalAppDataLow, 0, nullptr, &path);
    if (SUCCEEDED(hr)) {
        std::size_t length = std::wcslen(path);
        std::size_t copied = length < MAX_PATH ? length : MAX_PATH - 1;
        std::wmemcpy(buffer, path, copied);
        buffer[copied] = L'\0';
        if (copied != length)
            hr = HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);  // STRSAFE_E_INSUFFICIENT_BUFFER
    }
    CoTaskMemFree(path);
    return hr;
}

}  // namespace

bool IsVistaOrLater()
{
    if (g_version.known.load(std::memory_order_acquire))
        return g_version.vistaOrLater;
    CCritSecLock hold(g_version.lock);
    if (!g_version.known.load(std::memory_order_relaxed)) {
        OSVERSIONINFOEXW version{};
        version.dwOSVersionInfoSize = sizeof version;
        version.dwMajorVersion = 6;
        g_version.vistaOrLater =
            VerifyVersionInfoW(&version, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL)) !=
            FALSE;
        g_version.known.store(true, std::memory_order_release);
    }
    return g_version.vistaOrLater;
}

HRESULT GetStorageFolder(wchar_t* buffer) noexcept
{
    HRESULT hr = GetLocalAppDataFolder(buffer);
    if (FAILED(hr))
        return hr;
    SetLastError(ERROR_SUCCESS);
    if (!PathAppendW(buffer, L"Quellan")) {
        // PathAppendW does not always say why; a result too long is the one reason.
        DWORD error = GetLastError();
        return HResultFromWin32(error != ERROR_SUCCESS ? error : ERROR_FILENAME_EXCED_RANGE);
    }
    if (GetFileAttributesW(buffer) != INVALID_FILE_ATTRIBUTES)
        return S_OK;
    // The folder takes the security of its parent, which lets low-integrity
    // processes create files in it on Vista and later.
    if (!CreateDirectoryW(buffer, nullptr))
        return HResultFromLastError();
    return S_OK;
}

std::wstring SidToString(PSID sid)
{
    if (!sid || !IsValidSid(sid))
        ThrowHResult(E_INVALIDARG);
    CLocalMemory text;
    if (!ConvertSidToStringSidW(sid, reinterpret_cast<LPWSTR*>(text.Put())))
        ThrowLastError();
    std::wstring result(static_cast<const wchar_t*>(text.Get()));
    // An empty suffix would make every user meet at the same object names.
    if (result.empty())
        ThrowHResult(E_FAIL);
    return result;
}

const wchar_t* GetUserSidString()
{
    if (const wchar_t* text = g_sid.text.load(std::memory_order_acquire))
        return text;
    CCritSecLock hold(g_sid.lock);
    if (const wchar_t* text = g_sid.text.load(std::memory_order_relaxed))
        return text;
    std::wstring sid = ReadUserSidString();
    wchar_t* copy = new wchar_t[sid.size() + 1];
    std::wmemcpy(copy, sid.c_str(), sid.size() + 1);
    g_sid.text.store(copy, std::memory_order_release);
    return copy;
}

std::wstring MakeSharedObjectName(const wchar_t* baseName)
{
    return std::wstring(L"Global\\") + baseName + L"@" + GetUserSidString();
}

SECURITY_ATTRIBUTES* GetSharedSecurityAttributes()
{
    if (g_descriptor.built.load(std::memory_order_acquire))
        return &g_descriptor.attributes;
    CCritSecLock hold(g_descriptor.lock);
    if (!g_descriptor.built.load(std::memory_order_relaxed)) {
        std::wstring text;
        // Low integrity label, no write-up: Protected Mode tabs may open what
        // a medium-integrity process created, and the other way round.
        if (IsVistaOrLater())
            text = L"S:(ML;;NW;;;LW)";
        // The user owns every object and file, whichever token made it (an
        // elevated administrator's default owner is the Administrators group):
        // existing objects are checked for that owner.
        text += L"O:";
        text += GetUserSidString();
        text += L"D:(A;;GA;;;";
        text += GetUserSidString();
        text += L")";
        CLocalMemory descriptor;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                  reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()),
                                                                  nullptr))
            ThrowLastError();
        g_descriptor.descriptor = std::move(descriptor);
        g_descriptor.attributes.lpSecurityDescriptor = g_descriptor.descriptor.Get();
        g_descriptor.built.store(true, std::memory_order_release);
    }
    return &g_descriptor.attributes;
}

HRESULT QueryProtectedMode(BOOL* result)
{
    if (g_protectedMode.cached.load(std::memory_order_acquire)) {
        if (result)
            *result = g_protectedMode.answer.load();
        return g_protectedMode.lastResult.load();
    }
    HRESULT hr = E_NOTIMPL;
    if (CLibrary ieframe{LoadLibraryW(L"ieframe.dll")}) {
        if (auto query = GetExport<IEIsProtectedModeProcessFunction>(ieframe.Get(), "IEIsProtectedModeProcess"))
            hr = query(result);
    }
    g_protectedMode.lastResult.store(hr);
    if (hr == S_OK || hr == E_NOTIMPL) {
        g_protectedMode.answer.store(result ? *result : FALSE);
        g_protectedMode.cached.store(true, std::memory_order_release);
    }
    return hr;
}

bool IsProtectedMode()
{
    if (!IsVistaOrLater())
        return false;
    BOOL result = FALSE;
    if (FAILED(QueryProtectedMode(&result)))
        return false;
    return result != FALSE;
}

ULONG GetHandleCount(HANDLE handle)
{
    // PUBLIC_OBJECT_BASIC_INFORMATION: Attributes, GrantedAccess, HandleCount,
    // PointerCount, Reserved[10].
    ULONG information[14] = {};
    static_assert(sizeof information == 56);
    if (!g_ntQueryObject)
        ThrowHResult(E_NOTIMPL);
    HRESULT hr = HResultFromNt(g_ntQueryObject(handle, 0 /* ObjectBasicInformation */, information,
                                               sizeof information, nullptr));
    ThrowIfFailed(hr);
    return information[2];
}

CNamedMutex::CNamedMutex(SECURITY_ATTRIBUTES* securityAttributes, const std::wstring& name)
    : m_handle(CreateMutexW(securityAttributes, FALSE, name.c_str()))
{
    ThrowLastErrorIf(!m_handle);
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return;
    // Made before us, perhaps by someone else under our name: another user
    // who made it first could hold it, or count in it, for ever. Our own
    // objects name the user as their owner (GetSharedSecurityAttributes).
    PSID owner = nullptr;
    CLocalMemory descriptor;
    const DWORD error = GetSecurityInfo(m_handle.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                        nullptr, nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()));
    if (error != ERROR_SUCCESS)
        ThrowHResult(HResultFromWin32(error));
    // Also accepted: the default owner of this process's token (an elevated
    // administrator's objects made without our descriptor), and no owner at
    // all, which only Wine gives an object made with default security
    // (Windows always records one).
    if (owner && SidToString(owner) != GetUserSidString() && !IsTokenDefaultOwner(owner)) {
        m_handle.Reset();
        ThrowHResult(E_ACCESSDENIED);
    }
}

CMutexHold::CMutexHold(HANDLE mutex, DWORD timeoutMs) : m_mutex(mutex)
{
    // WAIT_ABANDONED is ownership too: the dead owner's work is taken over.
    DWORD result = WaitForSingleObject(mutex, timeoutMs);
    if (result == WAIT_FAILED)
        ThrowLastError();
    if (result == WAIT_TIMEOUT)
        ThrowHResult(kLockTimedOut);
    m_abandoned = result == WAIT_ABANDONED;
}

CMutexHold::~CMutexHold()
{
    ReleaseMutex(m_mutex);
}
