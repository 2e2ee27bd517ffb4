#pragma once
// CBroker: the broker class ("Quellan.Broker"), which does for a Protected
// Mode browser process what it may not do itself: write the per-user menu
// entries, and open a filter-list file that the user picks. Apartment-
// threaded and aggregatable: QuellanHost serves it out of process as the
// inner object of its own Broker class. No state between calls.
//
// The methods take and return handles as 32-bit values, as the type library
// declares them, so that a 32-bit browser and a 64-bit host (or the reverse)
// agree on the wire; window and kernel handles are 32-bit significant, and
// are sign-extended on the way in.

#include "com/Object.h"
#include "resources/QuellanLib.h"

// The chosen file is not the one the user chose (ERROR_CANT_ACCESS_FILE).
constexpr HRESULT kNotTheChosenFile = static_cast<HRESULT>(0x80070780L);

class CBroker final : public CComObjectBase<CBroker, IBroker>
{
public:
    static constexpr bool kAggregatable = true;

    // IBroker
    //
    // Writes the menu entries of the current user (resource IDR_MENUEXT: the
    // settings entry and the page context menu's entries) when fInstall is
    // not 0, removes them when it is 0 (the Extensions and MenuExt keys stay).
    // Returns the registrar's HRESULT.
    STDMETHODIMP InstallMenuExt(LONG fInstall) override;
    // Show the import (export) file dialog owned by hwndOwner and open the
    // chosen file for reading (for writing: created, or emptied at once).
    // *lphFile receives a handle valid in the calling process, which owns
    // it from then on: this process in process, the COM client when
    // QuellanHost serves the call (which must then come with at least
    // impersonate level, see CreateBroker). Shortcuts are not followed, and
    // a chosen file reached through a link or reparse point, or that has
    // another name (a hard link), is refused with kNotTheChosenFile before
    // anything is changed. Cancelling returns S_OK and leaves *lphFile as
    // it was. On failure *lphFile is not written and no handle stays open
    // anywhere.
    STDMETHODIMP ShowImportDialog(LONG hwndOwner, LONG* lphFile) override;
    STDMETHODIMP ShowExportDialog(LONG hwndOwner, LONG* lphFile) override;
};
