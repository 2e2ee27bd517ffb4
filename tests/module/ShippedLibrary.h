#pragma once
// The shipped quellan.dll loaded into the test process, and the registry
// facts the module tests read back.

#include <windows.h>
#include <unknwn.h>

#include <string>

#include "com/Handle.h"

std::wstring ShippedLibraryPath();

// LoadLibrary of the shipped library (kept loaded for the test's life) and
// its five exports.
class CShippedLibrary
{
public:
    CShippedLibrary();

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;
    HRESULT Install(bool install, const wchar_t* commandLine) const;

private:
    // The export `name` as its real type; throws when it is missing.
    template <class Function>
    Function Export(const char* name) const;

    CLibrary m_library;
};

// Registers the shipped library (DllRegisterServer) for one test and
// unregisters it at the end. Tests that use it hold the registry lock.
class CShippedRegistration
{
public:
    explicit CShippedRegistration(const CShippedLibrary& library);
    ~CShippedRegistration();
    CShippedRegistration(const CShippedRegistration&) = delete;
    CShippedRegistration& operator=(const CShippedRegistration&) = delete;

    bool IsRegistered() const { return m_registered; }

private:
    const CShippedLibrary& m_library;
    bool m_registered = false;
};

// "{...}" of a GUID, and the same without braces.
std::wstring GuidText(REFGUID guid);
std::wstring GuidTextWithoutBraces(REFGUID guid);
