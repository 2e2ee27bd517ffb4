#include "tests/module/ShippedLibrary.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <stdexcept>

#include "com/Export.h"
#include "tests/support/TestEnvironment.h"

std::wstring ShippedLibraryPath()
{
    return ShippedBinaryDir() + L"\\module\\quellan.dll";
}

CShippedLibrary::CShippedLibrary() : m_library(LoadLibraryW(ShippedLibraryPath().c_str()))
{
    EXPECT_TRUE(m_library) << "cannot load the shipped library, error " << GetLastError();
}

template <class Function>
Function CShippedLibrary::Export(const char* name) const
{
    auto function = GetExport<Function>(m_library.Get(), name);
    if (!function)
        throw std::runtime_error(std::string("missing export ") + name);
    return function;
}

HRESULT CShippedLibrary::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const
{
    using Function = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    return Export<Function>("DllGetClassObject")(clsid, riid, ppv);
}

HRESULT CShippedLibrary::CanUnloadNow() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return Export<Function>("DllCanUnloadNow")();
}

HRESULT CShippedLibrary::RegisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return Export<Function>("DllRegisterServer")();
}

HRESULT CShippedLibrary::UnregisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return Export<Function>("DllUnregisterServer")();
}

HRESULT CShippedLibrary::Install(bool install, const wchar_t* commandLine) const
{
    using Function = HRESULT(STDAPICALLTYPE*)(BOOL, PCWSTR);
    return Export<Function>("DllInstall")(install, commandLine);
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
