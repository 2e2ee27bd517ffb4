#pragma once
// The IID of an interface type.
//
// GCC ignores __declspec(uuid); mingw-w64 keeps a per-type GUID table
// instead, which its SDK headers and widl-generated headers fill through
// __CRT_UUID_DECL. An interface missing from that table fails the build
// (an undefined __mingw_uuidof<I>) rather than answering a wrong IID at run
// time; name its IID constant instead.

#include <unknwn.h>

template <class TInterface>
inline const IID& IidOf() noexcept
{
    return __uuidof(TInterface);
}
