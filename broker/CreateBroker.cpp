#include "broker/CreateBroker.h"

#include <objbase.h>

#include "com/Error.h"
#include "storage/SharedObjects.h"

CComPtr<IBroker> CreateBroker()
{
    return CreateBroker(IsProtectedMode() ? CLSCTX_LOCAL_SERVER : CLSCTX_INPROC_SERVER);
}

CComPtr<IBroker> CreateBroker(DWORD context)
{
    CComPtr<IBroker> broker;
    ThrowIfFailed(CoCreateInstance(CLSID_Broker, nullptr, context, IID_IBroker, broker.PutVoid()));
    // Only the file dialogs need the impersonation: a proxy that refuses the
    // blanket (Wine's answers E_NOTIMPL) still serves the menu entries, and
    // a file dialog then fails with the host's error.
    if (context == CLSCTX_LOCAL_SERVER) {
        CoSetProxyBlanket(broker, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, COLE_DEFAULT_PRINCIPAL,
                          RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, COLE_DEFAULT_AUTHINFO, EOAC_DEFAULT);
    }
    return broker;
}
