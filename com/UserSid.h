#pragma once
// The user this process runs as, by SID.
//
// The SID string is kept in a namespace-scope cache of this library, built
// when the module loads and torn down when it unloads: do not call these
// functions from another module's static initialisers. Any thread.

#include <windows.h>

#include <string>

// The current user's SID as text ("S-1-5-21-..."), computed once and kept
// until the process ends. Throws when the token cannot be read or the SID
// cannot be turned into text; nothing is cached then.
const wchar_t* GetUserSidString();

// The standard text form of sid. Throws CHResultException when the system
// cannot convert it (an invalid SID gives E_INVALIDARG); never returns an
// empty string.
std::wstring SidToString(PSID sid);
