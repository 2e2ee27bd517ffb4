#pragma once
// The registrar: applies a registry script in the ATL registrar syntax.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {...} = s 'Example Class'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Tokens are separated by white space; a token in single quotes may contain
// spaces ('' stands for one quote). Roots: HKCR, HKCU, HKLM (or their long
// names), case-insensitive like the keywords. A key is written as
// [ForceRemove|NoRemove] name [= type value] [{ ... }], a named value as
// val name = type value inside a key. Types: s (string), d (DWORD, decimal
// or 0x hexadecimal). %NAME% is replaced from the replacement map before
// parsing, %% gives one %. A replacement is written for a quoted token: each
// quote in its value is doubled, so '%MODULE%' stays one token whatever the
// path holds.
//
// Register mode creates every key and sets every value; a ForceRemove key is
// deleted with its subtree first, so it is re-created exactly as written.
// Unregister mode deletes a ForceRemove key with its subtree, deletes the
// named values, and deletes any other key that has no subkeys left, except
// NoRemove keys, which stay. Keys and values that are already gone are not
// an error.

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Error for a script that cannot be parsed, or names an unknown replacement.
constexpr HRESULT kRegistrarScriptError = static_cast<HRESULT>(0x8007000DL);  // ERROR_INVALID_DATA

enum class RegistrarMode
{
    Register,
    Unregister,
};

struct CRegistrarValue
{
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_SZ;  // REG_SZ or REG_DWORD
    std::wstring text;  // REG_SZ
    DWORD number = 0;  // REG_DWORD
};

enum class RegistrarKeyFlag
{
    None,
    NoRemove,
    ForceRemove,
};

struct CRegistrarKey
{
    RegistrarKeyFlag flag = RegistrarKeyFlag::None;
    std::wstring name;
    std::vector<CRegistrarValue> values;  // the default value, if any, first
    std::vector<CRegistrarKey> subkeys;
};

enum class RegistrarRoot
{
    ClassesRoot,
    CurrentUser,
    LocalMachine,
};

struct CRegistrarRootKeys
{
    RegistrarRoot root = RegistrarRoot::ClassesRoot;
    std::vector<CRegistrarKey> keys;
};

using CRegistrarScript = std::vector<CRegistrarRootKeys>;
using CRegistrarReplacements = std::map<std::wstring, std::wstring>;

// Parses a script after replacement. Throws CHResultException with
// kRegistrarScriptError on any syntax error or unknown replacement.
CRegistrarScript ParseRegistrarScript(std::wstring_view text, const CRegistrarReplacements& replacements);

// The keys that stand for the script's roots. Borrowed: the caller keeps
// them open while a script is applied.
struct CRegistryRoots
{
    HKEY classesRoot = HKEY_CLASSES_ROOT;
    HKEY currentUser = HKEY_CURRENT_USER;
    HKEY localMachine = HKEY_LOCAL_MACHINE;
};

// Applies a parsed script, root by root, in script order. Stops at the first
// registry call that fails and throws its error; what was applied before
// stays (the caller rolls back by applying the script in unregister mode).
void ApplyRegistrarScript(const CRegistrarScript& script, const CRegistryRoots& roots, RegistrarMode mode);

// The text of REGISTRY resource `id` of a module (UTF-8, optionally with a
// byte-order mark). Throws the system error when it is missing.
std::wstring LoadRegistrarScript(HINSTANCE module, UINT id);

// Loads, parses and applies REGISTRY resource `id` of the module this code
// is linked into. `replacements` should hold MODULE (GetModulePath()).
void UpdateRegistryFromResource(UINT id, RegistrarMode mode, const CRegistrarReplacements& replacements,
                                const CRegistryRoots& roots = CRegistryRoots());
