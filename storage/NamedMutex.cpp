#include "storage/NamedMutex.h"

#include <aclapi.h>

#include "com/Error.h"
#include "com/UserSid.h"

namespace {

bool IsTokenDefaultOwner(PSID sid)
{
    CHandle token;
    BYTE information[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
           GetTokenInformation(token.Get(), TokenOwner, information, sizeof information, &size) &&
           EqualSid(reinterpret_cast<TOKEN_OWNER*>(information)->Owner, sid);
}

}  // namespace

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
