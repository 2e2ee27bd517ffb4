#pragma once
// An index over a filter list that answers the URL verdict without walking
// every record, with exactly the walk's answer.
//
// The index is one self-contained image: a header, a copy of the list's
// bytes (the records it was built from, which the matchers read in place)
// and lookup tables. Every record is filed under one key that any URL it
// matches must contain:
//  - a piece of one of its literal runs (wildcards: the characters between
//    "*" and "?"; regular expressions: characters outside groups and classes
//    that no quantifier makes optional), found at any position of the URL:
//    8 characters long for records with such a run, 4 for the others;
//  - or the first (last) up to 4 characters of a wildcard that has no "*" at
//    its start (end), found only at the URL's start (end).
// Keys are compared with ASCII letters folded, as the wildcard matcher
// compares. A record with no key at all is checked for every URL that holds
// a few pairs of characters it requires. A lookup hashes every piece of the
// URL, tests one bit per piece and table, and for the few hits checks the
// record's segment (its literal runs and one-character wildcards up to the
// next "*") at that place: for a wildcard that is one segment between stars,
// or anchored at the end where the key was found, that is the whole answer;
// other records then run their own matcher. Block and exception records have
// tables of their own, so that exceptions are looked at only for a URL that
// some block record matches.
//
// The image says nothing about where it is kept; see the storage layer for
// the files beside storage.bin and how an image is proven to belong to the
// list.

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/FilterRule.h"

class CCompiledRegex;
class CRegexTimeBound;
namespace filter_index {
struct CEntry;
}

// Builds the image for a list: `list` is the list's `size` bytes, `records`
// the records of that list that the verdict judges with, in list order
// (pointers into `list`; the walker decides which records are whole).
// `generation` is stored in the header for the caller. Throws std::bad_alloc,
// or CHResultException(E_INVALIDARG) when a record does not lie in the list.
std::vector<BYTE> BuildFilterIndex(const BYTE* list, DWORD size, const std::vector<const FilterRule*>& records,
                                   DWORD generation);

// Sets the generation in an image made by BuildFilterIndex (and its
// checksum).
void SetFilterIndexGeneration(std::vector<BYTE>& image, DWORD generation);

// The hash of a list's bytes that an image carries for the list it was built
// from: CFilterChecksum over them.
std::uint64_t FilterListHash(const BYTE* list, DWORD size) noexcept;

// The 64-bit checksum images use, over bytes given in pieces of any size:
// four lanes, one multiply per 8 bytes. Every change to a single 8-byte word
// changes it; it tells damage and other lists apart, it is no defence
// against forgery.
class CFilterChecksum
{
public:
    void Add(const BYTE* data, std::size_t size) noexcept;
    std::uint64_t Value() const noexcept;

private:
    void AddBlocks(const BYTE* data, std::size_t size) noexcept;

    std::uint64_t m_lanes[4] = {0x60EA27EEADC0B5D6ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                                0x61C8864E7A143579ull};
    std::uint64_t m_length = 0;
    BYTE m_block[32] = {};
    std::size_t m_pending = 0;
};

// A read-only view of an image that has passed its checks. Lookups may run
// on any number of threads at once. Regular expressions are compiled by the
// first lookup that needs each, once for the life of this object.
class CFilterIndex
{
public:
    // Null when the image is not one this code can use: wrong magic, version
    // or size, tables outside the image, a checksum that does not match (it
    // covers all but the list copy, whose records are checked one by one as
    // lookups first read them). `checksum` false leaves the checksum out, for
    // a caller that knows otherwise that the image is the one its writer
    // wrote: lookups still never read outside the image, whatever its tables
    // hold. The image must stay mapped while the result lives; its bytes may
    // change under it (any process of the user can write the file): the
    // header is kept as checked here, every other value is read from the
    // image once and checked where it is used, and records are matched only
    // on private copies proven against the hash the image filed them with.
    // A rewrite can hide records from a lookup, or make it find the image
    // damaged; it cannot make a lookup read outside the image or judge with
    // a record that is not the list's. Never reads outside [image, image +
    // size). Throws std::bad_alloc.
    static std::unique_ptr<CFilterIndex> Open(const BYTE* image, std::size_t size, bool checksum = true);
    ~CFilterIndex();
    CFilterIndex(const CFilterIndex&) = delete;
    CFilterIndex& operator=(const CFilterIndex&) = delete;

    DWORD GetGeneration() const noexcept;
    // The copy of the list the image was built from, and that list's
    // FilterListHash.
    const BYTE* GetList() const noexcept;
    DWORD GetListSize() const noexcept;
    std::uint64_t GetListHash() const noexcept;

    // The verdict on a canonical, zero-terminated URL: false when a block
    // record matches it and no exception record does. Matches every record
    // exactly as MatchFilter does. Nothing when a record the lookup needed
    // differs in the image's list copy from the list it was built from (the
    // image is damaged): the caller must walk the list, and every later
    // lookup answers nothing too. Throws std::bad_alloc.
    // `bound`: see engine/RegexSearch.h. `blockMatched`: a block record from
    // elsewhere (records appended after the image was built) matches the URL,
    // so only this image's exception records can allow it.
    std::optional<bool> IsAllowed(const wchar_t* url, const CRegexTimeBound* bound = nullptr,
                                  bool blockMatched = false) const;
    bool IsDamaged() const noexcept { return m_damaged.load(); }

private:
    struct CDamaged
    {
    };
    struct CLayout;
    class CRecord;
    CFilterIndex(const BYTE* image, const CLayout& layout);
    // One lookup's URL, its key characters and its bound.
    struct CQuery
    {
        const wchar_t* url;
        const std::uint8_t* keys;
        std::size_t length;
        const CRegexTimeBound* bound;
    };
    bool AnyMatch(int first, const CQuery& query) const;
    bool Probe(int table, std::uint32_t key, const CQuery& query, std::size_t position) const;
    // Copies the record at `offset` of the list copy into `record`. Throws
    // CDamaged when it does not lie in the list or is not the record the
    // image was built with (`hash`).
    void CopyRecord(std::uint32_t offset, std::uint32_t hash, CRecord& record) const;
    // `record`: the entry's record when already copied, else empty. Throws
    // CDamaged as CopyRecord does.
    bool MatchEntry(const filter_index::CEntry& entry, CRecord& record, const CQuery& query) const;
    const CCompiledRegex* GetRegex(std::uint32_t index, std::uint32_t hash) const;

    // The mapped image, which this object treats as input: another process
    // of the user can rewrite it at any time (see Open).
    const BYTE* m_image;
    std::unique_ptr<const CLayout> m_layout;
    std::unique_ptr<std::atomic<CCompiledRegex*>[]> m_regexes;
    mutable std::atomic<bool> m_damaged{false};
};
