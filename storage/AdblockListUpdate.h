#pragma once
// Adblock lists kept current from their sources: an http:// or https://
// address, a file: address, a UNC or a local path.
//
// Addresses are fetched through WinINet, so the user's proxy settings and
// the intranet's authentication apply, with conditional requests (the
// ETag and Last-Modified of the last answer); files are read whole, and
// their last write time and size stand in for Last-Modified. What arrives
// is checked before anything is replaced: a final status of 200 (or 304 on
// an update), at most kMaxFetchedListText bytes, the whole body its
// Content-Length announced, the "[Adblock ...]" header as its first line,
// text without NUL bytes that holds at least one filter. Anything else is
// refused with its reason and the stored list stays as it was. An https://
// address is fetched only from a server whose certificate Windows trusts:
// none of WinINet's certificate checks is turned off, and a certificate it
// refuses is such a reason.
//
// A list is due again after the period its "! Expires:" line gives
// (clamped to kMinListPeriod .. kMaxListPeriod, kDefaultListPeriod without
// one), sooner after a failure (kMinListPeriod, doubling with each further
// failure up to the period), each time plus a random spread of up to a
// tenth, so that the machines of a network do not all ask at once.
//
// Updates of one store are serialized by a named mutex of their own (the
// store's write lock name + ".update"), held around the fetch: a process
// that waited for another's update finds the list just checked and asks
// nothing.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/AdblockListStore.h"

// Why a fetched list was refused (besides the converted system and WinINet
// errors, HTTP statuses as HttpStatusFailure gives, kAdblockListTooLarge).
constexpr HRESULT kListNotAdblock = static_cast<HRESULT>(0x80040A01);   // no "[Adblock" header
constexpr HRESULT kListIsHtmlPage = static_cast<HRESULT>(0x80040A02);   // an HTML page came instead
constexpr HRESULT kListCutShort = static_cast<HRESULT>(0x80040A03);     // fewer bytes than announced
constexpr HRESULT kListNotText = static_cast<HRESULT>(0x80040A04);      // NUL bytes, or no filter at all
constexpr HRESULT kListBadSource = static_cast<HRESULT>(0x80040A05);    // not a path or address we fetch
constexpr HRESULT kListUpdateBusy = static_cast<HRESULT>(0x80040A06);   // another update held on too long

// Status codes of a final HTTP answer other than 200 and 304, as failures
// (FACILITY_HTTP, as urlmon reports them: 404 -> 0x80190194).
constexpr HRESULT HttpStatusFailure(DWORD status) noexcept
{
    return static_cast<HRESULT>(0x80190000u | (status & 0xFFFFu));
}

constexpr DWORD kMaxFetchedListText = 32u << 20;
constexpr DWORD kMinListPeriod = 60 * 60;            // seconds
constexpr DWORD kMaxListPeriod = 14 * 24 * 60 * 60;  // seconds
constexpr DWORD kDefaultListPeriod = 4 * 24 * 60 * 60;

// The period "! Expires: N days" or "N hours" (also "Nd", "Nh"; a number
// alone counts days) among the header comments of `text` asks for, clamped;
// kDefaultListPeriod without one or with another unit.
DWORD AdblockListPeriodOf(const std::string& text);

// When a list checked at `now` is due again: after `period` seconds when
// the check went well (failures 0), else after kMinListPeriod doubled for
// each failure after the first, at most `period`; plus `random` (any value)
// scaled to at most a tenth of that delay.
FILETIME AdblockListNextDue(FILETIME now, DWORD period, DWORD failures, std::uint32_t random);

// True for a source fetched over the network (http:// or https://).
bool IsAdblockListAddress(const std::wstring& source);

struct CListFetchOptions
{
    DWORD timeoutMs = 30000;         // connecting, and each wait for data
    DWORD totalTimeoutMs = 120000;   // the whole fetch
    DWORD maxBytes = kMaxFetchedListText;
};

struct CListFetch
{
    HRESULT result = S_OK;  // S_OK: text; S_FALSE: not modified; else refused
    std::string text;
    std::wstring etag;
    std::wstring lastModified;
    std::wstring finalUrl;  // where an address led, when redirected
};

// Fetches `source` and checks what came; `etag` and `lastModified` (empty
// for none) make the request conditional. Never throws but std::bad_alloc.
CListFetch FetchAdblockList(const std::wstring& source, const std::wstring& etag, const std::wstring& lastModified,
                            const CListFetchOptions& options = CListFetchOptions());

// A source as stored: an address as given, a path made full.
std::wstring NormalizeAdblockListSource(const std::wstring& source);

// The reason for a refusal or failure in a few words ("the server answered
// 404 Not Found", "no answer in time", ...); empty for codes it does not
// know (the caller then asks the system).
std::wstring DescribeListFailure(HRESULT hr);

// A time of the catalog for people: "2026-12-09 16:05 UTC", or "never" for
// a time not yet set. Throws std::bad_alloc only.
std::wstring DescribeListTime(const FILETIME& time);

// Fetches `source` and adds it as a new list, named by its title (or its
// file name). Throws the fetch's refusal, or as CAdblockListStore::Add.
CAdblockListEntry AddAdblockListFromSource(CAdblockListStore& store, const std::wstring& source,
                                           std::vector<std::wstring>* leftOut = nullptr,
                                           const CListFetchOptions& options = CListFetchOptions());

struct CListUpdateResult
{
    std::wstring name;
    enum Outcome
    {
        Updated,      // new text stored
        NotModified,  // checked: the source has not changed
        NotDue,       // skipped: not due, or checked meanwhile by another process
        Failed,       // result says why; the list is as it was
    } outcome = NotDue;
    HRESULT result = S_OK;
    CAdblockListEntry entry;  // as stored after the update
};

// Updates the list `name` (every list that has a source when empty): each
// that is due (or every one, unless `ifDue`) is fetched and its result
// recorded in the catalog. A list checked by another process after this
// call began is not fetched again. Throws kAdblockListNotFound for an
// unknown name, kListUpdateBusy when another update holds on, the store's
// failures.
std::vector<CListUpdateResult> UpdateAdblockLists(CAdblockListStore& store, const std::wstring& name, bool ifDue,
                                                  std::vector<std::wstring>* leftOut = nullptr,
                                                  const CListFetchOptions& options = CListFetchOptions());
