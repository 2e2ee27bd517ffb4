// installer_probe: what the installer tests ask of a Windows prefix after
// msiexec has run in it, seen from a client program.
//
//   installer_probe create PROGID     creates the class in process, asks it for
//                                     IObjectWithSite, prints the path of the
//                                     library that serves it
//   installer_probe serve PROGID      creates the class out of process (its
//                                     local server) and asks it for IBroker,
//                                     which the type library marshals
//   installer_probe version PATH...   prints each binary's file version a.b.c.d
//   installer_probe related UPGRADE   prints "PRODUCTCODE VERSION" of every
//                                     installed product of an upgrade code
//   installer_probe named NAME        the same for every installed product of
//                                     that name
//   installer_probe repair PRODUCT    reinstalls every file and the registry
//                                     entries of an installed product, as
//                                     "msiexec /famus" does on Windows (Wine's
//                                     msiexec cannot repair)
//   installer_probe hold               a browser process: creates the broker
//                                     in process (keeping quellan.dll
//                                     loaded), writes the user's menu
//                                     entries with it, prints "held" and
//                                     waits until its standard input ends
//
// Exit code 0 on success, 1 on a failure (with the HRESULT on stderr), 2
// for a wrong command line.

#include <windows.h>
#include <msi.h>
#include <ocidl.h>

#include <cstdio>
#include <string>

#include "com/ComPtr.h"
#include "resources/QuellanLib.h"

namespace {

int Fail(const wchar_t* what, HRESULT hr)
{
    fwprintf(stderr, L"installer_probe: %ls failed: 0x%08lx\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// Creates the class of progId in `context` and asks the object for `iid`
// (named `what` in a failure).
int CreateAndAsk(const wchar_t* progId, DWORD context, REFIID iid, const wchar_t* what)
{
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr))
        return Fail(L"CoInitialize", hr);
    CLSID clsid;
    hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        return Fail(L"CLSIDFromProgID", hr);
    CComPtr<IUnknown> object;
    hr = CoCreateInstance(clsid, nullptr, context, IID_IUnknown, object.PutVoid());
    if (FAILED(hr))
        return Fail(context == CLSCTX_LOCAL_SERVER ? L"CoCreateInstance(CLSCTX_LOCAL_SERVER)" : L"CoCreateInstance", hr);
    CComPtr<IUnknown> answer;
    hr = object->QueryInterface(iid, answer.PutVoid());
    return FAILED(hr) ? Fail(what, hr) : 0;
}

int Create(const wchar_t* progId)
{
    if (int code = CreateAndAsk(progId, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, L"QueryInterface(IObjectWithSite)"))
        return code;
    HMODULE library = GetModuleHandleW(L"quellan.dll");
    wchar_t path[MAX_PATH] = L"";
    if (!library || !GetModuleFileNameW(library, path, MAX_PATH))
        return Fail(L"GetModuleFileNameW", HRESULT_FROM_WIN32(GetLastError()));
    wprintf(L"%ls\n", path);
    return 0;
}

int Version(const wchar_t* path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return Fail(L"GetFileVersionInfoSizeW", HRESULT_FROM_WIN32(GetLastError()));
    std::string data(size, '\0');
    if (!GetFileVersionInfoW(path, 0, size, &data[0]))
        return Fail(L"GetFileVersionInfoW", HRESULT_FROM_WIN32(GetLastError()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length))
        return Fail(L"VerQueryValueW", E_FAIL);
    wprintf(L"%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
            HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return 0;
}

std::wstring ProductInfo(const wchar_t* product, const wchar_t* property)
{
    wchar_t text[256];
    DWORD length = 256;
    UINT error = MsiGetProductInfoW(product, property, text, &length);
    return error == ERROR_SUCCESS ? text : std::wstring();
}

// Every installed product that `next` enumerates and `accept` takes.
template <class Next, class Accept>
int ListProducts(const wchar_t* what, Next next, Accept accept)
{
    for (DWORD index = 0;; ++index) {
        wchar_t product[39];
        UINT error = next(index, product);
        if (error == ERROR_NO_MORE_ITEMS)
            return 0;
        if (error != ERROR_SUCCESS)
            return Fail(what, HRESULT_FROM_WIN32(error));
        if (accept(product))
            wprintf(L"%ls %ls\n", product, ProductInfo(product, INSTALLPROPERTY_VERSIONSTRING).c_str());
    }
}

int Repair(const wchar_t* product)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    UINT error = MsiReinstallProductW(product, REINSTALLMODE_FILEREPLACE | REINSTALLMODE_MACHINEDATA |
                                                   REINSTALLMODE_USERDATA | REINSTALLMODE_SHORTCUT);
    return error == ERROR_SUCCESS ? 0 : Fail(L"MsiReinstallProductW", HRESULT_FROM_WIN32(error));
}

int Hold()
{
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr))
        return Fail(L"CoInitialize", hr);
    CComPtr<IBroker> broker;
    hr = CoCreateInstance(CLSID_Broker, nullptr, CLSCTX_INPROC_SERVER, IID_IBroker, broker.PutVoid());
    if (FAILED(hr))
        return Fail(L"CoCreateInstance", hr);
    hr = broker->InstallMenuExt(1);
    if (FAILED(hr))
        return Fail(L"InstallMenuExt", hr);
    wprintf(L"held\n");
    fflush(stdout);
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read) {
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"create")
        return Create(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"serve")
        return CreateAndAsk(argv[2], CLSCTX_LOCAL_SERVER, IID_IBroker, L"QueryInterface(IBroker)");
    if (argc >= 3 && std::wstring(argv[1]) == L"version") {
        for (int i = 2; i < argc; ++i) {
            if (int code = Version(argv[i]))
                return code;
        }
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"related") {
        return ListProducts(
            L"MsiEnumRelatedProductsW",
            [&](DWORD index, wchar_t* product) { return MsiEnumRelatedProductsW(argv[2], 0, index, product); },
            [](const wchar_t*) { return true; });
    }
    if (argc == 3 && std::wstring(argv[1]) == L"named") {
        return ListProducts(
            L"MsiEnumProductsW", [](DWORD index, wchar_t* product) { return MsiEnumProductsW(index, product); },
            [&](const wchar_t* product) { return ProductInfo(product, INSTALLPROPERTY_INSTALLEDPRODUCTNAME) == argv[2]; });
    }
    if (argc == 3 && std::wstring(argv[1]) == L"repair")
        return Repair(argv[2]);
    if (argc == 2 && std::wstring(argv[1]) == L"hold")
        return Hold();
    fwprintf(stderr, L"usage: installer_probe create PROGID | serve PROGID | version PATH... | related UPGRADECODE"
                     L" | named NAME | repair PRODUCTCODE | hold\n");
    return 2;
}
