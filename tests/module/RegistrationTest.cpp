// Self-registration of the shipped library, through Wine's regsvr32 and the
// library's own exports, read back from the registry. Every test starts and
// ends with nothing of the library registered, machine-wide or per user.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "com/Bstr.h"
#include "com/Error.h"
#include "com/ComPtr.h"
#include "com/Handle.h"
#include "resources/QuellanIds.h"
#include "resources/QuellanLib.h"
#include "resources/ResourceIds.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/support/Process.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/Wine.h"

namespace {

const wchar_t kMachineClasses[] = L"Software\\Classes\\";
const wchar_t kBrowserHelperObjects[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const wchar_t kDefaultBehaviors[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\Default Behaviors";

struct CClassEntries
{
    const wchar_t* name;
    const wchar_t* description;
    const CLSID* clsid;
    bool programmable;
};

const CClassEntries kClasses[] = {
    {L"Automation", L"Automation Class", &CLSID_Automation, true},
    {L"Behavior", L"Behavior Class", &CLSID_Behavior, true},
    {L"BHO", L"BHO Class", &CLSID_BHO, true},
    {L"Broker", L"Broker Class", &CLSID_Broker, false},
};

bool KeyExists(HKEY root, const std::wstring& path)
{
    CRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

bool ValueExists(HKEY root, const std::wstring& path, const wchar_t* name)
{
    return RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::wstring StringValue(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t buffer[1024];
    DWORD bytes = sizeof buffer;
    DWORD type = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &bytes) != ERROR_SUCCESS)
        return L"<missing>";
    return type == REG_SZ ? std::wstring(buffer) : L"<not REG_SZ>";
}

// The class keys of the library (relative to a classes root), our keys
// under HKLM and our value in the shared Default Behaviors key.
std::vector<std::wstring> ClassesKeys()
{
    std::vector<std::wstring> keys = {L"AppID\\" + std::wstring(kQuellanAppId), L"AppID\\Quellan.DLL"};
    for (const CClassEntries& c : kClasses) {
        keys.push_back(std::wstring(L"Quellan.") + c.name);
        keys.push_back(std::wstring(L"Quellan.") + c.name + L".1");
        keys.push_back(L"CLSID\\" + GuidText(*c.clsid));
    }
    return keys;
}

// Everything of ours that is in the registry, for messages.
std::wstring Leftovers()
{
    std::wstring found;
    std::vector<std::wstring> keys = ClassesKeys();
    keys.push_back(L"TypeLib\\" + GuidText(LIBID_QuellanLib));
    keys.push_back(L"Interface\\" + GuidText(IID_IAutomation));
    keys.push_back(L"Interface\\" + GuidText(IID_IBroker));
    for (const std::wstring& key : keys) {
        if (KeyExists(HKEY_LOCAL_MACHINE, kMachineClasses + key))
            found += L" HKLM\\Software\\Classes\\" + key;
        if (KeyExists(HKEY_CURRENT_USER, kMachineClasses + key))
            found += L" HKCU\\Software\\Classes\\" + key;
    }
    std::wstring bho = std::wstring(kBrowserHelperObjects) + L"\\" + GuidText(CLSID_BHO);
    if (KeyExists(HKEY_LOCAL_MACHINE, bho))
        found += L" HKLM\\" + bho;
    if (ValueExists(HKEY_LOCAL_MACHINE, kDefaultBehaviors, L"QUELLAN"))
        found += L" QUELLAN value";
    return found;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// Runs Wine's regsvr32 silently on a library (the shipped one unless
// given); returns its exit code.
DWORD Regsvr32(std::vector<std::wstring> options, const std::wstring& library = ShippedLibraryPath())
{
    options.insert(options.begin(), L"/s");
    options.push_back(library);
    return WaitForProcess(StartProcess(L"regsvr32.exe", options));
}

class Registration : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        CleanUp();
        ASSERT_EQ(L"", Leftovers()) << "registered before the test";
    }
    void TearDown() override
    {
        CleanUp();
        EXPECT_EQ(L"", Leftovers());
        CoUninitialize();
    }

    void CleanUp()
    {
        m_library.Install(false, L"user");
        m_library.UnregisterServer();
    }

    // The HKCR entries of every class, under the given classes root.
    void ExpectClassEntries(HKEY root, const std::wstring& classes)
    {
        for (const CClassEntries& c : kClasses) {
            SCOPED_TRACE(Narrow(c.name));
            std::wstring clsid = GuidText(*c.clsid);
            std::wstring progId = std::wstring(L"Quellan.") + c.name;
            std::wstring versioned = progId + L".1";
            std::wstring key = classes + L"CLSID\\" + clsid;
            EXPECT_EQ(c.description, StringValue(root, classes + versioned));
            EXPECT_EQ(clsid, StringValue(root, classes + versioned + L"\\CLSID"));
            EXPECT_EQ(c.description, StringValue(root, classes + progId));
            EXPECT_EQ(clsid, StringValue(root, classes + progId + L"\\CLSID"));
            EXPECT_EQ(versioned, StringValue(root, classes + progId + L"\\CurVer"));
            EXPECT_EQ(c.description, StringValue(root, key));
            EXPECT_EQ(versioned, StringValue(root, key + L"\\ProgID"));
            EXPECT_EQ(progId, StringValue(root, key + L"\\VersionIndependentProgID"));
            EXPECT_EQ(0, _wcsicmp(ShippedLibraryPath().c_str(), StringValue(root, key + L"\\InprocServer32").c_str()))
                << Narrow(StringValue(root, key + L"\\InprocServer32"));
            EXPECT_EQ(L"Apartment", StringValue(root, key + L"\\InprocServer32", L"ThreadingModel"));
            EXPECT_EQ(GuidText(LIBID_QuellanLib), StringValue(root, key + L"\\TypeLib"));
            EXPECT_EQ(c.programmable, KeyExists(root, key + L"\\Programmable"));
        }
        EXPECT_EQ(L"Quellan", StringValue(root, classes + L"AppID\\" + kQuellanAppId));
        EXPECT_EQ(kQuellanAppId, StringValue(root, classes + L"AppID\\Quellan.DLL", L"AppID"));
    }

    void ExpectMachineEntries()
    {
        std::wstring bho = std::wstring(kBrowserHelperObjects) + L"\\" + GuidText(CLSID_BHO);
        DWORD noExplorer = 0, bytes = sizeof noExplorer, type = 0;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegGetValueW(HKEY_LOCAL_MACHINE, bho.c_str(), L"NoExplorer", RRF_RT_ANY, &type, &noExplorer, &bytes));
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
        EXPECT_EQ(1u, noExplorer);
        EXPECT_EQ(L"CLSID:" + GuidTextWithoutBraces(CLSID_Behavior),
                  StringValue(HKEY_LOCAL_MACHINE, kDefaultBehaviors, L"QUELLAN"));
    }

    void ExpectNoClassEntries(HKEY root)
    {
        for (const std::wstring& key : ClassesKeys())
            EXPECT_FALSE(KeyExists(root, kMachineClasses + key)) << Narrow(key);
    }

    CShippedLibrary m_library;
};

TEST_F(Registration, Regsvr32WritesEveryEntryAndRemovesThemAgain)
{
    ASSERT_EQ(0u, Regsvr32({}));
    ExpectClassEntries(HKEY_LOCAL_MACHINE, kMachineClasses);
    ExpectNoClassEntries(HKEY_CURRENT_USER);
    ExpectMachineEntries();
    CComPtr<ITypeLib> library;
    EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_QuellanLib, 1, 0, 0, library.Put()));
    // IBroker is marshalled by the type library marshaler.
    EXPECT_EQ(L"{00020424-0000-0000-C000-000000000046}",
              StringValue(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID_IBroker) + L"\\ProxyStubClsid32"));
    library.Reset();
    // What a menu page's script does: create the object by its ProgID.
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"Quellan.Automation", &clsid));
    EXPECT_EQ(CLSID_Automation, clsid);
    CComPtr<IDispatch> automation;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, automation.PutVoid()));
    automation.Reset();
    CoFreeUnusedLibraries();

    ASSERT_EQ(0u, Regsvr32({L"/u"}));
    EXPECT_EQ(L"", Leftovers());
    // The shared keys stay, empty of ours.
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kBrowserHelperObjects));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kDefaultBehaviors));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID"));
    // Unregistering what is not registered is no failure.
    EXPECT_EQ(0u, Regsvr32({L"/u"}));
}

// A folder name may hold the registry script's quote character.
TEST_F(Registration, AQuoteInTheLibrarysFolderIsRegisteredAsItIs)
{
    const std::wstring folder = MakeScratchDir() + L"\\O'Brien's";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring copy = folder + L"\\quellan.dll";
    ASSERT_TRUE(CopyFileW(ShippedLibraryPath().c_str(), copy.c_str(), FALSE));

    ASSERT_EQ(0u, Regsvr32({}, copy));
    for (const CClassEntries& c : kClasses) {
        SCOPED_TRACE(Narrow(c.name));
        std::wstring key = std::wstring(kMachineClasses) + L"CLSID\\" + GuidText(*c.clsid);
        EXPECT_EQ(copy, StringValue(HKEY_LOCAL_MACHINE, key + L"\\InprocServer32"));
        EXPECT_EQ(L"Apartment", StringValue(HKEY_LOCAL_MACHINE, key + L"\\InprocServer32", L"ThreadingModel"));
        // Nothing but the keys the script names.
        CRegKey classKey;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, classKey.Put()));
        DWORD subkeys = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(classKey.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(c.programmable ? 5u : 4u, subkeys);
    }
    ASSERT_EQ(0u, Regsvr32({L"/u"}, copy));
    EXPECT_EQ(L"", Leftovers());
}

// A registry script that does not parse fails registration; it is never
// applied in part.
TEST_F(Registration, AScriptThatDoesNotParseFailsRegistration)
{
    const std::wstring copy = MakeScratchDir() + L"\\quellan.dll";
    ASSERT_TRUE(CopyFileW(ShippedLibraryPath().c_str(), copy.c_str(), FALSE));
    std::vector<WORD> languages;
    {
        CLibrary original(LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(original);
        EnumResourceLanguagesW(
            original.Get(), L"REGISTRY", MAKEINTRESOURCEW(IDR_BROKER),
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) CALLBACK -> BOOL {  // stdcall on i686
                reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&languages));
    }
    ASSERT_FALSE(languages.empty());
    // A quote that never closes.
    std::string broken = "HKCR { NoRemove CLSID { Quellan.Broker = s 'Broker Class } }";
    HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    ASSERT_TRUE(update);
    for (WORD language : languages)
        ASSERT_TRUE(UpdateResourceW(update, L"REGISTRY", MAKEINTRESOURCEW(IDR_BROKER), language, &broken[0],
                                    static_cast<DWORD>(broken.size())));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));

    EXPECT_NE(0u, Regsvr32({}, copy));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + L"CLSID\\" + GuidText(CLSID_Broker)));
    EXPECT_NE(0u, Regsvr32({L"/u"}, copy));  // the broken script cannot be undone either
    EXPECT_EQ(L"", Leftovers());
}

TEST_F(Registration, CommandLineUserInAnyCaseRegistersPerUser)
{
    for (const wchar_t* commandLine : {L"user", L"USER", L"uSeR"}) {
        SCOPED_TRACE(Narrow(commandLine));
        std::wstring option = std::wstring(L"/i:") + commandLine;
        ASSERT_EQ(0u, Regsvr32({L"/n", option}));
        ExpectClassEntries(HKEY_CURRENT_USER, kMachineClasses);
        ExpectNoClassEntries(HKEY_LOCAL_MACHINE);
        // HKLM entries are written where they always are.
        ExpectMachineEntries();
        // The type library goes to the user's classes too.
        const std::wstring typeLib = std::wstring(kMachineClasses) + L"TypeLib\\" + GuidText(LIBID_QuellanLib);
        // Wine's RegisterTypeLibForUser succeeds but writes machine-wide.
        EXPECT_TODO_WINE(KeyExists(HKEY_CURRENT_USER, typeLib) && !KeyExists(HKEY_LOCAL_MACHINE, typeLib));
        CComPtr<ITypeLib> library;
        EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_QuellanLib, 1, 0, 0, library.Put()));
        library.Reset();

        ASSERT_EQ(0u, Regsvr32({L"/u", L"/n", option}));
        EXPECT_EQ(L"", Leftovers());
    }
}

TEST_F(Registration, PerUserUnregistrationLeavesAMachineWideInstallationAlone)
{
    ASSERT_EQ(0u, Regsvr32({}));
    const std::wstring machineWide = Leftovers();
    // Per-user unregistration alone, and after a per-user registration.
    for (bool registerFirst : {false, true}) {
        SCOPED_TRACE(registerFirst ? "registered per user first" : "alone");
        if (registerFirst) {
            ASSERT_EQ(0u, Regsvr32({L"/n", L"/i:user"}));
        }
        ASSERT_EQ(0u, Regsvr32({L"/u", L"/n", L"/i:user"}));
        ExpectNoClassEntries(HKEY_CURRENT_USER);
        ExpectClassEntries(HKEY_LOCAL_MACHINE, kMachineClasses);
        ExpectMachineEntries();
        EXPECT_EQ(machineWide, Leftovers());
        CComPtr<ITypeLib> library;
        EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_QuellanLib, 1, 0, 0, library.Put()));
    }
    ASSERT_EQ(0u, Regsvr32({L"/u"}));
    EXPECT_EQ(L"", Leftovers());
}

TEST_F(Registration, OtherCommandLinesRegisterMachineWide)
{
    // Compared over five characters: a prefix or a longer word is not "user".
    for (const wchar_t* commandLine : {L"use", L"users", L"user ", L""}) {
        SCOPED_TRACE(Narrow(commandLine));
        ASSERT_EQ(S_OK, m_library.Install(true, commandLine));
        ExpectClassEntries(HKEY_LOCAL_MACHINE, kMachineClasses);
        ExpectNoClassEntries(HKEY_CURRENT_USER);
        ASSERT_EQ(S_OK, m_library.Install(false, commandLine));
        EXPECT_EQ(L"", Leftovers());
    }
    // Through regsvr32 too, which passes the text after "/i:" unchanged.
    ASSERT_EQ(0u, Regsvr32({L"/n", L"/i:users"}));
    ExpectNoClassEntries(HKEY_CURRENT_USER);
    ExpectClassEntries(HKEY_LOCAL_MACHINE, kMachineClasses);
    ASSERT_EQ(0u, Regsvr32({L"/u", L"/n", L"/i:users"}));
}

// Replaces a key with a volatile one of the same name for the life of the
// guard, then puts an empty ordinary key back if there was one.
class CVolatileKey
{
public:
    CVolatileKey(HKEY root, const wchar_t* path) : m_root(root), m_path(path), m_existed(KeyExists(root, path))
    {
        LSTATUS removed = RegDeleteTreeW(root, path);
        EXPECT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << removed;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                                 nullptr, m_key.Put(), nullptr));
    }
    ~CVolatileKey()
    {
        m_key.Reset();
        RegDeleteTreeW(m_root, m_path);
        if (m_existed) {
            CRegKey restored;
            RegCreateKeyExW(m_root, m_path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            restored.Put(), nullptr);
        }
    }
    CVolatileKey(const CVolatileKey&) = delete;
    CVolatileKey& operator=(const CVolatileKey&) = delete;

private:
    HKEY m_root;
    const wchar_t* m_path;
    bool m_existed;
    CRegKey m_key;
};

TEST_F(Registration, FailedInstallLeavesNothingBehind)
{
    // The BHO script (third in the class table) cannot create its key under
    // a volatile "Browser Helper Objects" key (ERROR_CHILD_MUST_BE_VOLATILE;
    // Wine does not enforce registry ACLs, so a denied write cannot stand in
    // for missing rights). By then the AppID, Automation and Behavior scripts
    // and the BHO's HKCR entries are written, the QUELLAN value included.
    CVolatileKey blocked(HKEY_LOCAL_MACHINE, kBrowserHelperObjects);
    const HRESULT expected = HResultFromWin32(ERROR_CHILD_MUST_BE_VOLATILE);

    // Registration runs under the system locale and gives the caller's back.
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    LCID previous = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(expected, m_library.Install(true, nullptr));
    EXPECT_EQ(german, GetThreadLocale());
    SetThreadLocale(previous);
    EXPECT_EQ(L"", Leftovers());
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kDefaultBehaviors));

    // Per user, the HKLM entries still need writing, and fail the same way.
    EXPECT_EQ(expected, m_library.Install(true, L"user"));
    EXPECT_EQ(L"", Leftovers());

    // Without DllInstall's rollback, registration stops where it failed.
    EXPECT_EQ(expected, m_library.RegisterServer());
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kDefaultBehaviors, L"QUELLAN"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + L"CLSID\\" + GuidText(CLSID_BHO)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + L"CLSID\\" + GuidText(CLSID_Broker)));
    EXPECT_EQ(S_OK, m_library.UnregisterServer());
    EXPECT_EQ(L"", Leftovers());
}

// The type library as registered: what scripts and the marshaler see.
class TypeLibrary : public Registration
{
protected:
    void SetUp() override
    {
        Registration::SetUp();
        ASSERT_EQ(S_OK, m_library.RegisterServer());
        ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_QuellanLib, 1, 0, 0, m_typeLibrary.Put()));
    }
    void TearDown() override
    {
        m_typeLibrary.Reset();
        Registration::TearDown();
    }

    std::wstring Name(ITypeInfo* info, MEMBERID member, std::wstring* help = nullptr)
    {
        CComBSTR name, helpString;
        EXPECT_EQ(S_OK, info->GetDocumentation(member, name.Put(), helpString.Put(), nullptr, nullptr));
        if (help)
            *help = helpString.View();
        return std::wstring(name.View());
    }

    // The vtable part of an interface (for a dual one, behind its dispatch part).
    CComPtr<ITypeInfo> Interface(REFIID iid)
    {
        CComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, m_typeLibrary->GetTypeInfoOfGuid(iid, info.Put()));
        TYPEATTR* attributes = nullptr;
        info->GetTypeAttr(&attributes);
        TYPEKIND kind = attributes->typekind;
        info->ReleaseTypeAttr(attributes);
        if (kind == TKIND_DISPATCH) {
            HREFTYPE reference = 0;
            CComPtr<ITypeInfo> vtable;
            EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference));
            EXPECT_EQ(S_OK, info->GetRefTypeInfo(reference, vtable.Put()));
            return vtable;
        }
        return info;
    }

    WORD Flags(ITypeInfo* info, UINT* functionCount)
    {
        TYPEATTR* attributes = nullptr;
        EXPECT_EQ(S_OK, info->GetTypeAttr(&attributes));
        WORD flags = attributes->wTypeFlags;
        *functionCount = attributes->cFuncs;
        EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
        info->ReleaseTypeAttr(attributes);
        return flags;
    }

    struct CMethod
    {
        std::wstring name, help;
        MEMBERID id = 0;
        std::vector<VARTYPE> parameters;  // VT_PTR | pointee for pointers
        std::vector<USHORT> parameterFlags;
    };

    CMethod Method(ITypeInfo* info, UINT index)
    {
        CMethod method;
        FUNCDESC* function = nullptr;
        EXPECT_EQ(S_OK, info->GetFuncDesc(index, &function));
        method.id = function->memid;
        method.name = Name(info, function->memid, &method.help);
        EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
        for (SHORT i = 0; i < function->cParams; ++i) {
            const TYPEDESC& type = function->lprgelemdescParam[i].tdesc;
            method.parameters.push_back(type.vt == VT_PTR ? static_cast<VARTYPE>(VT_PTR | type.lptdesc->vt)
                                                          : type.vt);
            method.parameterFlags.push_back(function->lprgelemdescParam[i].paramdesc.wParamFlags);
        }
        info->ReleaseFuncDesc(function);
        return method;
    }

    CComPtr<ITypeLib> m_typeLibrary;
};

TEST_F(TypeLibrary, NamesTheLibraryAndItsClasses)
{
    CComBSTR name, help;
    ASSERT_EQ(S_OK, m_typeLibrary->GetDocumentation(-1, name.Put(), help.Put(), nullptr, nullptr));
    EXPECT_EQ(L"QuellanLib", name.View());
    EXPECT_EQ(L"Quellan 1.0 Type Library", help.View());
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, m_typeLibrary->GetLibAttr(&attributes));
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    m_typeLibrary->ReleaseTLibAttr(attributes);

    for (const CClassEntries& c : kClasses) {
        CComPtr<ITypeInfo> coclass;
        ASSERT_EQ(S_OK, m_typeLibrary->GetTypeInfoOfGuid(*c.clsid, coclass.Put())) << Narrow(c.name);
        std::wstring description;
        EXPECT_EQ(c.name, Name(coclass, MEMBERID_NIL, &description));
        EXPECT_EQ(c.description, description);
    }
}

TEST_F(TypeLibrary, DescribesAutomationAsDualInterface)
{
    CComPtr<ITypeInfo> automation = Interface(IID_IAutomation);
    std::wstring help;
    EXPECT_EQ(L"IAutomation", Name(automation, MEMBERID_NIL, &help));
    EXPECT_EQ(L"IAutomation Interface", help);
    UINT count = 0;
    WORD flags = Flags(automation, &count);
    EXPECT_TRUE(flags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(flags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_TRUE(flags & TYPEFLAG_FNONEXTENSIBLE);
    ASSERT_EQ(4u, count);

    CMethod settings = Method(automation, 0);
    EXPECT_EQ(L"ShowSettingsDialog", settings.name);
    EXPECT_EQ(L"method ShowSettingsDialog", settings.help);
    EXPECT_EQ(1, settings.id);
    EXPECT_TRUE(settings.parameters.empty());

    CMethod items = Method(automation, 1);
    EXPECT_EQ(L"ShowBlockableItemsDialog", items.name);
    EXPECT_EQ(L"method ShowBlockableItemsDialog", items.help);
    EXPECT_EQ(2, items.id);
    ASSERT_EQ(1u, items.parameters.size());
    EXPECT_EQ(VT_DISPATCH, items.parameters[0]);
    EXPECT_EQ(PARAMFLAG_FIN, items.parameterFlags[0]);

    // Added last: the first two keep their DISPIDs and slots.
    CMethod allow = Method(automation, 2);
    EXPECT_EQ(L"AllowSite", allow.name);
    EXPECT_EQ(3, allow.id);
    ASSERT_EQ(2u, allow.parameters.size());
    EXPECT_EQ(VT_DISPATCH, allow.parameters[0]);
    EXPECT_EQ(VARTYPE(VT_PTR | VT_BOOL), allow.parameters[1]);
    EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, allow.parameterFlags[1]);

    // Its undo comes after it, for the same reason.
    CMethod disallow = Method(automation, 3);
    EXPECT_EQ(L"DisallowSite", disallow.name);
    EXPECT_EQ(4, disallow.id);
    ASSERT_EQ(2u, disallow.parameters.size());
    EXPECT_EQ(VT_DISPATCH, disallow.parameters[0]);
    EXPECT_EQ(VARTYPE(VT_PTR | VT_BOOL), disallow.parameters[1]);
    EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, disallow.parameterFlags[1]);
}

TEST_F(TypeLibrary, DescribesBrokerWithHandlesAsFourByteIntegers)
{
    CComPtr<ITypeInfo> broker = Interface(IID_IBroker);
    std::wstring help;
    EXPECT_EQ(L"IBroker", Name(broker, MEMBERID_NIL, &help));
    EXPECT_EQ(L"IBroker Interface", help);
    UINT count = 0;
    WORD flags = Flags(broker, &count);
    EXPECT_TRUE(flags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_FALSE(flags & TYPEFLAG_FDUAL);
    ASSERT_EQ(3u, count);

    CMethod install = Method(broker, 0);
    EXPECT_EQ(L"InstallMenuExt", install.name);
    EXPECT_EQ(L"method InstallMenuExt", install.help);
    EXPECT_EQ(1, install.id);
    EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, install.parameters);

    const wchar_t* names[] = {L"ShowImportDialog", L"ShowExportDialog"};
    for (UINT i = 1; i <= 2; ++i) {
        CMethod dialog = Method(broker, i);
        EXPECT_EQ(names[i - 1], dialog.name);
        EXPECT_EQ(std::wstring(L"method ") + names[i - 1], dialog.help);
        EXPECT_EQ(static_cast<MEMBERID>(i + 1), dialog.id);
        // INT_PTR travels as a 32-bit long on both architectures.
        EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_PTR | VT_I4}), dialog.parameters);
        EXPECT_EQ((std::vector<USHORT>{PARAMFLAG_FIN, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}), dialog.parameterFlags);
    }
}

}  // namespace
