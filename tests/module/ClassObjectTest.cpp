// The COM rules of the shipped library's classes, through its own exports:
// interfaces and identity, aggregation, unloading, dispatch from the type
// library, and the refusal to load without the activation context.

#include <gtest/gtest.h>

#include <mshtml.h>
#include <objsafe.h>
#include <ocidl.h>
#include <oleidl.h>

#include <algorithm>
#include <vector>

#include "com/ComPtr.h"
#include "com/Object.h"
#include "resources/QuellanLib.h"
#include "resources/Version.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/support/TestEnvironment.h"

namespace {

struct CClassCase
{
    const char* name;
    const CLSID* clsid;
    std::vector<IID> interfaces;
};

const CClassCase kClasses[] = {
    {"Automation", &CLSID_Automation, {IID_IAutomation, IID_IDispatch}},
    {"Behavior", &CLSID_Behavior,
     {IID_IDispatch, __uuidof(IElementBehavior), __uuidof(IElementBehaviorFactory)}},
    {"BHO", &CLSID_BHO, {__uuidof(IObjectWithSite), IID_IDispatch}},
    {"Broker", &CLSID_Broker, {IID_IBroker}},
};

// Interfaces that some class of the library, or a scripting host, might ask for.
const IID kOtherInterfaces[] = {
    IID_IAutomation,
    IID_IBroker,
    IID_IDispatch,
    __uuidof(IObjectWithSite),
    __uuidof(IElementBehavior),
    __uuidof(IElementBehaviorFactory),
    IID_IObjectSafety,
    __uuidof(IProvideClassInfo),
    __uuidof(IConnectionPointContainer),
    __uuidof(IPersist),
    __uuidof(IMarshal),
    __uuidof(IClassFactory),
    __uuidof(IOleWindow),
};

class ComTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        // Every object and class object of a test is gone by now, except
        // the request filter's class object, which the first helper object
        // registers in the process's URL moniker session for good.
        EXPECT_EQ(m_helperObjects ? S_FALSE : S_OK, m_library.CanUnloadNow());
        CoUninitialize();
    }

    // Call before a test creates a browser helper object. A handle to the
    // count of browser processes plays another browser process of the user,
    // so that the helper leaves the menu entries to that one.
    void CreatesHelperObjects()
    {
        m_helperObjects = true;
        m_otherBrowserProcess = CNamedMutex(GetSharedSecurityAttributes(), MakeSharedObjectName(L"ProcessRefCount"));
    }

    CComPtr<IClassFactory> Factory(REFCLSID clsid)
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, m_library.GetClassObject(clsid, IID_IClassFactory, factory.PutVoid()));
        return factory;
    }

    CShippedLibrary m_library;
    bool m_helperObjects = false;
    CNamedMutex m_otherBrowserProcess;
};

class ClassInterfaces : public ComTest, public testing::WithParamInterface<CClassCase>
{
};

TEST_P(ClassInterfaces, AnswersExactlyItsInterfacesWithOneIdentity)
{
    const CClassCase& c = GetParam();
    if (*c.clsid == CLSID_BHO)
        CreatesHelperObjects();
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, Factory(*c.clsid)->CreateInstance(nullptr, IID_IUnknown, identity.PutVoid()));
    for (const IID& iid : c.interfaces) {
        CComPtr<IUnknown> answer, answerIdentity;
        ASSERT_EQ(S_OK, identity->QueryInterface(iid, answer.PutVoid())) << GuidText(iid).c_str();
        ASSERT_EQ(S_OK, answer->QueryInterface(IID_IUnknown, answerIdentity.PutVoid()));
        EXPECT_EQ(identity.Get(), answerIdentity.Get());
        // Created for an interface directly, too.
        CComPtr<IUnknown> direct;
        EXPECT_EQ(S_OK, Factory(*c.clsid)->CreateInstance(nullptr, iid, direct.PutVoid()));
    }
    for (const IID& iid : kOtherInterfaces) {
        if (std::find(c.interfaces.begin(), c.interfaces.end(), iid) != c.interfaces.end())
            continue;
        void* answer = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, identity->QueryInterface(iid, &answer)) << GuidText(iid).c_str();
        EXPECT_EQ(nullptr, answer);
    }
}

TEST_P(ClassInterfaces, AggregatesOnlyTheBroker)
{
    const CClassCase& c = GetParam();
    CComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, Factory(CLSID_Automation)->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()));
    void* inner = reinterpret_cast<void*>(1);
    HRESULT hr = Factory(*c.clsid)->CreateInstance(outer, IID_IUnknown, &inner);
    if (*c.clsid == CLSID_Broker) {
        EXPECT_EQ(S_OK, hr);
        static_cast<IUnknown*>(inner)->Release();
        inner = reinterpret_cast<void*>(1);
        // An aggregate is handed out only as its inner unknown.
        EXPECT_EQ(CLASS_E_NOAGGREGATION, Factory(*c.clsid)->CreateInstance(outer, IID_IBroker, &inner));
    } else {
        EXPECT_EQ(CLASS_E_NOAGGREGATION, hr);
    }
    EXPECT_EQ(nullptr, inner);
}

void PrintTo(const CClassCase& c, std::ostream* os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Library, ClassInterfaces, testing::ValuesIn(kClasses),
                         [](const testing::TestParamInfo<CClassCase>& info) { return info.param.name; });

// Stands in for the broker host's object: aggregates the library's broker
// and passes every interface it does not know on to it.
class CHostBroker final : public CComObjectBase<CHostBroker, IOleWindow>
{
public:
    explicit CHostBroker(IClassFactory* factory) : m_factory(factory) {}
    HRESULT FinalConstruct()
    {
        return m_factory->CreateInstance(GetControllingUnknown(), IID_IUnknown, m_inner.PutVoid());
    }
    HRESULT QueryOtherInterface(REFIID riid, void** ppv) { return m_inner->QueryInterface(riid, ppv); }
    STDMETHODIMP GetWindow(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    IUnknown* Inner() const { return m_inner; }

private:
    CComPtr<IClassFactory> m_factory;
    CComPtr<IUnknown> m_inner;
};

ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

TEST_F(ComTest, AggregatedBrokerDelegatesToTheOuterObject)
{
    CComPtr<CHostBroker> host = CHostBroker::Create(Factory(CLSID_Broker).Get());
    CComPtr<IUnknown> hostIdentity;
    ASSERT_EQ(S_OK, host->QueryInterface(IID_IUnknown, hostIdentity.PutVoid()));
    IUnknown* inner = host->Inner();

    CComPtr<IUnknown> innerIdentity;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, innerIdentity.PutVoid()));
    EXPECT_EQ(inner, innerIdentity.Get()) << "the inner unknown answers for itself";
    innerIdentity.Reset();

    CComPtr<IBroker> broker;
    ASSERT_EQ(S_OK, hostIdentity->QueryInterface(IID_IBroker, broker.PutVoid()));
    CComPtr<IUnknown> brokerIdentity;
    ASSERT_EQ(S_OK, broker->QueryInterface(IID_IUnknown, brokerIdentity.PutVoid()));
    EXPECT_EQ(hostIdentity.Get(), brokerIdentity.Get()) << "the broker's IUnknown is the outer object";
    brokerIdentity.Reset();
    CComPtr<IOleWindow> window;
    EXPECT_EQ(S_OK, broker->QueryInterface(__uuidof(IOleWindow), window.PutVoid())) << "asked of the outer object";
    window.Reset();

    ULONG before = RefCount(hostIdentity);
    broker->AddRef();
    EXPECT_EQ(before + 1, RefCount(hostIdentity)) << "the broker counts on the outer object";
    broker->Release();
    EXPECT_EQ(before, RefCount(hostIdentity));
}

TEST_F(ComTest, UnloadsOnlyWithoutObjectsAndServerLocks)
{
    EXPECT_EQ(S_OK, m_library.CanUnloadNow());
    CComPtr<IClassFactory> factory = Factory(CLSID_Broker);
    EXPECT_EQ(S_FALSE, m_library.CanUnloadNow()) << "a class object is held";
    CComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()));
    factory.Reset();
    EXPECT_EQ(S_FALSE, m_library.CanUnloadNow()) << "an object lives";
    object.Reset();
    EXPECT_EQ(S_OK, m_library.CanUnloadNow());

    factory = Factory(CLSID_BHO);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_EQ(S_FALSE, m_library.CanUnloadNow()) << "a server lock is held";
    factory = Factory(CLSID_Automation);
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.Reset();
    EXPECT_EQ(S_OK, m_library.CanUnloadNow());
}

TEST_F(ComTest, HandsOutClassObjectsOnlyForItsClasses)
{
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, m_library.GetClassObject(CLSID_Broker, IID_IUnknown, unknown.PutVoid()));
    unknown.Reset();
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m_library.GetClassObject(LIBID_QuellanLib, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, m_library.GetClassObject(CLSID_Broker, IID_IClassFactory, nullptr));
}

TEST_F(ComTest, AutomationHasOneTypeInfo)
{
    CComPtr<IDispatch> automation;
    ASSERT_EQ(S_OK, Factory(CLSID_Automation)->CreateInstance(nullptr, IID_IDispatch, automation.PutVoid()));
    UINT count = 0;
    EXPECT_EQ(S_OK, automation->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(E_POINTER, automation->GetTypeInfoCount(nullptr));
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(DISP_E_BADINDEX, automation->GetTypeInfo(1, 0, &info));
    EXPECT_EQ(nullptr, info);

    // Names and calls need the registered type library: see the dialog tests.
}

TEST_F(ComTest, HelperAndBehaviorDispatchHasNoMembers)
{
    CreatesHelperObjects();
    for (const CLSID* clsid : {&CLSID_BHO, &CLSID_Behavior}) {
        CComPtr<IDispatch> dispatch;
        ASSERT_EQ(S_OK, Factory(*clsid)->CreateInstance(nullptr, IID_IDispatch, dispatch.PutVoid()));
        CComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0, info.Put()));
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
        EXPECT_EQ(IID_IDispatch, attributes->guid);
        info->ReleaseTypeAttr(attributes);
        LPOLESTR name = const_cast<LPOLESTR>(L"ShowSettingsDialog");
        DISPID id = 0;
        EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    }
}

// The library refuses to load when its activation context cannot be made.
// A copy whose manifest names an assembly that does not exist fails in
// DllMain: ERROR_DLL_INIT_FAILED. (Wine's loader does not make activation
// contexts of a library's manifest itself; Windows' loader may refuse such a
// copy earlier, with ERROR_SXS_CANT_GEN_ACTCTX. Wine does not delete
// resources through UpdateResourceW, hence the replacement.)
TEST(LibraryStartUp, RefusesToLoadWithoutItsActivationContext)
{
    // Another name, so that the loader cannot take it for the shipped library.
    std::wstring copy = MakeScratchDir() + L"\\quellan-broken.dll";
    ASSERT_TRUE(CopyFileW(ShippedLibraryPath().c_str(), copy.c_str(), FALSE));
    std::vector<WORD> languages;
    {
        CLibrary original(LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(original);
        EnumResourceLanguagesW(
            original.Get(), RT_MANIFEST, MAKEINTRESOURCEW(2),
            // CALLBACK: on i686 the callback is stdcall, which a plain lambda
            // does not convert to.
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) CALLBACK -> BOOL {
                reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&languages));
    }
    ASSERT_FALSE(languages.empty()) << "the shipped library has no manifest resource 2";
    std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
        "<dependency><dependentAssembly><assemblyIdentity type=\"win32\" name=\"Quellan.Missing\" "
        "version=\"9.9.9.9\" processorArchitecture=\"*\" publicKeyToken=\"0000000000000000\" language=\"*\"/>"
        "</dependentAssembly></dependency></assembly>";
    HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    ASSERT_TRUE(update);
    for (WORD language : languages)
        ASSERT_TRUE(UpdateResourceW(update, RT_MANIFEST, MAKEINTRESOURCEW(2), language, &manifest[0],
                                    static_cast<DWORD>(manifest.size())));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));

    SetLastError(0);
    CLibrary loaded(LoadLibraryW(copy.c_str()));
    const DWORD error = GetLastError();
    EXPECT_FALSE(loaded);
    // Whichever of the two refuses it first.
    EXPECT_TRUE(error == ERROR_DLL_INIT_FAILED || error == ERROR_SXS_CANT_GEN_ACTCTX) << error;
}

// Every shipped binary carries the one product version in its version
// resource (the installer packages are stamped from the same place).
TEST(LibraryStartUp, BinariesCarryTheProductVersion)
{
    const WORD version[] = {QUELLAN_VERSION};
    for (const wchar_t* binary : {L"\\module\\quellan.dll", L"\\host\\QuellanHost.exe", L"\\ctl\\QuellanCtl.exe"}) {
        std::wstring path = ShippedBinaryDir() + binary;
        DWORD handle = 0;
        std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &handle));
        ASSERT_FALSE(data.empty()) << "no version resource";
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT size = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
        EXPECT_EQ(MAKELONG(version[1], version[0]), fixed->dwFileVersionMS) << binary;
        EXPECT_EQ(MAKELONG(version[3], version[2]), fixed->dwFileVersionLS) << binary;
        wchar_t* product = nullptr;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                                   reinterpret_cast<void**>(&product), &size));
        EXPECT_STREQ(L"Quellan", product);
    }
}

}  // namespace
