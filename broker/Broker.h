#pragma once
// CBroker: the broker class ("Quellan.Broker"), which does for a Protected
// Mode browser process what it may not do itself. Apartment-threaded and
// aggregatable: QuellanHost serves it out of process as the inner object of
// its own Broker class.

#include "com/Object.h"
#include "resources/QuellanLib.h"

class CBroker final : public CComObjectBase<CBroker, IBroker>
{
public:
    static constexpr bool kAggregatable = true;

    // IBroker
    STDMETHODIMP InstallMenuExt(LONG fInstall) override;
    STDMETHODIMP ShowImportDialog(LONG hwndOwner, LONG* lphFile) override;
    STDMETHODIMP ShowExportDialog(LONG hwndOwner, LONG* lphFile) override;
};
