#pragma once
// CQuellanModule: the library as a COM server. One per process, created
// when the library is loaded and destroyed when it is unloaded (Exports.cpp).
//
// It owns the activation context made from the library's manifest
// (resource 2, common controls version 6), which the user interface
// activates around its dialogs, and knows the class table:
//
//   Automation (script 105), Behavior (109), BHO (102), Broker (111),
//
// in that order, all apartment-threaded; only Broker may be aggregated.
//
// Registration applies the AppID script (101), each class's script, and
// registers the type library, with the thread locale set to the system
// default for the duration; it stops at the first failure. Unregistration
// (each class's script, the type library, then the AppID script) goes on
// past a failing step and reports the first failure, so that it also rolls
// back a registration that failed part-way.
// Per user, the HKCR entries (and, where the system offers it, the type
// library) go to the current user's classes; HKLM entries are written
// where they always are.

#include <windows.h>
#include <unknwn.h>

#include <string>

#include "com/Handle.h"

class CQuellanModule
{
public:
    // Throws the system error when the library's path cannot be had or the
    // activation context cannot be created.
    explicit CQuellanModule(HINSTANCE instance);
    ~CQuellanModule();
    CQuellanModule(const CQuellanModule&) = delete;
    CQuellanModule& operator=(const CQuellanModule&) = delete;

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const noexcept;
    HRESULT CanUnloadNow() const noexcept;

    HRESULT RegisterServer(bool perUser) const noexcept;
    HRESULT UnregisterServer(bool perUser) const noexcept;
    // DllInstall: per user when commandLine is "user" in any letter case.
    HRESULT Install(bool install, const wchar_t* commandLine) const noexcept;

private:
    HINSTANCE m_instance;
    std::wstring m_path;
    CActivationContext m_activationContext;
};
