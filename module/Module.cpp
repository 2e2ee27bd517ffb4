#include "module/Module.h"

#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "broker/Broker.h"
#include "browser/BHO.h"
#include "browser/Behavior.h"
#include "com/Bstr.h"
#include "com/ClassFactory.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Export.h"
#include "com/Module.h"
#include "com/Registrar.h"
#include "resources/QuellanIds.h"
#include "resources/QuellanLib.h"
#include "resources/ResourceIds.h"
#include "ui/Automation.h"

namespace {

struct CClassEntry
{
    const CLSID* clsid;
    UINT registryScript;
    CCreateInstanceFunction createInstance;
};

const CClassEntry kClasses[] = {
    {&CLSID_Automation, IDR_AUTOMATION, &CAutomation::CreateObject},
    {&CLSID_Behavior, IDR_BEHAVIOR, &CBehavior::CreateObject},
    {&CLSID_BHO, IDR_BHO, &CBHO::CreateObject},
    {&CLSID_Broker, IDR_BROKER, &CBroker::CreateObject},
};

// Not declared by mingw-w64, and missing before Windows Vista SP1: looked
// up at run time in the OLEAUT32 that the library already imports.
using RegisterTypeLibForUserFunction = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnRegisterTypeLibForUserFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <class Function>
Function FindOleAutomationFunction(const char* name)
{
    return GetExport<Function>(GetModuleHandleW(L"oleaut32.dll"), name);
}

// Registration writes the same whatever the calling thread's locale is.
class CThreadLocaleScope
{
public:
    explicit CThreadLocaleScope(LCID locale) noexcept : m_previous(GetThreadLocale()) { SetThreadLocale(locale); }
    ~CThreadLocaleScope() { SetThreadLocale(m_previous); }
    CThreadLocaleScope(const CThreadLocaleScope&) = delete;
    CThreadLocaleScope& operator=(const CThreadLocaleScope&) = delete;

private:
    LCID m_previous;
};

// The registry roots of one registration: per user, HKCR stands for the
// current user's classes.
class CRegistrationTarget
{
public:
    explicit CRegistrationTarget(bool perUser)
    {
        if (!perUser)
            return;
        LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, m_userClasses.Put(), nullptr);
        if (error != ERROR_SUCCESS)
            ThrowHResult(HResultFromWin32(error));
        m_roots.classesRoot = m_userClasses.Get();
    }

    const CRegistryRoots& Roots() const noexcept { return m_roots; }

private:
    CRegKey m_userClasses;
    CRegistryRoots m_roots;
};

CComPtr<ITypeLib> LoadOwnTypeLibrary(const std::wstring& path)
{
    CComPtr<ITypeLib> library;
    ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()));
    return library;
}

// The folder of the library's help file (cut after its last backslash,
// slash or colon); empty when it declares none.
std::wstring HelpFolder(ITypeLib* library)
{
    CComBSTR helpFile;
    if (FAILED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.Put())) || helpFile.Length() == 0)
        return std::wstring();
    std::wstring path(helpFile.View());
    size_t cut = path.find_last_of(L"\\/:");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

void RegisterTypeLibrary(const std::wstring& path, bool perUser)
{
    CComPtr<ITypeLib> library = LoadOwnTypeLibrary(path);
    std::wstring helpFolder = HelpFolder(library);
    std::wstring fullPath = path;
    OLECHAR* help = helpFolder.empty() ? nullptr : &helpFolder[0];
    auto registerForUser =
        perUser ? FindOleAutomationFunction<RegisterTypeLibForUserFunction>("RegisterTypeLibForUser") : nullptr;
    if (registerForUser)
        ThrowIfFailed(registerForUser(library, &fullPath[0], help));
    else
        ThrowIfFailed(RegisterTypeLib(library, &fullPath[0], help));
}

// Whether a machine-wide registration of the library (this copy or
// another) is there: the helper object's class under the machine's classes.
bool IsRegisteredMachineWide()
{
    wchar_t clsid[40];
    StringFromGUID2(CLSID_BHO, clsid, 40);
    std::wstring key = std::wstring(L"Software\\Classes\\CLSID\\") + clsid + L"\\InprocServer32";
    CRegKey opened;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
}

// Unregisters a script; with classesOnly, only its HKCR part.
void UnregisterScript(UINT id, const CRegistrarReplacements& replacements, const CRegistryRoots& roots,
                      bool classesOnly)
{
    if (!classesOnly) {
        UpdateRegistryFromResource(id, RegistrarMode::Unregister, replacements, roots);
        return;
    }
    CRegistrarScript script = ParseRegistrarScript(LoadRegistrarScript(GetModuleInstance(), id), replacements);
    script.erase(std::remove_if(script.begin(), script.end(),
                                [](const CRegistrarRootKeys& root) { return root.root != RegistrarRoot::ClassesRoot; }),
                 script.end());
    ApplyRegistrarScript(script, roots, RegistrarMode::Unregister);
}

// Whether the type library is registered under `classes` (a classes root).
bool IsTypeLibraryRegistered(HKEY classes, const TLIBATTR& attributes)
{
    wchar_t libid[40];
    StringFromGUID2(attributes.guid, libid, 40);
    wchar_t version[16];
    swprintf(version, 16, L"%x.%x", attributes.wMajorVerNum, attributes.wMinorVerNum);
    std::wstring key = std::wstring(L"TypeLib\\") + libid + L"\\" + version;
    CRegKey opened;
    LONG error = RegOpenKeyExW(classes, key.c_str(), 0, KEY_READ, opened.Put());
    if (error == ERROR_FILE_NOT_FOUND)
        return false;
    if (error != ERROR_SUCCESS)
        ThrowHResult(HResultFromWin32(error));
    return true;
}

// Per user, `classes` is the user's own classes key: with a machine-wide
// registration beside, only a registration found there is undone.
void UnregisterTypeLibrary(const std::wstring& path, bool perUser, HKEY classes)
{
    CComPtr<ITypeLib> library = LoadOwnTypeLibrary(path);
    TLIBATTR* attributesPointer = nullptr;
    ThrowIfFailed(library->GetLibAttr(&attributesPointer));
    TLIBATTR attributes = *attributesPointer;
    library->ReleaseTLibAttr(attributesPointer);
    // Nothing registered is nothing to undo (the system call would fail),
    // so that a rollback or a second unregistration goes on to the AppID.
    if (!IsTypeLibraryRegistered(classes, attributes))
        return;
    auto unregisterForUser =
        perUser ? FindOleAutomationFunction<UnRegisterTypeLibForUserFunction>("UnRegisterTypeLibForUser") : nullptr;
    auto unregister = unregisterForUser ? unregisterForUser : &UnRegisterTypeLib;
    ThrowIfFailed(unregister(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum, attributes.lcid,
                             attributes.syskind));
}

CActivationContext CreateModuleActivationContext(HINSTANCE instance, const std::wstring& path)
{
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(IDR_MANIFEST);
    request.hModule = instance;
    CActivationContext context(CreateActCtxW(&request));
    ThrowLastErrorIf(!context);
    return context;
}

}  // namespace

CQuellanModule::CQuellanModule(HINSTANCE instance)
    : m_instance(instance),
      m_path(GetModulePath()),
      m_activationContext(CreateModuleActivationContext(instance, m_path))
{
    SetModuleActivationContext(m_activationContext.Get());
}

CQuellanModule::~CQuellanModule()
{
    SetModuleActivationContext(nullptr);
}

HRESULT CQuellanModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (const CClassEntry& entry : kClasses) {
        if (InlineIsEqualGUID(clsid, *entry.clsid))
            return CallAtBoundary([&] { return CComClassFactory::Create(entry.createInstance)->QueryInterface(riid, ppv); });
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CQuellanModule::CanUnloadNow() const noexcept
{
    return GetModuleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT CQuellanModule::RegisterServer(bool perUser) const noexcept
{
    CThreadLocaleScope locale(LOCALE_SYSTEM_DEFAULT);
    return CallAtBoundary([&] {
        CRegistrationTarget target(perUser);
        UpdateRegistryFromResource(IDR_APPID, RegistrarMode::Register,
                                   {{L"MODULE", m_path}, {L"APPID", kQuellanAppId}}, target.Roots());
        // No class declares component categories.
        for (const CClassEntry& entry : kClasses)
            UpdateRegistryFromResource(entry.registryScript, RegistrarMode::Register, {{L"MODULE", m_path}},
                                       target.Roots());
        RegisterTypeLibrary(m_path, perUser);
    });
}

HRESULT CQuellanModule::UnregisterServer(bool perUser) const noexcept
{
    CThreadLocaleScope locale(LOCALE_SYSTEM_DEFAULT);
    HRESULT first = S_OK;
    auto step = [&first](auto&& action) {
        HRESULT hr = CallAtBoundary(action);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    };
    step([&] {
        CRegistrationTarget target(perUser);
        // Per-user registration writes the machine's entries too (the helper
        // object and the default behavior live only there); while a
        // machine-wide registration uses them, undoing the user's leaves them.
        const bool keepMachineEntries = perUser && IsRegisteredMachineWide();
        for (const CClassEntry& entry : kClasses) {
            step([&] {
                UnregisterScript(entry.registryScript, {{L"MODULE", m_path}}, target.Roots(), keepMachineEntries);
            });
        }
        step([&] {
            UnregisterTypeLibrary(m_path, perUser, keepMachineEntries ? target.Roots().classesRoot : HKEY_CLASSES_ROOT);
        });
        step([&] {
            UpdateRegistryFromResource(IDR_APPID, RegistrarMode::Unregister,
                                       {{L"MODULE", m_path}, {L"APPID", kQuellanAppId}}, target.Roots());
        });
    });
    return first;
}

HRESULT CQuellanModule::Install(bool install, const wchar_t* commandLine) const noexcept
{
    // Five characters, so that the terminator must match too: "users" and
    // "use" register machine-wide.
    bool perUser = commandLine && _wcsnicmp(commandLine, L"user", 5) == 0;
    if (!install)
        return UnregisterServer(perUser);
    HRESULT hr = RegisterServer(perUser);
    if (FAILED(hr))
        UnregisterServer(perUser);
    return hr;
}
