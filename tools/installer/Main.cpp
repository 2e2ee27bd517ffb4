// QuellanRegistryRows: writes the Registry and RemoveRegistry tables of an
// installer package from the binaries it ships, so that the package
// registers exactly what their self-registration would.
//
//   QuellanRegistryRows OUTDIR KIND:COMPONENT:FILEKEY:FOLDERPROPERTY:PATH...
//
// KIND is "library" (quellan.dll) or "host" (QuellanHost.exe); COMPONENT is
// the package component that carries the file whose File table key is
// FILEKEY, installed into the folder FOLDERPROPERTY; PATH is the built
// binary, read as data (any architecture). Writes OUTDIR\Registry.idt and
// OUTDIR\RemoveRegistry.idt (tools/package.sh imports them with msibuild).

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "com/Registrar.h"
#include "resources/QuellanIds.h"
#include "resources/ResourceIds.h"
#include "tools/installer/RegistryRows.h"

namespace {

struct CScriptResource
{
    UINT id;
    const wchar_t* appId;  // the %APPID% replacement, or null
};

struct CBinaryKind
{
    const wchar_t* name;
    std::vector<CScriptResource> scripts;  // empty: every script of the binary
    const wchar_t* appId;                  // for every script of the binary
    bool quotedModule;                     // %MODULE% is the path in double quotes
    bool typeLibrary;
};

// What each binary's self-registration applies machine-wide, in its order:
//  - quellan.dll's DllRegisterServer (module/Module.cpp): the AppID script,
//    the class table's scripts, the type library. The menu script is per
//    user and written by the broker at run time, never by an installer.
//  - "QuellanHost /RegServer" (host/HostModule.cpp): the scripts it carries
//    (one), with its own AppID and the quoted path that a local server's
//    command line needs.
const CBinaryKind kKinds[] = {
    {L"library",
     {{IDR_APPID, kQuellanAppId}, {IDR_AUTOMATION, nullptr}, {IDR_BEHAVIOR, nullptr}, {IDR_BHO, nullptr},
      {IDR_BROKER, nullptr}},
     nullptr,
     false,
     true},
    {L"host", {}, kQuellanHostAppId, true, false},
};

// Every REGISTRY resource of a binary, in resource order.
std::vector<CScriptResource> AllScripts(HMODULE binary, const wchar_t* appId)
{
    std::vector<CScriptResource> scripts;
    auto collect = [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR context) -> BOOL {
        if (IS_INTRESOURCE(name))
            reinterpret_cast<std::vector<UINT>*>(context)->push_back(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)));
        return TRUE;
    };
    std::vector<UINT> ids;
    ThrowLastErrorIf(!EnumResourceNamesW(binary, L"REGISTRY", collect, reinterpret_cast<LONG_PTR>(&ids)));
    for (UINT id : ids)
        scripts.push_back({id, appId});
    return scripts;
}

struct CBinaryEntry
{
    const CBinaryKind* kind = nullptr;
    std::wstring component;
    CInstalledFileReferences references;
    std::wstring path;
};

CBinaryEntry ParseEntry(const std::wstring& text)
{
    std::vector<std::wstring> parts;
    size_t position = 0;
    for (int field = 0; field < 4; ++field) {
        size_t colon = text.find(L':', position);
        if (colon == std::wstring::npos)
            ThrowHResult(E_INVALIDARG);
        parts.push_back(text.substr(position, colon - position));
        position = colon + 1;
    }
    parts.push_back(text.substr(position));
    CBinaryEntry entry;
    for (const CBinaryKind& kind : kKinds) {
        if (parts[0] == kind.name)
            entry.kind = &kind;
    }
    if (!entry.kind || parts[1].empty() || parts[2].empty() || parts[3].empty() || parts[4].empty())
        ThrowHResult(E_INVALIDARG);
    entry.component = parts[1];
    entry.references.file = L"[#" + parts[2] + L"]";
    entry.references.folder = L"[" + parts[3] + L"]";
    entry.path = parts[4];
    return entry;
}

CComponentRows RowsOf(const CBinaryEntry& entry)
{
    CLibrary binary(LoadLibraryExW(entry.path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ThrowLastErrorIf(!binary);
    CComponentRows component{entry.component, {}};
    std::vector<CScriptResource> scripts = entry.kind->scripts;
    if (scripts.empty())
        scripts = AllScripts(binary.Get(), entry.kind->appId);
    for (const CScriptResource& script : scripts) {
        std::wstring module = kModuleMarker;
        if (entry.kind->quotedModule)
            module = L"\"" + module + L"\"";
        CRegistrarReplacements replacements{{L"MODULE", module}};
        if (script.appId)
            replacements[L"APPID"] = script.appId;
        std::wstring text = LoadRegistrarScript(binary.Get(), script.id);
        AppendScriptRows(ParseRegistrarScript(text, replacements), entry.references, component.rows);
    }
    if (entry.kind->typeLibrary) {
        CComPtr<ITypeLib> library;
        ThrowIfFailed(LoadTypeLibEx(entry.path.c_str(), REGKIND_NONE, library.Put()));
        AppendTypeLibraryRows(library.Get(), entry.references, component.rows);
    }
    return component;
}

void WriteTextFile(const std::wstring& path, const std::string& text)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ThrowLastErrorIf(!file);
    DWORD written = 0;
    ThrowLastErrorIf(!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
                     written != text.size());
}

int Run(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: QuellanRegistryRows OUTDIR KIND:COMPONENT:FILEKEY:FOLDERPROPERTY:PATH...\n");
        return 2;
    }
    std::vector<CComponentRows> components;
    for (int i = 2; i < argc; ++i) {
        CBinaryEntry entry;
        if (FAILED(CallAtBoundary([&] { entry = ParseEntry(argv[i]); }))) {
            fwprintf(stderr, L"QuellanRegistryRows: not KIND:COMPONENT:FILEKEY:FOLDERPROPERTY:PATH: %ls\n", argv[i]);
            return 2;
        }
        HRESULT hr = CallAtBoundary([&] { components.push_back(RowsOf(entry)); });
        if (FAILED(hr)) {
            fwprintf(stderr, L"QuellanRegistryRows: %ls: %ls (0x%08lx)\n", entry.path.c_str(),
                     hr == kRowsNotExpressible ? L"its registration holds what installer tables cannot express"
                                               : L"cannot read its registry scripts or type library",
                     static_cast<unsigned long>(hr));
            return 1;
        }
    }
    std::wstring folder = argv[1];
    WriteTextFile(folder + L"\\Registry.idt", RegistryTableFile(components));
    WriteTextFile(folder + L"\\RemoveRegistry.idt", RemoveRegistryTableFile(components));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int code = 1;
    HRESULT hr = CallAtBoundary([&] { code = Run(argc, argv); });
    if (FAILED(hr)) {
        fwprintf(stderr, L"QuellanRegistryRows: error 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    return code;
}
