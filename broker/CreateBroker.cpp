#include "broker/CreateBroker.h"

#include <objbase.h>
#include <winerror.h>

#include "com/Error.h"
#include "com/Platform.h"

CComPtr<IBroker> CreateBroker()
{
    return CreateBroker(IsProtectedMode() ? CLSCTX_LOCAL_SERVER : CLSCTX_INPROC_SERVER);
}

namespace {

// Failures of an activation that met a host as it ended: the class object
// it was handed belongs to a process that stops serving. COM on Windows
// starts a new host itself (CO_E_SERVER_STOPPING); Wine's does not, and the
// activation fails with one of the others.
bool MetAnEndingHost(HRESULT hr) noexcept
{
    switch (hr) {
    case CO_E_SERVER_STOPPING:
    case CO_E_OBJNOTCONNECTED:
    case RPC_E_DISCONNECTED:
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
    case HResultFromWin32(RPC_S_SERVER_UNAVAILABLE):
    case HResultFromWin32(RPC_S_CALL_FAILED):
    case E_FAIL:
        return true;
    default:
        return false;
    }
}

}  // namespace

CComPtr<IBroker> CreateBroker(DWORD context)
{
    CComPtr<IBroker> broker;
    // Out of process, an activation that met the host as it ended is made
    // again (twice at most): the next one starts a new host.
    const int attempts = context == CLSCTX_LOCAL_SERVER ? 3 : 1;
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        hr = CoCreateInstance(CLSID_Broker, nullptr, context, IID_IBroker, broker.PutVoid());
        if (!MetAnEndingHost(hr))
            break;
    }
    ThrowIfFailed(hr);
    // Only the file dialogs need the impersonation: a proxy that refuses the
    // blanket (Wine's answers E_NOTIMPL) still serves the menu entries, and
    // a file dialog then fails with the host's error.
    if (context == CLSCTX_LOCAL_SERVER) {
        CoSetProxyBlanket(broker, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, COLE_DEFAULT_PRINCIPAL,
                          RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, COLE_DEFAULT_AUTHINFO, EOAC_DEFAULT);
    }
    return broker;
}
