#pragma once
// How the library gets a broker: in QuellanHost when this process runs in
// Protected Mode (the host runs at medium integrity and may do what this
// process may not), in process otherwise. Call on an apartment-threaded
// thread with COM initialised.

#include <windows.h>

#include "com/ComPtr.h"
#include "resources/QuellanLib.h"

// Creates the broker where IsProtectedMode() says it belongs. Throws the
// HRESULT of a failed creation.
CComPtr<IBroker> CreateBroker();

// Creates the broker in the given context: CLSCTX_INPROC_SERVER or
// CLSCTX_LOCAL_SERVER. Out of process the proxy is set to let the host
// impersonate this process, which the file dialogs need to hand a handle
// back (a process's default may be identify level only). A proxy that
// refuses the setting is still returned. An activation that meets a host as
// it ends is made again, at most twice.
CComPtr<IBroker> CreateBroker(DWORD context);
