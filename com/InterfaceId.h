#pragma once
// The IID of an interface type.
//
// GCC ignores __declspec(uuid); mingw-w64 keeps a per-type GUID table
// instead, which its SDK headers and widl-generated headers fill through
// __CRT_UUID_DECL. An interface missing from that table fails to compile
// here rather than answering a wrong IID at run time.

#include <unknwn.h>

template <class TInterface>
inline const IID& IidOf() noexcept
{
    return __uuidof(TInterface);
}
