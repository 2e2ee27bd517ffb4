#include "browser/BHO.h"

STDMETHODIMP CBHO::SetSite(IUnknown* site)
{
    m_site = site;
    return S_OK;
}

STDMETHODIMP CBHO::GetSite(REFIID riid, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    if (!m_site)
        return E_FAIL;
    return m_site->QueryInterface(riid, site);
}
