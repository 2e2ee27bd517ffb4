#include "storage/NamedObjects.h"

#include <sddl.h>

#include <atomic>

#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Platform.h"
#include "com/Sync.h"
#include "com/UserSid.h"

namespace {

using NtQueryObjectFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

struct CDescriptorCache
{
    CCriticalSection lock;
    std::atomic<bool> built{false};
    CLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

CDescriptorCache g_descriptor;

// ntdll is in every process from its first instruction, so the lookup at
// load time cannot fail on any supported system.
const NtQueryObjectFunction g_ntQueryObject =
    GetExport<NtQueryObjectFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");

}  // namespace

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
