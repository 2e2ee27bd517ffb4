#include "broker/Broker.h"

// The broker operations are not part of the library yet.

STDMETHODIMP CBroker::InstallMenuExt(LONG)
{
    return E_NOTIMPL;
}

STDMETHODIMP CBroker::ShowImportDialog(LONG, LONG* lphFile)
{
    if (!lphFile)
        return E_POINTER;
    return E_NOTIMPL;
}

STDMETHODIMP CBroker::ShowExportDialog(LONG, LONG* lphFile)
{
    if (!lphFile)
        return E_POINTER;
    return E_NOTIMPL;
}
