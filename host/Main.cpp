// QuellanHost.exe: the broker host. A GUI-subsystem program without a
// window; see HostModule.h.

#include <windows.h>

#include "host/HostModule.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    CQuellanHostModule module;
    return module.WinMain(commandLine);
}
