#pragma once
// CComObjectBase: the base of every COM class of the product.
//
//   class CBroker final : public CComObjectBase<CBroker, IBroker> { ... };
//   class CAutomation final
//       : public CComObjectBase<CAutomation, CDispatchImpl<IAutomation>, IDispatch> { ... };
//
// The entry list names, once, every interface the object answers besides
// IUnknown. An entry is an interface, or an implementation class that
// declares `using Interface = I;` (CDispatchImpl) and answers I. The class
// derives from each entry that is not already a base of another entry, so
// base interfaces (IDispatch under a dual interface, IInternetProtocolRoot
// under IInternetProtocol) are listed explicitly and answered through the
// one derived subobject. QueryInterface is generated from the list;
// unknown IIDs give E_NOINTERFACE and a null pointer.
//
// Identity: the object's IUnknown is a separate non-delegating inner
// unknown. Without an outer object it is also the controlling unknown that
// every interface delegates to; when aggregated, the interfaces delegate
// to the outer object, and only the inner unknown (handed to the outer at
// creation) counts and answers for the object itself. A class that
// aggregates another object answers the interfaces it does not know by
// defining a public `HRESULT QueryOtherInterface(REFIID, void**)` (blind
// delegation: forward to the inner unknown, which returns interfaces
// counted on this object).
//
// Threading: the reference count and the module lock, held for the object's
// life, are interlocked: an object handed to the system may be AddRef'd and
// Released on any of its threads (urlmon's session holds the request filter's
// class factory and counts it on every binding thread). Everything else about
// an object is its own class's business.
//
// Creation goes only through CreateObject (HRESULT, class-factory
// signature) or Create (throws). Both run the optional public
// final-construction step `HRESULT FinalConstruct()` with the object's
// count raised by one, and destroy the object when it fails. A class that
// may be aggregated declares `static constexpr bool kAggregatable = true;`;
// for any other class an outer object gives CLASS_E_NOAGGREGATION.
// Constructors must not hand out references to the object; FinalConstruct
// may.

#include <windows.h>
#include <unknwn.h>

#include <memory>
#include <type_traits>
#include <utility>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/InterfaceId.h"
#include "com/Module.h"

namespace ComObjectDetail {

template <class... T>
struct TypeList
{
};

// The interface an entry answers.
template <class Entry, class = void>
struct EntryInterface
{
    using Type = Entry;
};
template <class Entry>
struct EntryInterface<Entry, std::void_t<typename Entry::Interface>>
{
    using Type = typename Entry::Interface;
};

template <class Entry, class... All>
inline constexpr bool kIsBaseOfOtherEntry =
    (... || (!std::is_same_v<Entry, All> && std::is_base_of_v<Entry, All>));

template <class... Bases>
struct InheritAll : Bases...
{
};

// InheritAll<entries that are no other entry's base>.
template <class All, class Kept, class... Pending>
struct SelectBases;
template <class... All, class... Kept>
struct SelectBases<TypeList<All...>, TypeList<Kept...>>
{
    using Type = InheritAll<Kept...>;
};
template <class... All, class... Kept, class Entry, class... Rest>
struct SelectBases<TypeList<All...>, TypeList<Kept...>, Entry, Rest...>
    : SelectBases<TypeList<All...>,
                  std::conditional_t<kIsBaseOfOtherEntry<Entry, All...>, TypeList<Kept...>,
                                     TypeList<Kept..., Entry>>,
                  Rest...>
{
};

template <class... Entries>
using Bases = typename SelectBases<TypeList<Entries...>, TypeList<>, Entries...>::Type;

}  // namespace ComObjectDetail

template <class TDerived, class... TEntries>
class CComObjectBase : public ComObjectDetail::Bases<TEntries...>
{
public:
    static constexpr bool kAggregatable = false;

    CComObjectBase(const CComObjectBase&) = delete;
    CComObjectBase& operator=(const CComObjectBase&) = delete;

    // IUnknown of every listed interface: the controlling unknown's.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return m_controlling->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_controlling->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_controlling->Release(); }

    // Creates an object; with an outer object, riid must be IID_IUnknown and
    // *ppv receives the inner unknown.
    static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv) noexcept
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer && (!TDerived::kAggregatable || !InlineIsEqualGUID(riid, IID_IUnknown)))
            return CLASS_E_NOAGGREGATION;
        return CallAtBoundary([&] {
            CComObjectBase* object = Construct(outer);
            object->m_inner.AddRef();
            HRESULT hr = object->m_inner.QueryInterface(riid, ppv);
            object->m_inner.Release();
            return hr;
        });
    }

    // Creates an object that is not aggregated. Throws on failure.
    template <class... Args>
    static CComPtr<TDerived> Create(Args&&... args)
    {
        return CComPtr<TDerived>(static_cast<TDerived*>(Construct(nullptr, std::forward<Args>(args)...)));
    }

    // Default final construction: nothing to do.
    HRESULT FinalConstruct() { return S_OK; }
    // Default for interfaces outside the list: none.
    HRESULT QueryOtherInterface(REFIID, void**) { return E_NOINTERFACE; }

protected:
    CComObjectBase() noexcept : m_inner(*this) { LockModule(); }
    virtual ~CComObjectBase() { UnlockModule(); }

    // The unknown that controls this object's life: the outer object's when
    // aggregated. Pass it as the outer object when aggregating others.
    IUnknown* GetControllingUnknown() const noexcept { return m_controlling; }
    // True when an outer object controls this one.
    bool IsAggregated() const noexcept { return m_controlling != &m_inner; }

private:
    class CInnerUnknown final : public IUnknown
    {
    public:
        explicit CInnerUnknown(CComObjectBase& owner) noexcept : m_owner(owner) {}

        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            return m_owner.InternalQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_owner.m_refs)); }
        STDMETHODIMP_(ULONG) Release() override
        {
            ULONG refs = static_cast<ULONG>(InterlockedDecrement(&m_owner.m_refs));
            if (refs == 0) {
                // A destructor that takes and gives back a reference must
                // not destroy the object a second time.
                m_owner.m_refs = 1;
                delete &m_owner;
            }
            return refs;
        }

    private:
        CComObjectBase& m_owner;
    };

    template <class... Args>
    static CComObjectBase* Construct(IUnknown* outer, Args&&... args)
    {
        std::unique_ptr<TDerived> object(new TDerived(std::forward<Args>(args)...));
        CComObjectBase& base = *object;
        base.m_controlling = outer ? outer : &base.m_inner;
        base.m_refs = 1;
        HRESULT hr = object->FinalConstruct();
        InterlockedDecrement(&base.m_refs);
        ThrowIfFailed(hr);
        return object.release();
    }

    HRESULT InternalQueryInterface(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (InlineIsEqualGUID(riid, IID_IUnknown)) {
            *ppv = &m_inner;
            m_inner.AddRef();
            return S_OK;
        }
        if ((... || Answer<TEntries>(riid, ppv))) {
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        HRESULT hr = static_cast<TDerived*>(this)->QueryOtherInterface(riid, ppv);
        if (FAILED(hr))
            *ppv = nullptr;
        return hr;
    }

    template <class Entry>
    bool Answer(REFIID riid, void** ppv)
    {
        using Interface = typename ComObjectDetail::EntryInterface<Entry>::Type;
        if (!InlineIsEqualGUID(riid, IidOf<Interface>()))
            return false;
        *ppv = static_cast<Interface*>(static_cast<TDerived*>(this));
        return true;
    }

    LONG volatile m_refs = 0;
    CInnerUnknown m_inner;
    IUnknown* m_controlling = &m_inner;
};
