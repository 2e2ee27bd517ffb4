#include "com/Dispatch.h"

#include <oleauto.h>

#include <utility>
#include <vector>

#include "com/Module.h"
#include "com/Sync.h"

namespace {

class CTypeInfoCache
{
public:
    CComPtr<ITypeInfo> Get(REFIID iid)
    {
        CCritSecLock hold(m_lock);
        for (const auto& [cachedIid, info] : m_infos) {
            if (InlineIsEqualGUID(cachedIid, iid))
                return info;
        }
        if (!m_library)
            ThrowIfFailed(LoadTypeLibEx(GetModulePath().c_str(), REGKIND_NONE, m_library.Put()));
        CComPtr<ITypeInfo> info = Find(iid);
        m_infos.emplace_back(iid, info);
        return info;
    }

private:
    CComPtr<ITypeInfo> Find(REFIID iid)
    {
        CComPtr<ITypeInfo> info;
        HRESULT hr = m_library->GetTypeInfoOfGuid(iid, info.Put());
        if (hr != TYPE_E_ELEMENTNOTFOUND) {
            ThrowIfFailed(hr);
            return info;
        }
        // Interfaces imported from other libraries are not types of this one;
        // reach them through the types of this library that derive from them.
        UINT count = m_library->GetTypeInfoCount();
        for (UINT i = 0; i < count; ++i) {
            CComPtr<ITypeInfo> type;
            ThrowIfFailed(m_library->GetTypeInfo(i, type.Put()));
            if (CComPtr<ITypeInfo> base = FindBase(type, iid))
                return base;
        }
        ThrowHResult(TYPE_E_ELEMENTNOTFOUND);
    }

    static CComPtr<ITypeInfo> FindBase(ITypeInfo* type, REFIID iid)
    {
        TYPEATTR* attributes = nullptr;
        ThrowIfFailed(type->GetTypeAttr(&attributes));
        WORD baseCount = attributes->cImplTypes;
        type->ReleaseTypeAttr(attributes);
        for (UINT i = 0; i < baseCount; ++i) {
            HREFTYPE reference = 0;
            CComPtr<ITypeInfo> base;
            ThrowIfFailed(type->GetRefTypeOfImplType(i, &reference));
            ThrowIfFailed(type->GetRefTypeInfo(reference, base.Put()));
            ThrowIfFailed(base->GetTypeAttr(&attributes));
            bool match = InlineIsEqualGUID(attributes->guid, iid);
            base->ReleaseTypeAttr(attributes);
            if (match)
                return base;
        }
        return nullptr;
    }

    CCriticalSection m_lock;
    CComPtr<ITypeLib> m_library;
    std::vector<std::pair<IID, CComPtr<ITypeInfo>>> m_infos;
};

}  // namespace

CComPtr<ITypeInfo> GetRegisteredTypeInfo(REFGUID libid, WORD major, WORD minor, LCID locale, REFIID iid)
{
    struct CEntry
    {
        GUID libid;
        IID iid;
        CComPtr<ITypeInfo> info;
    };
    static CCriticalSection lock;
    static std::vector<CEntry> infos;

    CCritSecLock hold(lock);
    for (const CEntry& entry : infos) {
        if (InlineIsEqualGUID(entry.libid, libid) && InlineIsEqualGUID(entry.iid, iid))
            return entry.info;
    }
    CComPtr<ITypeLib> library;
    ThrowIfFailed(LoadRegTypeLib(libid, major, minor, locale, library.Put()));
    CComPtr<ITypeInfo> info;
    ThrowIfFailed(library->GetTypeInfoOfGuid(iid, info.Put()));
    infos.push_back(CEntry{libid, iid, info});
    return info;
}

CComPtr<ITypeInfo> GetModuleTypeInfo(REFIID iid)
{
    static CTypeInfoCache cache;
    return cache.Get(iid);
}
