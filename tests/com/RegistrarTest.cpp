// The registrar: script parsing without the registry, and applying scripts
// to scratch keys that stand in for HKCR, HKCU and HKLM.

#include <gtest/gtest.h>

#include <string>

#include "com/Error.h"
#include "com/Handle.h"
#include "com/Registrar.h"

namespace {

HRESULT ParseError(std::wstring_view text, const CRegistrarReplacements& replacements = {})
{
    try {
        ParseRegistrarScript(text, replacements);
        return S_OK;
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
}

TEST(RegistrarParse, BuildsTheTreeOfKeysAndValues)
{
    CRegistrarScript script = ParseRegistrarScript(LR"(
        HKCR
        {
            NoRemove CLSID
            {
                ForceRemove {1234} = s 'Example Class'
                {
                    InprocServer32 = s '%MODULE%'
                    {
                        val ThreadingModel = s 'Apartment'
                    }
                    'Program''s key' = s ''
                    Programmable
                }
            }
        }
        hklm { 'Two Words' { val Flag = d '0x10' val Count = d 42 } }
    )",
                                                   {{L"MODULE", L"C:\\dir\\x.dll"}});
    ASSERT_EQ(2u, script.size());
    EXPECT_EQ(RegistrarRoot::ClassesRoot, script[0].root);
    EXPECT_EQ(RegistrarRoot::LocalMachine, script[1].root);

    ASSERT_EQ(1u, script[0].keys.size());
    const CRegistrarKey& clsid = script[0].keys[0];
    EXPECT_EQ(RegistrarKeyFlag::NoRemove, clsid.flag);
    EXPECT_EQ(L"CLSID", clsid.name);
    EXPECT_TRUE(clsid.values.empty());
    ASSERT_EQ(1u, clsid.subkeys.size());

    const CRegistrarKey& object = clsid.subkeys[0];
    EXPECT_EQ(RegistrarKeyFlag::ForceRemove, object.flag);
    EXPECT_EQ(L"{1234}", object.name);
    ASSERT_EQ(1u, object.values.size());
    EXPECT_EQ(L"", object.values[0].name);
    EXPECT_EQ(L"Example Class", object.values[0].text);
    ASSERT_EQ(3u, object.subkeys.size());

    const CRegistrarKey& server = object.subkeys[0];
    EXPECT_EQ(RegistrarKeyFlag::None, server.flag);
    ASSERT_EQ(2u, server.values.size());
    EXPECT_EQ(L"C:\\dir\\x.dll", server.values[0].text);
    EXPECT_EQ(L"ThreadingModel", server.values[1].name);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), server.values[1].type);
    EXPECT_EQ(L"Apartment", server.values[1].text);

    EXPECT_EQ(L"Program's key", object.subkeys[1].name);
    ASSERT_EQ(1u, object.subkeys[1].values.size());
    EXPECT_EQ(L"", object.subkeys[1].values[0].text);
    EXPECT_EQ(L"Programmable", object.subkeys[2].name);
    EXPECT_TRUE(object.subkeys[2].values.empty());

    const CRegistrarKey& flags = script[1].keys[0];
    EXPECT_EQ(L"Two Words", flags.name);
    ASSERT_EQ(2u, flags.values.size());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), flags.values[0].type);
    EXPECT_EQ(16u, flags.values[0].number);
    EXPECT_EQ(42u, flags.values[1].number);
}

TEST(RegistrarParse, ReplacesNamesEverywhere)
{
    CRegistrarScript script =
        ParseRegistrarScript(L"HKCU { '%APPID%' = s '100%% %APPID%' }", {{L"APPID", L"{AB CD}"}});
    const CRegistrarKey& key = script.at(0).keys.at(0);
    EXPECT_EQ(L"{AB CD}", key.name);
    EXPECT_EQ(L"100% {AB CD}", key.values.at(0).text);
    EXPECT_EQ(kRegistrarScriptError, ParseError(L"HKCU { '%UNKNOWN%' }"));

    // A quote in a value stays inside its token.
    script = ParseRegistrarScript(L"HKCR { Key = s '%MODULE%' { val V = s 'x' } }",
                                  {{L"MODULE", L"C:\\Users\\O'Brien\\it''s\\quellan.dll'"}});
    ASSERT_EQ(1u, script.at(0).keys.size());
    const CRegistrarKey& module = script.at(0).keys.at(0);
    ASSERT_EQ(2u, module.values.size());
    EXPECT_EQ(L"C:\\Users\\O'Brien\\it''s\\quellan.dll'", module.values.at(0).text);
    EXPECT_EQ(L"V", module.values.at(1).name);
    EXPECT_TRUE(module.subkeys.empty());
    EXPECT_EQ(kRegistrarScriptError, ParseError(L"HKCU { 'x = s '%MODULE' }", {{L"MODULE", L"m"}}));
}

TEST(RegistrarParse, RejectsMalformedScripts)
{
    const wchar_t* scripts[] = {
        L"HKCR { Key",                      // unclosed key list
        L"HKCR { Key { }",                  // unclosed subkey
        L"HKEY_USERS { Key }",              // root we do not write
        L"Key { }",                         // no root
        L"HKCR Key",                        // no brace after the root
        L"HKCR { Key = x 'v' }",            // unknown value type
        L"HKCR { Key = s }",                // value missing
        L"HKCR { Key = d 'ten' }",          // DWORD not a number
        L"HKCR { Key = d '0x100000000' }",  // DWORD too large
        L"HKCR { Key = d '-1' }",           // DWORD negative
        L"HKCR { val Name = s 'v' }",       // value outside a key
        L"HKCR { Key { val Name s 'v' } }", // missing '='
        L"HKCR { 'unterminated }",          // open quote
        L"HKCR { = s 'v' }",                // no key name
        L"HKCR { Key } }",                  // stray brace
    };
    for (const wchar_t* script : scripts)
        EXPECT_EQ(kRegistrarScriptError, ParseError(script)) << testing::PrintToString(std::wstring(script));
}

// Three scratch keys under HKCU that stand in for the script roots.
class RegistrarApply : public testing::Test
{
protected:
    void SetUp() override
    {
        static int counter;
        m_path = L"Software\\QuellanTests\\Registrar-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        m_classes = Create(m_path + L"\\HKCR");
        m_user = Create(m_path + L"\\HKCU");
        m_machine = Create(m_path + L"\\HKLM");
        m_roots = {m_classes.Get(), m_user.Get(), m_machine.Get()};
    }
    void TearDown() override
    {
        m_classes.Reset();
        m_user.Reset();
        m_machine.Reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }

    static CRegKey Create(const std::wstring& path, DWORD options = REG_OPTION_NON_VOLATILE)
    {
        CRegKey key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, options,
                                                 KEY_ALL_ACCESS, nullptr, key.Put(), nullptr));
        return key;
    }

    static bool Exists(HKEY root, const std::wstring& path)
    {
        CRegKey key;
        return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
    }

    static std::wstring String(HKEY root, const std::wstring& path, const wchar_t* name)
    {
        wchar_t buffer[512];
        DWORD bytes = sizeof buffer;
        DWORD type = 0;
        if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, buffer, &bytes) != ERROR_SUCCESS)
            return L"<missing>";
        return type == REG_SZ ? std::wstring(buffer) : L"<not a string>";
    }

    static bool HasValue(HKEY root, const std::wstring& path, const wchar_t* name)
    {
        return RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    void Apply(std::wstring_view text, RegistrarMode mode)
    {
        ApplyRegistrarScript(ParseRegistrarScript(text, {}), m_roots, mode);
    }

    std::wstring m_path;
    CRegKey m_classes, m_user, m_machine;
    CRegistryRoots m_roots;
};

const wchar_t kScript[] = LR"(
    HKCR
    {
        Example.Class = s 'Example'
        {
            CurVer = s 'Example.Class.1'
        }
        NoRemove CLSID
        {
            ForceRemove {42} = s 'Example'
            {
                InprocServer32 = s 'x.dll'
                {
                    val ThreadingModel = s 'Apartment'
                }
                ForceRemove Programmable
            }
        }
    }
    HKLM
    {
        NoRemove Shared
        {
            val Ours = s 'CLSID:42'
            ForceRemove {42}
            {
                val NoExplorer = d '1'
            }
        }
    }
)";

TEST_F(RegistrarApply, RegisterWritesEveryKeyAndValueToItsRoot)
{
    Create(m_path + L"\\HKCR\\CLSID\\{42}\\Stale");
    Create(m_path + L"\\HKCR\\Example.Class\\Foreign");
    Apply(kScript, RegistrarMode::Register);
    // ForceRemove re-creates the key as written; plain keys are only added to.
    EXPECT_FALSE(Exists(m_classes.Get(), L"CLSID\\{42}\\Stale"));
    EXPECT_TRUE(Exists(m_classes.Get(), L"Example.Class\\Foreign"));
    EXPECT_EQ(L"Example", String(m_classes.Get(), L"Example.Class", nullptr));
    EXPECT_EQ(L"Example.Class.1", String(m_classes.Get(), L"Example.Class\\CurVer", nullptr));
    EXPECT_EQ(L"x.dll", String(m_classes.Get(), L"CLSID\\{42}\\InprocServer32", nullptr));
    EXPECT_EQ(L"Apartment", String(m_classes.Get(), L"CLSID\\{42}\\InprocServer32", L"ThreadingModel"));
    EXPECT_TRUE(Exists(m_classes.Get(), L"CLSID\\{42}\\Programmable"));
    EXPECT_FALSE(HasValue(m_classes.Get(), L"CLSID\\{42}\\Programmable", nullptr));
    EXPECT_EQ(L"CLSID:42", String(m_machine.Get(), L"Shared", L"Ours"));
    DWORD flag = 0, bytes = sizeof flag, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(m_machine.Get(), L"Shared\\{42}", L"NoExplorer", RRF_RT_ANY, &type,
                                          &flag, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(1u, flag);
    EXPECT_FALSE(Exists(m_user.Get(), L"Shared"));
}

TEST_F(RegistrarApply, UnregisterRemovesOursAndKeepsWhatIsShared)
{
    Create(m_path + L"\\HKCR\\CLSID\\{other}");
    Create(m_path + L"\\HKLM\\Shared\\Other");
    Apply(kScript, RegistrarMode::Register);
    Create(m_path + L"\\HKCR\\CLSID\\{42}\\AddedLater");
    Apply(kScript, RegistrarMode::Unregister);

    EXPECT_FALSE(Exists(m_classes.Get(), L"Example.Class"));
    EXPECT_FALSE(Exists(m_classes.Get(), L"CLSID\\{42}")) << "ForceRemove takes the whole subtree";
    EXPECT_TRUE(Exists(m_classes.Get(), L"CLSID\\{other}"));
    EXPECT_TRUE(Exists(m_machine.Get(), L"Shared\\Other"));
    EXPECT_FALSE(Exists(m_machine.Get(), L"Shared\\{42}"));
    EXPECT_FALSE(HasValue(m_machine.Get(), L"Shared", L"Ours"));

    // NoRemove keys stay even when they are empty; nothing left is no error.
    Apply(kScript, RegistrarMode::Unregister);
    EXPECT_TRUE(Exists(m_classes.Get(), L"CLSID"));

    // A plain key that holds something not ours stays, without our parts.
    Apply(kScript, RegistrarMode::Register);
    Create(m_path + L"\\HKCR\\Example.Class\\Foreign");
    Apply(kScript, RegistrarMode::Unregister);
    EXPECT_TRUE(Exists(m_classes.Get(), L"Example.Class\\Foreign"));
    EXPECT_FALSE(Exists(m_classes.Get(), L"Example.Class\\CurVer"));
}

TEST_F(RegistrarApply, FailingKeyStopsTheScriptWithItsError)
{
    // A non-volatile key cannot be created under a volatile one: an honest
    // registry failure in the middle of a script.
    CRegKey blocked = Create(m_path + L"\\HKLM\\Shared", REG_OPTION_VOLATILE);
    try {
        Apply(kScript, RegistrarMode::Register);
        ADD_FAILURE() << "the script applied under a volatile key";
    } catch (const CHResultException& e) {
        EXPECT_EQ(HResultFromWin32(ERROR_CHILD_MUST_BE_VOLATILE), e.GetHResult());
    }
    // What came before the failing key stays, for the caller to roll back.
    EXPECT_TRUE(Exists(m_classes.Get(), L"CLSID\\{42}"));
    Apply(kScript, RegistrarMode::Unregister);
    EXPECT_FALSE(Exists(m_classes.Get(), L"CLSID\\{42}"));
    EXPECT_FALSE(Exists(m_classes.Get(), L"Example.Class"));
}

}  // namespace
