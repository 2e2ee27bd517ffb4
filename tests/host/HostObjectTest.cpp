// QuellanHost's parts in this process: the command-line rule, and the
// host's Broker object around the shipped library's broker.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleidl.h>
#include <sddl.h>

#include <optional>

#include "com/ComPtr.h"
#include "com/Handle.h"
#include "com/Object.h"
#include "host/CommandLine.h"
#include "host/HostBroker.h"
#include "host/HostModule.h"
#include "resources/QuellanLib.h"
#include "tests/module/ShippedLibrary.h"

namespace {

// The call permissions as the system reads them: one allowing entry, for
// the user alone, with local call rights only; the low label with
// no-execute-up only where asked for.
TEST(HostCallPermissions, AllowTheUserAloneAtLowIntegrity)
{
    const std::wstring user = L"S-1-5-21-1-2-3-1000";
    for (bool lowLabel : {false, true}) {
        SCOPED_TRACE(lowLabel);
        CLocalMemory descriptor;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            HostCallPermissions(user, lowLabel).c_str(), SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr));
        auto sidText = [](PSID sid) {
            wchar_t* text = nullptr;
            if (!ConvertSidToStringSidW(sid, &text))
                return std::wstring();
            std::wstring result(text);
            LocalFree(text);
            return result;
        };
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.Get(), &owner, &defaulted));
        EXPECT_EQ(user, sidText(owner));
        BOOL present = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl);
        ASSERT_EQ(1, dacl->AceCount);
        ACCESS_ALLOWED_ACE* allowed = nullptr;
        ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&allowed)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
        EXPECT_EQ(0x3u, allowed->Mask) << "COM_RIGHTS_EXECUTE | COM_RIGHTS_EXECUTE_LOCAL";
        EXPECT_EQ(user, sidText(&allowed->SidStart));
        PACL sacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor.Get(), &present, &sacl, &defaulted));
        ASSERT_EQ(lowLabel, present && sacl && sacl->AceCount == 1);
        if (!lowLabel)
            continue;
        SYSTEM_MANDATORY_LABEL_ACE* label = nullptr;
        ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void**>(&label)));
        EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, label->Header.AceType);
        EXPECT_EQ(static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP), label->Mask);
        EXPECT_EQ(L"S-1-16-4096", sidText(&label->SidStart)) << "low integrity";
    }
}

TEST(HostCommandLine, FindsTheFirstKnownSwitchAfterADashOrSlashInAnyCase)
{
    struct CCase
    {
        const wchar_t* line;
        HostCommand command;
    };
    const CCase cases[] = {
        {nullptr, HostCommand::None},
        {L"", HostCommand::None},
        {L"-Embedding", HostCommand::Embedding},
        {L"/embedding", HostCommand::Embedding},
        {L"-EMBEDDING", HostCommand::Embedding},
        {L"/Embedding\t/x", HostCommand::Embedding},
        {L"/Embeddingx", HostCommand::None},
        {L"/Embed", HostCommand::None},
        {L"Embedding", HostCommand::None},
        {L"/RegServer", HostCommand::RegServer},
        {L"-regserver ", HostCommand::RegServer},
        {L"/RegServers", HostCommand::None},
        {L"/UnregServer", HostCommand::UnregServer},
        {L"/Unreg Server", HostCommand::None},
        // Unknown words are skipped; the first known switch decides.
        {L"/Automation -Embedding", HostCommand::Embedding},
        {L"/Embeddingx /unregserver", HostCommand::UnregServer},
        {L"/RegServer /UnregServer", HostCommand::RegServer},
    };
    for (const CCase& c : cases) {
        EXPECT_EQ(c.command, ParseHostCommandLine(c.line))
            << (c.line ? std::string(c.line, c.line + wcslen(c.line)) : std::string("(null)"));
    }
}

ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// A library factory whose objects cannot be made.
class CFailingFactory final : public CComObjectBase<CFailingFactory, IClassFactory>
{
public:
    STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_ACCESSDENIED;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

class HostObject : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(S_OK, m_library.GetClassObject(CLSID_Broker, IID_IClassFactory, m_libraryFactory.PutVoid()));
        m_module.emplace();
        m_factory = CHostBrokerFactory::Create(m_libraryFactory.Get(), *m_module);
    }
    void TearDown() override
    {
        m_factory.Reset();
        EXPECT_EQ(0, m_module->GetLockCount());
        m_module.reset();
        m_libraryFactory.Reset();
        EXPECT_EQ(S_OK, m_library.CanUnloadNow());
        CoUninitialize();
    }

    CShippedLibrary m_library;
    CComPtr<IClassFactory> m_libraryFactory;
    std::optional<CQuellanHostModule> m_module;
    CComPtr<CHostBrokerFactory> m_factory;
};

TEST_F(HostObject, IsItsOwnIdentityAndAnswersTheRestThroughTheLibrarysBroker)
{
    CComPtr<IUnknown> host;
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IUnknown, host.PutVoid()));
    EXPECT_EQ(1, m_module->GetLockCount());

    CComPtr<IBroker> broker;
    ASSERT_EQ(S_OK, host->QueryInterface(IID_IBroker, broker.PutVoid()));
    EXPECT_NE(static_cast<void*>(host.Get()), static_cast<void*>(broker.Get())) << "the library's interface";
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, broker->QueryInterface(IID_IUnknown, identity.PutVoid()));
    EXPECT_EQ(host.Get(), identity.Get()) << "IUnknown is the host object itself";
    identity.Reset();
    // The library's interface counts on the host object.
    ULONG before = RefCount(host);
    broker->AddRef();
    EXPECT_EQ(before + 1, RefCount(host));
    broker->Release();
    // What neither answers.
    void* window = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, host->QueryInterface(__uuidof(IOleWindow), &window));
    EXPECT_EQ(nullptr, window);
    // Created for IBroker directly, too.
    CComPtr<IBroker> direct;
    EXPECT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IBroker, direct.PutVoid()));
    EXPECT_EQ(2, m_module->GetLockCount());
    direct.Reset();
    broker.Reset();
    host.Reset();
    EXPECT_EQ(0, m_module->GetLockCount());
}

TEST_F(HostObject, FactoryRefusesAggregationAndLocksTheHost)
{
    CComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, m_factory->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()));
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, m_factory->CreateInstance(outer, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, m_factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    outer.Reset();
    EXPECT_EQ(0, m_module->GetLockCount()) << "the registered factory itself keeps nothing alive";

    EXPECT_EQ(S_OK, m_factory->LockServer(TRUE));
    EXPECT_EQ(1, m_module->GetLockCount());
    EXPECT_EQ(S_OK, m_factory->LockServer(FALSE));
    EXPECT_EQ(0, m_module->GetLockCount());
}

TEST_F(HostObject, AFailedInnerCreationFailsTheObjectAndGivesBackItsLock)
{
    CComPtr<CFailingFactory> failing = CFailingFactory::Create();
    CComPtr<CHostBrokerFactory> factory = CHostBrokerFactory::Create(failing.Get(), *m_module);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_ACCESSDENIED, factory->CreateInstance(nullptr, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, m_module->GetLockCount());
}

}  // namespace
