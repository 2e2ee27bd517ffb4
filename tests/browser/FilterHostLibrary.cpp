// A library that registers the request filter from inside itself, as
// quellan.dll does, so that a test can try to unload it afterwards.

#include <windows.h>

#include "browser/RequestFilter.h"
#include "com/Error.h"

extern "C" __declspec(dllexport) HRESULT RegisterFilterFromLibrary()
{
    return CallAtBoundary([] { RegisterRequestFilter(); });
}
