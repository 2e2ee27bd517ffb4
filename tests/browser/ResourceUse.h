#pragma once
// What this process holds, for telling a leak from steady use.

#include <windows.h>

struct CResourceUse
{
    DWORD handles = 0;  // open kernel handles
    SIZE_T memory = 0;  // committed private bytes
    LONG moduleLocks = 0;
};

CResourceUse MeasureResources();
