#pragma once
// Canonical URLs: one form for every spelling of a URL, the form the filters
// are matched against.

#include <windows.h>

#include <cstddef>
#include <string>

// The platform's longest URL, 2083 characters, and its terminator.
constexpr DWORD kCanonicalUrlCapacity = 2084;

// The URL as the filters see it: as requested (AsRequested), canonical, with
// its %XX sequences decoded
// except that a "%00" stays visible as that text (KeepEncodedZerosVisible),
// into `canonical` (kCanonicalUrlCapacity characters). Throws the converted
// last error when it cannot be canonicalized (for instance when the result
// would exceed 2083 characters).
void CanonicalizeUrl(const wchar_t* url, wchar_t* canonical);

// The URL the browser requests for url, which the filters judge: without a
// fragment (the text from the first "#", which never reaches the server),
// and for http and https with the host spelt one way: no default or empty
// port ("host:80/", "host:/") and no trailing dots ("host./"), so that no
// spelling of a host escapes a filter written for it. A port other than the
// scheme's default is kept, and so is the host then. Returns url itself
// when nothing changes; otherwise the text is built in storage.
const wchar_t* AsRequested(const wchar_t* url, std::wstring& storage);

// Writes the canonical form of url into `canonical` (kCanonicalUrlCapacity
// characters) and returns its length when it is certain, without the
// platform's full call, what CanonicalizeUrl would return: a plain http or
// https URL, its well-formed escapes decoded as the platform decodes them,
// its fragment cut. Otherwise returns 0 (the platform's canonicalization
// decides) and leaves `canonical` undefined. CanonicalizeUrl takes this
// way first.
std::size_t CanonicalizeSimpleUrl(const wchar_t* url, wchar_t* canonical) noexcept;

// The URL handed to the canonicalization, where no escape can decode to a
// terminator: InternetCanonicalizeUrlW with ICU_DECODE turns "%00" into a
// zero that ends its result, so the filters would see only the part before
// it (a server could hide any URL from every filter that way). Each "%00" is
// written "%2500" instead, which decodes to the text "%00": the filters see
// the whole URL, with the zero shown as its escape. Returns url itself when
// it holds no "%00"; otherwise the text is built in storage.
const wchar_t* KeepEncodedZerosVisible(const wchar_t* url, std::wstring& storage);
