#pragma once
// What kind of system and browser process this code runs in: the Windows
// version, and whether the process is a Protected Mode browser tab.
//
// The answers are kept in namespace-scope caches of this library, built when
// the module loads and torn down when it unloads: do not call these functions
// from another module's static initialisers. Any thread.

#include <windows.h>

// True when the system's major version is 6 (Vista) or later. Cached.
bool IsVistaOrLater();

// Cached wrapper of ieframe's IEIsProtectedModeProcess. S_OK and E_NOTIMPL
// (ieframe or its export missing; *result then keeps the caller's value) are
// cached; other results are not. result may be null.
HRESULT QueryProtectedMode(BOOL* result);
// True only on Vista and later in a Protected Mode browser process.
bool IsProtectedMode();
