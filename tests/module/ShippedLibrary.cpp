#include "tests/module/ShippedLibrary.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include "tests/support/TestEnvironment.h"

std::wstring ShippedLibraryPath()
{
    return ShippedBinaryDir() + L"\\module\\quellan.dll";
}

CShippedLibrary::CShippedLibrary() : m_library(LoadLibraryW(ShippedLibraryPath().c_str()))
{
    EXPECT_TRUE(m_library) << "cannot load the shipped library, error " << GetLastError();
}

FARPROC CShippedLibrary::Export(const char* name) const
{
    FARPROC function = m_library ? GetProcAddress(m_library.Get(), name) : nullptr;
    if (!function)
        throw std::runtime_error(std::string("missing export ") + name);
    return function;
}

HRESULT CShippedLibrary::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const
{
    using Function = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllGetClassObject")))(clsid, riid, ppv);
}

HRESULT CShippedLibrary::CanUnloadNow() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllCanUnloadNow")))();
}

HRESULT CShippedLibrary::RegisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllRegisterServer")))();
}

HRESULT CShippedLibrary::UnregisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllUnregisterServer")))();
}

HRESULT CShippedLibrary::Install(bool install, const wchar_t* commandLine) const
{
    using Function = HRESULT(STDAPICALLTYPE*)(BOOL, PCWSTR);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllInstall")))(install, commandLine);
}

CShippedRegistration::CShippedRegistration(const CShippedLibrary& library) : m_library(library)
{
    HRESULT hr = m_library.RegisterServer();
    EXPECT_EQ(S_OK, hr) << "cannot register the shipped library";
    m_registered = hr == S_OK;
}

CShippedRegistration::~CShippedRegistration()
{
    if (m_registered) {
        EXPECT_EQ(S_OK, m_library.UnregisterServer());
    }
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring GuidTextWithoutBraces(REFGUID guid)
{
    std::wstring text = GuidText(guid);
    return text.substr(1, text.size() - 2);
}
