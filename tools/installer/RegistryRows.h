#pragma once
// Windows Installer registry rows from the registrar scripts and the type
// library that self-registration applies, so that an installed package
// writes, key by key, what regsvr32 and "QuellanHost /RegServer" write.
//
// Mapping of the registrar's semantics onto the Registry and RemoveRegistry
// tables:
//  - every value becomes one Registry row; the key's default value has a
//    null name;
//  - a ForceRemove key is deleted with its subtree before the values are
//    written (RemoveRegistry "-"), and created and deleted with its subtree
//    on removal (Registry "*");
//  - a key with neither values nor subkeys is created: "+" when it is
//    NoRemove (it stays), "*" otherwise (it goes on removal);
//  - keys that only lead to others get no row of their own: the installer
//    creates them on the way and removes those it leaves empty.
// Text is written as a formatted string that resolves to itself, and the
// module path as a reference to the installed file, so a user may choose
// another folder.

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "com/Registrar.h"

// Error for a script or type library that the tables cannot express (an
// empty string value, the module path inside a key name, a per-user root,
// a character an installer table cannot carry, ...).
constexpr HRESULT kRowsNotExpressible = static_cast<HRESULT>(0x80070032L);  // ERROR_NOT_SUPPORTED

// Replacement for %MODULE% while parsing a script for the package: the rows
// turn it into a reference to the installed file.
inline constexpr wchar_t kModuleMarker[] = L"\xE000";

// Registry table roots.
enum class MsiRegistryRoot
{
    ClassesRoot = 0,
    LocalMachine = 2,
};

struct CMsiRegistryRow
{
    MsiRegistryRoot root = MsiRegistryRoot::ClassesRoot;
    std::wstring key;
    std::optional<std::wstring> name;  // null: the default value, or "+", "-", "*" key rows
    std::optional<std::wstring> value;  // null only for key rows
    bool operator==(const CMsiRegistryRow& other) const
    {
        return root == other.root && key == other.key && name == other.name && value == other.value;
    }
};

// The rows of one component: its Registry rows and the keys it deletes
// before writing (RemoveRegistry rows, name "-").
struct CComponentRegistryRows
{
    std::vector<CMsiRegistryRow> registry;
    std::vector<CMsiRegistryRow> removeBeforeInstall;
};

// The references the rows use: the installed file ("[#FileKey]") and its
// folder ("[FOLDERPROPERTY]").
struct CInstalledFileReferences
{
    std::wstring file;
    std::wstring folder;
};

// Text as a Windows Installer formatted string that resolves to exactly the
// text: brackets escaped, a leading "#" doubled. Throws kRowsNotExpressible
// for characters a table cannot carry (control characters) or the marker.
std::wstring MsiLiteral(std::wstring_view text);

// Appends the rows that applying `script` in register mode writes; the
// script must have been parsed with MODULE replaced by kModuleMarker.
// Throws kRowsNotExpressible for what the tables cannot express.
void AppendScriptRows(const CRegistrarScript& script, const CInstalledFileReferences& files,
                      CComponentRegistryRows& rows);

// Appends the rows that RegisterTypeLib writes for `library` loaded from the
// installed file: the TypeLib key (version, help string, path for its
// locale and platform, FLAGS without the loader's disk-image bit, HELPDIR)
// and the Interface keys of its OLE Automation interfaces (universal
// marshaller). Throws kRowsNotExpressible for a pure dispinterface, whose
// marshaller is not the universal one.
void AppendTypeLibraryRows(ITypeLib* library, const CInstalledFileReferences& files, CComponentRegistryRows& rows);

// The two tables as installer table files (.idt, ASCII), rows named
// "<component>.<n>". `component` must be a valid identifier.
struct CComponentRows
{
    std::wstring component;
    CComponentRegistryRows rows;
};
std::string RegistryTableFile(const std::vector<CComponentRows>& components);
std::string RemoveRegistryTableFile(const std::vector<CComponentRows>& components);
