#pragma once
// The index image's layout and the key functions that its writer and its
// readers must agree on. Only the engine's index files include this.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/FilterRule.h"

// Image layout (little-endian; every part 8-byte aligned):
//   CHeader
//   the list's bytes, then zero bytes up to the next multiple of 8 (at least
//   two: a zero-terminated read that starts inside the list ends inside the
//   image whatever the list holds)
//   the regular-expression table: list offset of every regex record
//   six lookup tables: for block records, then for exception records, one
//   of 8-character pieces, one of 4-character pieces and one of prefixes
//   and suffixes (which also holds the records without a key); each table:
//     a bit per bucket, a running count of set bits before every 64-bit
//     word, where each non-empty bucket's entries start, the entries grouped
//     by bucket, and the entries without a key
// The checksum covers everything but the list copy (which its user compares
// with the list itself) and the checksum field.

namespace filter_index {

// One lookup table, and one of its entries.
struct CTable
{
    std::uint32_t bits;  // log2 of the bucket count
    std::uint32_t bitsetOffset;
    std::uint32_t rankOffset;
    std::uint32_t startsOffset;  // bucketCount + 1 entries
    std::uint32_t bucketCount;   // non-empty buckets
    std::uint32_t entriesOffset;
    std::uint32_t entryCount;
    std::uint32_t alwaysOffset;
    std::uint32_t alwaysCount;
};

struct CEntry
{
    std::uint32_t key;         // entries without a key: their pair signature
    std::uint32_t rule;
    std::uint16_t runStart;    // body unit where the key's literal run starts
    std::uint16_t runOffset;   // the key's position in that run, in characters
    std::uint32_t recordHash;  // of the record's bytes in the list copy
};
static_assert(sizeof(CEntry) == 16);

constexpr std::uint32_t kMagic = 0x58444951;  // "QIDX"
constexpr std::uint32_t kVersion = 2;
// Pieces found anywhere: 8 characters for records that have a literal run
// that long (few URLs hold any given one), 4 for the others; prefixes and
// suffixes of up to 4.
constexpr std::size_t kLongPiece = 8;
constexpr std::size_t kShortPiece = 4;
constexpr std::size_t kEdge = 4;
constexpr std::uint32_t kMinBits = 6;
constexpr std::uint32_t kMaxBits = 24;

enum CTableIndex : std::uint8_t
{
    kLongTable,
    kShortTable,
    kEdgeTable,
    kTablesPerKind,
    // Block records use tables 0 to 2, exception records 3 to 5.
    kTableCount = 2 * kTablesPerKind
};

// Buckets per distinct key: the share of a URL's pieces that find their bit
// set (and cost a look into the bucket) for nothing is about 1 in this.
constexpr std::size_t kBucketsPerKey[kTablesPerKind] = {32, 64, 16};

// runStart of an entry whose record has no literal run to check first.
constexpr std::uint16_t kNoRun = 0xFFFF;
// rule: a list offset (always even), or this bit and an index into the
// regex table.
constexpr std::uint32_t kRegexRule = 0x80000000u;
// In a list offset: the literal run at the key's place proves the match
// (the pattern is that run between stars, or the run anchored at the end
// where the key was found).
constexpr std::uint32_t kRunDecides = 1;

struct CHeader
{
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t imageSize;
    std::uint32_t generation;
    std::uint64_t checksum;
    std::uint64_t listHash;  // FilterListHash of the list the image was built from
    std::uint32_t listOffset;
    std::uint32_t listSize;
    std::uint32_t regexOffset;
    std::uint32_t regexCount;
    CTable tables[kTableCount];
};


constexpr std::uint64_t kKeyMultiplier = 0x9E3779B97F4A7C15ull;
// Short pieces, prefixes and suffixes (by length) live in hash domains of
// their own.
constexpr std::uint64_t kShortSalt = 0xD6E8FEB86659FD93ull;
constexpr std::uint64_t kPrefixSalt = 0xA24BAED4963EE407ull;
constexpr std::uint64_t kSuffixSalt = 0x9FB21C651E98DF25ull;

inline std::uint32_t HashKey(std::uint64_t packed) noexcept
{
    return static_cast<std::uint32_t>((packed * kKeyMultiplier) >> 32);
}

// A character as keys see it: ASCII letters folded, then squeezed into 8
// bits (characters that collide only share keys; the record's own check
// tells them apart).
inline std::uint64_t KeyChar(wchar_t c) noexcept
{
    const unsigned folded = static_cast<unsigned>(FoldAscii(c));
    return (folded ^ (folded >> 8)) & 0xFF;
}

// Up to 8 key characters in one number, the first in the lowest byte: a
// lookup reads them straight from the URL's key characters.
inline std::uint64_t Pack(const wchar_t* text, std::size_t count) noexcept
{
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < count; ++i)
        packed |= KeyChar(text[i]) << (8 * i);
    return packed;
}

inline std::uint64_t PackKeys(const std::uint8_t* keys, std::size_t count) noexcept
{
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < count; ++i)
        packed |= std::uint64_t{keys[i]} << (8 * i);
    return packed;
}

inline std::uint32_t LongKey(std::uint64_t packed) noexcept
{
    return HashKey(packed);
}

inline std::uint32_t ShortKey(std::uint64_t packed) noexcept
{
    return HashKey(packed ^ kShortSalt);
}

inline std::uint32_t PrefixKey(std::uint64_t packed, std::size_t length) noexcept
{
    return HashKey(packed ^ (kPrefixSalt * length));
}

inline std::uint32_t SuffixKey(std::uint64_t packed, std::size_t length) noexcept
{
    return HashKey(packed ^ (kSuffixSalt * length));
}

// Records without a key carry up to three pairs of adjacent characters that
// any URL they match contains, as 10-bit codes; a URL's pairs are a
// 1024-bit set.
constexpr int kPairBits = 10;
constexpr std::uint32_t kMaxPairs = 3;

inline std::uint32_t PairCodeOfKeys(std::uint64_t first, std::uint64_t second) noexcept
{
    return static_cast<std::uint32_t>(((first << 8 | second) * 0x9E3779B1u) & 0xFFFFFFFFu) >> (32 - kPairBits);
}

inline std::uint32_t PairCode(wchar_t first, wchar_t second) noexcept
{
    return PairCodeOfKeys(KeyChar(first), KeyChar(second));
}

inline std::size_t Align8(std::size_t n) noexcept
{
    return (n + 7) & ~std::size_t{7};
}

inline std::uint64_t Rotate(std::uint64_t x, int r) noexcept
{
    return x << r | x >> (64 - r);
}
// The checksum of an image: `header` (with its checksum field taken as zero)
// and everything after it but the list copy.
std::uint64_t ImageChecksum(const BYTE* image, const CHeader& header, std::size_t listEnd, std::size_t size) noexcept;

// End of the list copy and its zero padding.
inline std::size_t ListEnd(const CHeader& header) noexcept
{
    return Align8(std::size_t{header.listOffset} + header.listSize + 2);
}

// The body a matcher reads: up to its first zero unit, never past length.
inline std::size_t EffectiveLength(const FilterRule& rule) noexcept
{
    std::size_t length = 0;
    while (length < rule.length && rule.body[length] != L'\0')
        ++length;
    return length;
}

// The hash of one record's bytes, checked before a lookup first reads the
// record from the image's list copy (which the image checksum leaves out).
std::uint32_t RecordHash(const BYTE* record, std::size_t size) noexcept;

template <class T>
const T* At(const BYTE* image, std::uint32_t offset) noexcept
{
    return reinterpret_cast<const T*>(image + offset);
}

// Does [offset, offset + count * unit) lie in an image of `size` bytes, on a
// 4-byte boundary?
inline bool InImage(std::uint64_t offset, std::uint64_t count, std::uint64_t unit, std::size_t size) noexcept
{
    return offset % 4 == 0 && offset <= size && count <= (size - offset) / unit;
}

// Is there a record at `offset` of a list of `listSize` bytes? Only a forged
// image can make this false.
inline bool IsRecordOffset(std::uint32_t offset, std::uint32_t listSize) noexcept
{
    return offset % 2 == 0 && std::uint64_t{offset} + FilterRecordSize(0) <= listSize;
}

}  // namespace filter_index
