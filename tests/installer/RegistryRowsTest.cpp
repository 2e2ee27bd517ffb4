// The installer's registry rows: registrar scripts and type libraries turned
// into Registry and RemoveRegistry rows, and what the tables cannot carry
// refused rather than written wrong.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "tests/support/TestEnvironment.h"
#include "tools/installer/RegistryRows.h"

namespace {

const CInstalledFileReferences kFiles{L"[#File]", L"[FOLDER]"};

CComponentRegistryRows RowsOf(std::wstring_view script, const std::wstring& module = kModuleMarker)
{
    CComponentRegistryRows rows;
    AppendScriptRows(ParseRegistrarScript(script, {{L"MODULE", module}}), kFiles, rows);
    return rows;
}

HRESULT RowsError(std::wstring_view script, const std::wstring& module = kModuleMarker)
{
    try {
        RowsOf(script, module);
        return S_OK;
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
}

CMsiRegistryRow Row(MsiRegistryRoot root, std::wstring key, std::optional<std::wstring> name,
                    std::optional<std::wstring> value)
{
    return {root, std::move(key), std::move(name), std::move(value)};
}

constexpr auto HKCR = MsiRegistryRoot::ClassesRoot;
constexpr auto HKLM = MsiRegistryRoot::LocalMachine;

TEST(InstallerRows, MapRemovalFlagsOntoTheTables)
{
    CComponentRegistryRows rows = RowsOf(LR"(
        HKCR
        {
            NoRemove CLSID
            {
                ForceRemove {1} = s 'One Class'
                {
                    InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' }
                    ForceRemove Programmable
                    Plain
                    NoRemove Kept
                }
            }
        }
        HKLM { NoRemove SOFTWARE { NoRemove Behaviors { val ONE = s 'CLSID:1' } } }
    )");
    std::vector<CMsiRegistryRow> expected = {
        // A ForceRemove key goes with its subtree on removal and is cleared
        // before it is written again.
        Row(HKCR, L"CLSID\\{1}", L"*", std::nullopt),
        Row(HKCR, L"CLSID\\{1}", std::nullopt, L"One Class"),
        Row(HKCR, L"CLSID\\{1}\\InprocServer32", std::nullopt, L"[#File]"),
        Row(HKCR, L"CLSID\\{1}\\InprocServer32", L"ThreadingModel", L"Apartment"),
        Row(HKCR, L"CLSID\\{1}\\Programmable", L"*", std::nullopt),
        // Empty keys are created; only the NoRemove one stays on removal.
        Row(HKCR, L"CLSID\\{1}\\Plain", L"*", std::nullopt),
        Row(HKCR, L"CLSID\\{1}\\Kept", L"+", std::nullopt),
        // A NoRemove key that holds a value: the value alone.
        Row(HKLM, L"SOFTWARE\\Behaviors", L"ONE", L"CLSID:1"),
    };
    EXPECT_EQ(expected, rows.registry);
    std::vector<CMsiRegistryRow> removed = {Row(HKCR, L"CLSID\\{1}", L"-", std::nullopt),
                                            Row(HKCR, L"CLSID\\{1}\\Programmable", L"-", std::nullopt)};
    EXPECT_EQ(removed, rows.removeBeforeInstall);
}

TEST(InstallerRows, TextResolvesToItselfAndNumbersStayNumbers)
{
    CComponentRegistryRows rows = RowsOf(LR"(
        HKCR
        {
            'Key [x]' = s '#not a number [PROPERTY]'
            {
                val '[name]' = s '%MODULE% -x'
                val Hash = s 'a#b'
                val Small = d 3
                val Large = d 4294967295
            }
        }
    )",
                                         std::wstring(L"\"") + kModuleMarker + L"\"");
    std::vector<CMsiRegistryRow> expected = {
        Row(HKCR, L"Key [\\[]x[\\]]", std::nullopt, L"##not a number [\\[]PROPERTY[\\]]"),
        Row(HKCR, L"Key [\\[]x[\\]]", L"[\\[]name[\\]]", L"\"[#File]\" -x"),
        Row(HKCR, L"Key [\\[]x[\\]]", L"Hash", L"a#b"),
        Row(HKCR, L"Key [\\[]x[\\]]", L"Small", L"#3"),
        // The installer reads "#" with a signed 32-bit number.
        Row(HKCR, L"Key [\\[]x[\\]]", L"Large", L"#-1"),
    };
    EXPECT_EQ(expected, rows.registry);
}

TEST(InstallerRows, LaterScriptsReplaceEarlierValues)
{
    CComponentRegistryRows rows;
    AppendScriptRows(ParseRegistrarScript(L"HKCR { ForceRemove K = s 'first' { val V = s 'a' } }", {}), kFiles, rows);
    AppendScriptRows(ParseRegistrarScript(L"HKCR { ForceRemove k = s 'second' { val v = s 'b' val * = s 'c' } }", {}),
                     kFiles, rows);
    // A value named "*" is not the key's removal row.
    std::vector<CMsiRegistryRow> expected = {Row(HKCR, L"k", L"*", std::nullopt), Row(HKCR, L"k", std::nullopt, L"second"),
                                             Row(HKCR, L"k", L"v", L"b"), Row(HKCR, L"k", L"*", L"c")};
    EXPECT_EQ(expected, rows.registry);
    // Registry names compare without letter case.
    EXPECT_EQ((std::vector<CMsiRegistryRow>{Row(HKCR, L"K", L"-", std::nullopt)}), rows.removeBeforeInstall);
}

TEST(InstallerRows, RefuseWhatTheTablesCannotCarry)
{
    // An empty Value column means "no value", not an empty string.
    EXPECT_EQ(kRowsNotExpressible, RowsError(L"HKCR { K = s '' }"));
    // A per-machine package would write it for the installing user only.
    EXPECT_EQ(kRowsNotExpressible, RowsError(L"HKCU { K = s 'x' }"));
    // The file's path can be a value, never part of a key or value name.
    EXPECT_EQ(kRowsNotExpressible, RowsError(L"HKCR { '%MODULE%' = s 'x' }"));
    EXPECT_EQ(kRowsNotExpressible, RowsError(L"HKCR { K { val '%MODULE%' = s 'x' } }"));
    // Control characters do not survive a table file.
    EXPECT_EQ(kRowsNotExpressible, RowsError(L"HKCR { K = s 'a\tb' }"));
    EXPECT_EQ(S_OK, RowsError(L"HKCR { K = s 'x' }"));
}

TEST(InstallerRows, TableFilesNameRowsByComponent)
{
    CComponentRows library{L"Library", RowsOf(L"HKCR { ForceRemove K = s '%MODULE%' }")};
    CComponentRows other{L"Other", RowsOf(L"HKLM { N { val V = d 1 } }")};
    EXPECT_EQ("Registry\tRoot\tKey\tName\tValue\tComponent_\r\n"
              "s72\ti2\tl255\tL255\tL0\ts72\r\n"
              "Registry\tRegistry\r\n"
              "Library.1\t0\tK\t*\t\tLibrary\r\n"
              "Library.2\t0\tK\t\t[#File]\tLibrary\r\n"
              "Other.1\t2\tN\tV\t#1\tOther\r\n",
              RegistryTableFile({library, other}));
    EXPECT_EQ("RemoveRegistry\tRoot\tKey\tName\tComponent_\r\n"
              "s72\ti2\tl255\tL255\ts72\r\n"
              "RemoveRegistry\tRemoveRegistry\r\n"
              "Library.remove.1\t0\tK\t-\tLibrary\r\n",
              RemoveRegistryTableFile({library, other}));
    // The tables are written as plain ASCII.
    CComponentRows wide{L"Wide", RowsOf(L"HKCR { K = s '\u00e9' }")};
    EXPECT_THROW(RegistryTableFile({wide}), CHResultException);
}

// The shipped library's type library gives the rows RegisterTypeLib writes
// on Windows.
TEST(InstallerRows, TypeLibraryOfTheShippedLibrary)
{
    CComPtr<ITypeLib> library;
    std::wstring path = ShippedBinaryDir() + L"\\module\\quellan.dll";
    ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()));
    CComponentRegistryRows rows;
    AppendTypeLibraryRows(library.Get(), kFiles, rows);

    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    wchar_t libid[40];
    StringFromGUID2(attributes->guid, libid, 40);
    EXPECT_NE(0, attributes->wLibFlags & LIBFLAG_FHASDISKIMAGE);  // what the loader adds
    library->ReleaseTLibAttr(attributes);
    std::wstring key = std::wstring(L"TypeLib\\") + libid + L"\\1.0";
    std::vector<CMsiRegistryRow> expected = {
        Row(HKCR, key, std::nullopt, L"Quellan 1.0 Type Library"),
        // The syskind of the library built for this architecture.
        Row(HKCR, key + (sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32"), std::nullopt, L"[#File]"),
        Row(HKCR, key + L"\\FLAGS", std::nullopt, L"0"),
        Row(HKCR, key + L"\\HELPDIR", std::nullopt, L"[FOLDER]"),
    };
    ASSERT_LE(expected.size(), rows.registry.size());
    EXPECT_EQ(expected, std::vector<CMsiRegistryRow>(rows.registry.begin(), rows.registry.begin() + 4));

    // Both OLE Automation interfaces, marshalled by the universal marshaller.
    std::vector<std::wstring> interfaces;
    for (const CMsiRegistryRow& row : rows.registry) {
        if (row.key.rfind(L"Interface\\", 0) == 0 && row.key.find(L'\\', 10) == std::wstring::npos)
            interfaces.push_back(*row.value);
        if (row.key.size() > 15 && row.key.compare(row.key.size() - 15, 15, L"\\ProxyStubClsid") == 0) {
            EXPECT_EQ(L"{00020424-0000-0000-C000-000000000046}", *row.value);
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"IAutomation", L"IBroker"}), interfaces);
    EXPECT_TRUE(rows.removeBeforeInstall.empty());
}

// A type library built in memory with one interface of each kind.
CComPtr<ITypeLib> MakeTypeLibrary(bool withDispinterface)
{
    CComPtr<ICreateTypeLib2> creator;
    ThrowIfFailed(CreateTypeLib2(SYS_WIN32, L"scratch.tlb", creator.Put()));
    ThrowIfFailed(creator->SetGuid({0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}}));
    ThrowIfFailed(creator->SetVersion(2, 10));
    struct CDeclaration
    {
        const wchar_t* name;
        TYPEKIND kind;
        WORD flags;
        GUID guid;
    };
    std::vector<CDeclaration> declarations = {
        {L"IPlain", TKIND_INTERFACE, 0, {0xA1, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}}},
        {L"IAuto", TKIND_INTERFACE, TYPEFLAG_FOLEAUTOMATION, {0xA2, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}}},
    };
    if (withDispinterface)
        declarations.push_back({L"DPure", TKIND_DISPATCH, 0, {0xA3, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}}});
    for (const CDeclaration& declaration : declarations) {
        CComPtr<ICreateTypeInfo> info;
        ThrowIfFailed(creator->CreateTypeInfo(const_cast<wchar_t*>(declaration.name), declaration.kind, info.Put()));
        ThrowIfFailed(info->SetGuid(declaration.guid));
        ThrowIfFailed(info->SetTypeFlags(declaration.flags));
        ThrowIfFailed(info->LayOut());
    }
    CComPtr<ITypeLib> library;
    ThrowIfFailed(creator->QueryInterface(IID_ITypeLib, library.PutVoid()));
    return library;
}

TEST(InstallerRows, TypeLibraryInterfacesByKind)
{
    CComponentRegistryRows rows;
    AppendTypeLibraryRows(MakeTypeLibrary(false).Get(), kFiles, rows);
    std::vector<std::wstring> keys;
    for (const CMsiRegistryRow& row : rows.registry)
        keys.push_back(row.key + L"|" + row.name.value_or(L""));
    const std::wstring typelib = L"TypeLib\\{11111111-2222-3333-0404-050505050505}\\2.a";
    const std::wstring automation = L"Interface\\{000000A2-0000-0000-0000-000000000002}";
    // No help string: no default value. Only the OLE Automation interface.
    EXPECT_EQ((std::vector<std::wstring>{typelib + L"\\0\\win32|", typelib + L"\\FLAGS|", typelib + L"\\HELPDIR|",
                                         automation + L"|", automation + L"\\ProxyStubClsid|",
                                         automation + L"\\ProxyStubClsid32|", automation + L"\\TypeLib|",
                                         automation + L"\\TypeLib|Version"}),
              keys);
    EXPECT_EQ(L"2.a", *rows.registry.back().value);

    // A pure dispinterface takes another marshaller than these rows name.
    CComponentRegistryRows refused;
    try {
        AppendTypeLibraryRows(MakeTypeLibrary(true).Get(), kFiles, refused);
        ADD_FAILURE() << "a dispinterface was accepted";
    } catch (const CHResultException& e) {
        EXPECT_EQ(kRowsNotExpressible, e.GetHResult());
    }
}

}  // namespace
