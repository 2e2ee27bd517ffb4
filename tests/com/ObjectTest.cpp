// The object base, the class factory and the owners of BSTR and VARIANT.

#include <gtest/gtest.h>

#include <ocidl.h>
#include <oleidl.h>

#include "com/Bstr.h"
#include "com/ComPtr.h"
#include "com/Object.h"
#include "com/Variant.h"

namespace {

int g_liveObjects = 0;

// IPersist is listed as a base of IPersistStream: one subobject answers both.
class CSample final : public CComObjectBase<CSample, IPersistStream, IPersist, IOleWindow>
{
public:
    CSample() { ++g_liveObjects; }
    ~CSample() override { --g_liveObjects; }

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP GetWindow(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
};

class CFailingConstruction final : public CComObjectBase<CFailingConstruction, IPersist>
{
public:
    CFailingConstruction() { ++g_liveObjects; }
    ~CFailingConstruction() override { --g_liveObjects; }
    HRESULT FinalConstruct()
    {
        // Taking and giving back a reference here must not destroy the object.
        AddRef();
        Release();
        return E_ACCESSDENIED;
    }
    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
};

class CAggregatable final : public CComObjectBase<CAggregatable, IPersist>
{
public:
    static constexpr bool kAggregatable = true;
    CAggregatable() { ++g_liveObjects; }
    ~CAggregatable() override { --g_liveObjects; }
    STDMETHODIMP GetClassID(CLSID* clsid) override
    {
        *clsid = CLSID_NULL;
        return S_OK;
    }
};

// An outer object that aggregates CAggregatable and hands every interface
// it does not know to it, as the broker host does with the library's broker.
class COuter final : public CComObjectBase<COuter, IOleWindow>
{
public:
    COuter() { ++g_liveObjects; }
    ~COuter() override { --g_liveObjects; }
    HRESULT FinalConstruct()
    {
        return CAggregatable::CreateObject(GetControllingUnknown(), IID_IUnknown, m_inner.PutVoid());
    }
    HRESULT QueryOtherInterface(REFIID riid, void** ppv) { return m_inner->QueryInterface(riid, ppv); }

    STDMETHODIMP GetWindow(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    IUnknown* Inner() const { return m_inner; }

private:
    CComPtr<IUnknown> m_inner;
};

template <class I>
CComPtr<I> Query(IUnknown* object, REFIID iid)
{
    CComPtr<I> result;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, result.PutVoid()));
    return result;
}

ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

class ObjectTest : public testing::Test
{
protected:
    void SetUp() override { m_baseLock = GetModuleLockCount(); }
    void TearDown() override
    {
        EXPECT_EQ(0, g_liveObjects) << "an object was leaked or destroyed twice";
        EXPECT_EQ(m_baseLock, GetModuleLockCount());
    }

    LONG m_baseLock = 0;
};

TEST_F(ObjectTest, AnswersExactlyItsInterfacesWithOneIdentity)
{
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, CSample::CreateObject(nullptr, IID_IUnknown, identity.PutVoid()));
    CComPtr<IPersistStream> stream = Query<IPersistStream>(identity, IID_IPersistStream);
    CComPtr<IPersist> persist = Query<IPersist>(identity, IID_IPersist);
    CComPtr<IOleWindow> window = Query<IOleWindow>(identity, IID_IOleWindow);
    ASSERT_TRUE(stream && persist && window);
    EXPECT_EQ(static_cast<IPersist*>(stream.Get()), persist.Get());

    for (IUnknown* from : {static_cast<IUnknown*>(stream.Get()), static_cast<IUnknown*>(window.Get()),
                           identity.Get()}) {
        EXPECT_EQ(identity.Get(), Query<IUnknown>(from, IID_IUnknown).Get());
        void* other = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, from->QueryInterface(IID_IDispatch, &other));
        EXPECT_EQ(nullptr, other);
    }
    EXPECT_EQ(E_POINTER, identity->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(ObjectTest, LivesWhileReferencedAndHoldsTheModule)
{
    CComPtr<CSample> object = CSample::Create();
    EXPECT_EQ(1, g_liveObjects);
    EXPECT_EQ(m_baseLock + 1, GetModuleLockCount());
    EXPECT_EQ(1u, RefCount(static_cast<IPersist*>(object.Get())));
    {
        CComPtr<IOleWindow> window = Query<IOleWindow>(static_cast<IPersist*>(object.Get()), IID_IOleWindow);
        EXPECT_EQ(2u, RefCount(window));
    }
    object.Reset();
    EXPECT_EQ(0, g_liveObjects);
}

DWORD WINAPI CountManyTimes(void* target)
{
    auto* unknown = static_cast<IPersist*>(target);
    for (int i = 0; i < 200000; ++i) {
        unknown->AddRef();
        unknown->Release();
    }
    return 0;
}

// urlmon's session counts the request filter's class factory on every binding
// thread: a count that drifts frees an object still held, or never frees it.
TEST_F(ObjectTest, CountsFromManyThreadsAtOnceAddUp)
{
    CComPtr<CSample> object = CSample::Create();
    IPersist* shared = object.Get();
    constexpr int kThreads = 8;
    HANDLE threads[kThreads];
    for (HANDLE& thread : threads) {
        thread = CreateThread(nullptr, 0, &CountManyTimes, shared, 0, nullptr);
        ASSERT_NE(thread, nullptr);
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    EXPECT_EQ(1u, RefCount(shared));
    EXPECT_EQ(1, g_liveObjects);
}

TEST_F(ObjectTest, FailedCreationDestroysTheObject)
{
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_ACCESSDENIED, CFailingConstruction::CreateObject(nullptr, IID_IUnknown, &result));
    EXPECT_EQ(nullptr, result);
    try {
        CFailingConstruction::Create();
        ADD_FAILURE() << "Create did not throw";
    } catch (const CHResultException& e) {
        EXPECT_EQ(E_ACCESSDENIED, e.GetHResult());
    }
    // An interface the class does not have destroys the fresh object too.
    result = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CSample::CreateObject(nullptr, IID_IDispatch, &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(E_POINTER, CSample::CreateObject(nullptr, IID_IUnknown, nullptr));
}

TEST_F(ObjectTest, RefusesAnOuterObjectUnlessAggregatable)
{
    CComPtr<CSample> outer = CSample::Create();
    IUnknown* outerUnknown = static_cast<IPersist*>(outer.Get());
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CSample::CreateObject(outerUnknown, IID_IUnknown, &result));
    EXPECT_EQ(nullptr, result);
    // An aggregated object is handed out only as its inner unknown.
    result = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CAggregatable::CreateObject(outerUnknown, IID_IPersist, &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(1, g_liveObjects);
}

TEST_F(ObjectTest, AggregatedObjectDelegatesToItsOuterObject)
{
    CComPtr<COuter> outer = COuter::Create();
    EXPECT_EQ(2, g_liveObjects);
    CComPtr<IUnknown> outerIdentity = Query<IUnknown>(static_cast<IOleWindow*>(outer.Get()), IID_IUnknown);
    IUnknown* inner = outer->Inner();

    // The inner unknown answers IUnknown with itself, not with the outer object.
    EXPECT_EQ(inner, Query<IUnknown>(inner, IID_IUnknown).Get());

    // The outer object answers the inner object's interface blindly; that
    // interface counts on and answers for the outer object.
    CComPtr<IPersist> persist = Query<IPersist>(outerIdentity, IID_IPersist);
    ASSERT_TRUE(persist);
    CLSID clsid;
    EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_EQ(outerIdentity.Get(), Query<IUnknown>(persist, IID_IUnknown).Get());
    EXPECT_TRUE(Query<IOleWindow>(persist, IID_IOleWindow));
    ULONG outerCount = RefCount(outerIdentity);
    persist->AddRef();
    EXPECT_EQ(outerCount + 1, RefCount(outerIdentity));
    persist->Release();
    EXPECT_EQ(outerCount, RefCount(outerIdentity));

    persist.Reset();
    outerIdentity.Reset();
    outer.Reset();
    EXPECT_EQ(0, g_liveObjects);
}

TEST(ValueOwners, CopiesAreDeepAndOwnershipMovesExplicitly)
{
    CComBSTR original(L"it's");
    CComBSTR copy = original;
    EXPECT_NE(original.Get(), copy.Get());
    EXPECT_EQ(L"it's", copy.View());
    BSTR detached = copy.Detach();
    EXPECT_EQ(nullptr, copy.Get());
    EXPECT_EQ(0u, copy.Length());
    copy.Attach(detached);
    EXPECT_EQ(4u, copy.Length());

    CComVariant text(std::wstring_view(L"value"));
    CComVariant copied = text;
    ASSERT_EQ(VT_BSTR, copied.Type());
    EXPECT_NE(V_BSTR(&text.Get()), V_BSTR(&copied.Get()));
    EXPECT_STREQ(L"value", V_BSTR(&copied.Get()));
    CComVariant moved = std::move(copied);
    EXPECT_EQ(VT_EMPTY, copied.Type());
    EXPECT_EQ(VT_BSTR, moved.Type());
    VARIANT out;
    moved.Detach(&out);
    EXPECT_EQ(VT_EMPTY, moved.Type());
    EXPECT_STREQ(L"value", V_BSTR(&out));
    VariantClear(&out);
}

}  // namespace
