#pragma once
// Subscriptions an administrator gives every user of the machine: the
// installer's LISTS property, kept as the string value "Lists" under
// HKLM\Software\Quellan (the 64-bit view on 64-bit Windows, so that both
// browsers read the same value), addresses separated by spaces or
// semicolons (a path with spaces is written as a file: address).
//
// Each user is subscribed, on the first use after the value names an
// address (a browser process starting, QuellanCtl), to each address not
// offered to that user before: a list is added by its source, with no text
// yet and due at once, so the next update fetches it; the user's own lists
// are never touched. An address already the source of one of the user's
// lists is only recorded as offered. What was offered is recorded in the
// storage folder ("lists.offered", one address a line, written whole under
// a temporary name and renamed), never in HKCU, which Protected Mode
// cannot write; so a user who removes such a list does not get it back.
//
// The value is written by an administrator but read as untrusted text:
// bounded, and only the sources "QuellanCtl lists add" takes (http, https
// and file addresses, UNC and full local paths) are used.

#include <windows.h>

#include <string>
#include <vector>

#include "storage/AdblockListStore.h"

constexpr wchar_t kMachineListsKey[] = L"Software\\Quellan";
constexpr wchar_t kMachineListsValue[] = L"Lists";
constexpr wchar_t kOfferedListsFileName[] = L"lists.offered";
// A longer value is ignored whole; at most this many addresses are used.
constexpr std::size_t kMaxMachineListsText = 16384;
constexpr std::size_t kMaxMachineLists = 32;

// The addresses of a machine value, in order, without duplicates (letter
// case ignored); anything that is no usable source is left out. Throws
// std::bad_alloc only.
std::vector<std::wstring> ParseMachineLists(const std::wstring& value);

// The machine value as stored; empty when there is none or it is not a
// string of a sane length. Never throws.
std::wstring ReadMachineListsValue() noexcept;

// Subscribes the user of `store` to each of `sources` not offered before
// (see above), under the store's update lock (held by another process for
// longer than `waitMs`: nothing is done, the next use tries again). Returns
// the names of the lists added. An offered-lists file that exists but cannot
// be read as ours stops the offering (rather than offering again what the
// user may have removed). Throws the store's failures.
std::vector<std::wstring> OfferMachineLists(CAdblockListStore& store, const std::vector<std::wstring>& sources,
                                            DWORD waitMs);
