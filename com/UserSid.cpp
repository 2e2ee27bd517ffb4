#include "com/UserSid.h"

#include <sddl.h>

#include <atomic>
#include <cwchar>
#include <vector>

#include "com/Error.h"
#include "com/Handle.h"
#include "com/Sync.h"

namespace {

struct CSidCache
{
    CCriticalSection lock;
    std::atomic<const wchar_t*> text{nullptr};
    ~CSidCache() { delete[] text.load(); }
};

CSidCache g_sid;

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

}  // namespace

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
