#include "engine/FilterIndex.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "com/Error.h"
#include "engine/RegexSearch.h"

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

struct CFilterIndex::CTable
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

struct CFilterIndex::CEntry
{
    std::uint32_t key;         // entries without a key: their pair signature
    std::uint32_t rule;
    std::uint16_t runStart;    // body unit where the key's literal run starts
    std::uint16_t runOffset;   // the key's position in that run, in characters
    std::uint32_t recordHash;  // of the record's bytes in the list copy
};
static_assert(sizeof(CFilterIndex::CEntry) == 16);

namespace {

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
    CFilterIndex::CTable tables[kTableCount];
};

using CEntry = CFilterIndex::CEntry;
static_assert(kTableCount == 6, "CFilterIndex::kImageTables");

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

class CUrlPairs
{
public:
    // `keys`: the URL's key characters.
    bool Contains(std::uint32_t signature, const std::uint8_t* keys, std::size_t length) noexcept
    {
        const std::uint32_t count = signature >> 30;
        if (count == 0)
            return true;
        if (!m_built) {
            for (std::size_t i = 0; i + 1 < length; ++i) {
                const std::uint32_t code = PairCodeOfKeys(keys[i], keys[i + 1]);
                m_bits[code / 64] |= std::uint64_t{1} << (code % 64);
            }
            m_built = true;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t code = (signature >> (i * kPairBits)) & ((1u << kPairBits) - 1);
            if (!((m_bits[code / 64] >> (code % 64)) & 1))
                return false;
        }
        return true;
    }

private:
    bool m_built = false;
    std::uint64_t m_bits[(1u << kPairBits) / 64] = {};
};

std::size_t Align8(std::size_t n) noexcept
{
    return (n + 7) & ~std::size_t{7};
}

std::uint64_t Rotate(std::uint64_t x, int r) noexcept
{
    return x << r | x >> (64 - r);
}

using CChecksum = CFilterChecksum;

std::uint64_t ImageChecksum(const BYTE* image, const CHeader& header, std::size_t listEnd, std::size_t size) noexcept
{
    CHeader copy;
    std::memcpy(&copy, image, sizeof copy);
    copy.checksum = 0;
    CChecksum sum;
    sum.Add(reinterpret_cast<const BYTE*>(&copy), sizeof copy);
    sum.Add(image + sizeof copy, header.listOffset - sizeof copy);
    sum.Add(image + listEnd, size - listEnd);
    return sum.Value();
}

// End of the list copy and its zero padding.
std::size_t ListEnd(const CHeader& header) noexcept
{
    return Align8(std::size_t{header.listOffset} + header.listSize + 2);
}

// The body a matcher reads: up to its first zero unit, never past length.
std::size_t EffectiveLength(const FilterRule& rule) noexcept
{
    std::size_t length = 0;
    while (length < rule.length && rule.body[length] != L'\0')
        ++length;
    return length;
}


// The hash of one record's bytes, checked before a lookup first reads the
// record from the image's list copy (which the image checksum leaves out).
std::uint32_t RecordHash(const BYTE* record, std::size_t size) noexcept
{
    CChecksum sum;
    sum.Add(record, size);
    return static_cast<std::uint32_t>(sum.Value());
}

// ---- Building ------------------------------------------------------------

// Counts per key; open addressing, for the millions of lookups a build of a
// large list makes.
class CKeyCounts
{
public:
    explicit CKeyCounts(std::size_t expected)
    {
        std::size_t capacity = 64;
        while (capacity < expected * 2)
            capacity *= 2;
        m_slots.assign(capacity, CSlot{});
    }
    std::uint32_t& operator[](std::uint64_t key)
    {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = static_cast<std::size_t>((key * kKeyMultiplier) >> 20) & mask;
        for (;; i = (i + 1) & mask) {
            CSlot& slot = m_slots[i];
            if (!slot.used) {
                if (++m_used * 2 > m_slots.size()) {
                    Grow();
                    return (*this)[key];
                }
                slot = CSlot{key, 0, true};
                return slot.count;
            }
            if (slot.key == key)
                return slot.count;
        }
    }
    std::uint32_t Get(std::uint64_t key) const
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = static_cast<std::size_t>((key * kKeyMultiplier) >> 20) & mask;; i = (i + 1) & mask) {
            const CSlot& slot = m_slots[i];
            if (!slot.used)
                return 0;
            if (slot.key == key)
                return slot.count;
        }
    }

private:
    struct CSlot
    {
        std::uint64_t key = 0;
        std::uint32_t count = 0;
        bool used = false;
    };
    void Grow()
    {
        std::vector<CSlot> old(m_slots.size() * 2);
        old.swap(m_slots);
        m_used = 0;
        for (const CSlot& slot : old) {
            if (slot.used)
                (*this)[slot.key] = slot.count;
        }
    }
    std::vector<CSlot> m_slots;
    std::size_t m_used = 0;
};

struct CCandidate
{
    std::uint32_t key;
    std::uint16_t runStart;
    std::uint16_t runOffset;
    std::uint8_t table;  // a block table; exception records add kTablesPerKind
    bool runDecides;
    // How likely a URL is to hold the key where it is looked for: a piece
    // is tried at every position, a suffix at the end only, a prefix at the
    // start, where every URL has its scheme (those prefixes count as
    // common).
    std::uint8_t reach;
};
constexpr std::uint8_t kPieceReach = 16;
constexpr std::uint8_t kSuffixReach = 8;
constexpr std::uint8_t kPrefixReach = 0;

struct CRuleKeys
{
    std::uint32_t rule;
    std::uint32_t listOffset;  // orders entries of one bucket as the list does
    bool isException;
    std::uint32_t pairs;  // signature, for a record that ends up without a key
    std::uint32_t hash;   // RecordHash
    std::size_t first;    // candidates [first, last) of the shared vector
    std::size_t last;
};

// A literal run of a wildcard, folded, and where its segment starts.
struct CRun
{
    std::size_t segmentStart;   // body unit where the run's segment starts
    std::size_t segmentOffset;  // characters of the segment before the run
    std::wstring folded;
};

// How a wildcard body reads, split exactly as MatchWildcard reads the
// pattern: "*" separates segments; in a segment, an unescaped "?" is any one
// character and ends a literal run; "\" and the unit after it are one
// literal; a "\" that ends the body is a literal backslash.
struct CWildcardShape
{
    std::vector<CRun> runs;
    std::size_t segments = 0;
    std::size_t lastSegmentLength = 0;  // in characters
    bool startsWithStar = false;
    bool endsWithStar = false;
    bool anchoredStart = false;  // begins with a literal
    bool anchoredEnd = false;    // ends with a literal
};

void ReadWildcard(const wchar_t* body, std::size_t length, CWildcardShape& shape)
{
    shape = CWildcardShape{std::move(shape.runs)};
    shape.runs.clear();
    shape.startsWithStar = length > 0 && body[0] == L'*';
    shape.anchoredStart = length > 0 && body[0] != L'*' && body[0] != L'?';
    std::size_t segmentStart = 0, segmentLength = 0;
    bool inSegment = false, inRun = false, lastLiteral = false, lastStar = false;
    for (std::size_t i = 0; i < length;) {
        const wchar_t c = body[i];
        if (c == L'*') {
            inSegment = inRun = lastLiteral = false;
            lastStar = true;
            ++i;
            continue;
        }
        if (!inSegment) {
            segmentStart = i;
            segmentLength = 0;
            inSegment = true;
            ++shape.segments;
        }
        lastStar = false;
        if (c == L'?') {
            inRun = lastLiteral = false;
            ++segmentLength;
            ++i;
            continue;
        }
        wchar_t literal = c;
        if (c == L'\\' && i + 1 < length) {
            literal = body[i + 1];
            i += 2;
        } else {
            i += 1;
        }
        if (!inRun) {
            shape.runs.push_back(CRun{segmentStart, segmentLength, std::wstring()});
            inRun = true;
        }
        shape.runs.back().folded += FoldAscii(literal);
        ++segmentLength;
        lastLiteral = true;
        shape.lastSegmentLength = segmentLength;
    }
    shape.endsWithStar = lastStar;
    shape.anchoredEnd = lastLiteral;
}

// Pieces of text common in URLs of every site: a record filed under one of
// them would be looked at for almost every URL.
const wchar_t* const kCommonUrlText[] = {
    L"HTTP://", L"HTTPS://", L"WWW.", L".COM/", L".NET/", L".ORG/", L".HTML", L".PHP", L".JS?", L".CSS",
    L".PNG", L".JPG", L".GIF", L"/IMAGES/", L"/STATIC/", L"/ASSETS/", L"/JS/", L"/CSS/", L"/IMG/", L"CDN.",
    L"/WP-CONTENT/", L"GOOGLE", L"=TRUE", L"=FALSE", L"&V=", L"?V=", L"/API/", L"/V1/", L"/V2/", L"/EN/",
};

// Endings common to URLs of every site.
const wchar_t* const kCommonUrlEndings[] = {
    L".JS", L".CSS", L".GIF", L".PNG", L".JPG", L".JPEG", L".SVG", L".HTML", L".HTM", L".PHP", L".ASPX", L".SWF",
    L".WOFF", L".WOFF2", L".TTF", L".JSON", L".XML", L".ICO", L"/", L"=1", L"=0", L"=TRUE",
};

class CCommonKeys
{
public:
    CCommonKeys() : m_keys(512)
    {
        for (const wchar_t* text : kCommonUrlText) {
            const std::size_t length = std::wcslen(text);
            for (std::size_t i = 0; i + kShortPiece <= length; ++i)
                m_keys[ShortKey(Pack(text + i, kShortPiece))] = 1;
            for (std::size_t i = 0; i + kLongPiece <= length; ++i)
                m_keys[LongKey(Pack(text + i, kLongPiece))] = 1;
            for (std::size_t i = 0; i + 2 <= length; ++i)
                m_keys[std::uint64_t{1} << 40 | PairCode(text[i], text[i + 1])] = 1;
        }
        for (const wchar_t* ending : kCommonUrlEndings) {
            const std::size_t length = std::wcslen(ending);
            for (std::size_t n = 1; n <= std::min(kEdge, length); ++n)
                m_keys[SuffixKey(Pack(ending + length - n, n), n)] = 1;
        }
        // Every URL starts with one of these.
        const wchar_t scheme[] = L"HTTP";
        for (std::size_t length = 1; length <= kEdge; ++length)
            m_keys[PrefixKey(Pack(scheme, length), length)] = 1;
    }
    bool IsCommon(std::uint32_t key) const { return m_keys.Get(key) != 0; }
    bool IsCommonPair(std::uint32_t code) const { return m_keys.Get(std::uint64_t{1} << 40 | code) != 0; }

private:
    CKeyCounts m_keys;
};

// Up to three pairs of adjacent characters from the runs, uncommon ones
// first.
std::uint32_t PairSignature(const std::vector<std::wstring>& runs, const CCommonKeys& common)
{
    std::vector<std::uint32_t> rare, usual;
    for (const std::wstring& run : runs) {
        for (std::size_t i = 0; i + 1 < run.size(); ++i) {
            const std::uint32_t code = PairCode(run[i], run[i + 1]);
            std::vector<std::uint32_t>& into = common.IsCommonPair(code) ? usual : rare;
            if (std::find(into.begin(), into.end(), code) == into.end())
                into.push_back(code);
        }
    }
    rare.insert(rare.end(), usual.begin(), usual.end());
    const std::uint32_t count = std::min<std::uint32_t>(kMaxPairs, static_cast<std::uint32_t>(rare.size()));
    std::uint32_t signature = count << 30;
    for (std::uint32_t i = 0; i < count; ++i)
        signature |= rare[i] << (i * kPairBits);
    return signature;
}

// A long run offers its pieces at a stride, so that a list of long filters
// costs its writer no more than about this many candidates per run.
constexpr std::size_t kPiecesPerRun = 8;

std::size_t PieceStep(std::size_t runLength, std::size_t piece) noexcept
{
    const std::size_t positions = runLength + 1 - piece;
    return positions > kPiecesPerRun ? (positions + kPiecesPerRun - 1) / kPiecesPerRun : 1;
}

// Records with a literal run of 8 characters are filed under long pieces
// (or a prefix or suffix); shorter runs give short pieces.
void AddWildcardCandidates(const FilterRule& rule, CWildcardShape& shape, const CCommonKeys& common,
                           std::vector<CCandidate>& out, std::uint32_t& pairs)
{
    const std::size_t before = out.size();
    ReadWildcard(rule.body, EffectiveLength(rule), shape);
    std::size_t longest = 0;
    for (const CRun& run : shape.runs)
        longest = std::max(longest, run.folded.size());
    const bool useLong = longest >= kLongPiece;
    const std::size_t piece = useLong ? kLongPiece : kShortPiece;
    // "*segment*": finding the segment anywhere decides.
    const bool middleDecides = shape.segments == 1 && shape.startsWithStar && shape.endsWithStar;
    for (const CRun& run : shape.runs) {
        const std::size_t size = run.folded.size();
        for (std::size_t o = 0; o + piece <= size; o += PieceStep(size, piece)) {
            const std::uint64_t packed = Pack(run.folded.data() + o, piece);
            out.push_back(CCandidate{useLong ? LongKey(packed) : ShortKey(packed),
                                     static_cast<std::uint16_t>(run.segmentStart),
                                     static_cast<std::uint16_t>(run.segmentOffset + o),
                                     useLong ? kLongTable : kShortTable, middleDecides, kPieceReach});
        }
    }
    // "segment*" decides by its prefix, "*segment" by its suffix.
    if (shape.anchoredStart) {
        const CRun& run = shape.runs.front();
        const std::size_t length = std::min(kEdge, run.folded.size());
        out.push_back(CCandidate{PrefixKey(Pack(run.folded.data(), length), length), 0, 0, kEdgeTable,
                                 shape.segments == 1 && shape.endsWithStar, kPrefixReach});
    }
    if (shape.anchoredEnd) {
        const CRun& run = shape.runs.back();
        const std::size_t length = std::min(kEdge, run.folded.size());
        out.push_back(CCandidate{SuffixKey(Pack(run.folded.data() + run.folded.size() - length, length), length),
                                 static_cast<std::uint16_t>(run.segmentStart),
                                 static_cast<std::uint16_t>(shape.lastSegmentLength - length), kEdgeTable,
                                 shape.segments == 1 && shape.startsWithStar, kSuffixReach});
    }
    if (out.size() == before) {
        std::vector<std::wstring> texts;
        for (const CRun& run : shape.runs)
            texts.push_back(run.folded);
        pairs = PairSignature(texts, common);
    }
}

void AddRegexCandidates(const FilterRule& rule, const CCommonKeys& common, std::vector<CCandidate>& out,
                        std::uint32_t& pairs)
{
    std::vector<std::wstring> literals = RegexRequiredLiterals(std::wstring_view(rule.body, EffectiveLength(rule)));
    std::size_t longest = 0;
    for (std::wstring& literal : literals) {
        for (wchar_t& c : literal)
            c = FoldAscii(c);
        longest = std::max(longest, literal.size());
    }
    const bool useLong = longest >= kLongPiece;
    const std::size_t piece = useLong ? kLongPiece : kShortPiece;
    const std::size_t before = out.size();
    for (const std::wstring& literal : literals) {
        for (std::size_t o = 0; o + piece <= literal.size(); o += PieceStep(literal.size(), piece)) {
            const std::uint64_t packed = Pack(literal.data() + o, piece);
            out.push_back(CCandidate{useLong ? LongKey(packed) : ShortKey(packed), kNoRun, 0,
                                     useLong ? kLongTable : kShortTable, false, kPieceReach});
        }
    }
    if (out.size() == before)
        pairs = PairSignature(literals, common);
}

void Write(std::vector<BYTE>& image, std::size_t offset, const void* data, std::size_t size)
{
    if (size)
        std::memcpy(image.data() + offset, data, size);
}

struct CTableBuild
{
    std::vector<CEntry> entries;  // with a key
    std::vector<CEntry> always;
    std::vector<std::uint32_t> listOffsets;  // of entries, for ordering
};

// Lays out one table at `offset` (8-aligned) and returns the offset after
// it; writes it when `image` is given.
std::size_t LayOutTable(const CTableBuild& build, std::size_t bucketsPerKey, CFilterIndex::CTable& table,
                        std::size_t offset, std::vector<BYTE>* image)
{
    std::vector<std::uint32_t> keys;
    keys.reserve(build.entries.size());
    for (const CEntry& entry : build.entries)
        keys.push_back(entry.key);
    std::sort(keys.begin(), keys.end());
    const std::size_t distinct = static_cast<std::size_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
    std::uint32_t bits = kMinBits;
    while (bits < kMaxBits && (std::size_t{1} << bits) < distinct * bucketsPerKey)
        ++bits;
    const std::size_t words = (std::size_t{1} << bits) / 64;
    const int shift = 32 - static_cast<int>(bits);

    // Entries by bucket, and within a bucket in list order.
    std::vector<std::uint32_t> order(build.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const std::uint32_t ba = build.entries[a].key >> shift, bb = build.entries[b].key >> shift;
        return ba != bb ? ba < bb : build.listOffsets[a] < build.listOffsets[b];
    });
    std::vector<std::uint64_t> bitset(words, 0);
    std::vector<std::uint32_t> starts;
    std::vector<CEntry> sorted;
    sorted.reserve(order.size());
    std::uint32_t previous = 0xFFFFFFFFu;
    for (std::uint32_t i : order) {
        const std::uint32_t bucket = build.entries[i].key >> shift;
        if (bucket != previous) {
            bitset[bucket / 64] |= std::uint64_t{1} << (bucket % 64);
            starts.push_back(static_cast<std::uint32_t>(sorted.size()));
            previous = bucket;
        }
        sorted.push_back(build.entries[i]);
    }
    const std::uint32_t bucketCount = static_cast<std::uint32_t>(starts.size());
    starts.push_back(static_cast<std::uint32_t>(sorted.size()));
    std::vector<std::uint32_t> rank(words);
    std::uint32_t running = 0;
    for (std::size_t w = 0; w < words; ++w) {
        rank[w] = running;
        running += static_cast<std::uint32_t>(__builtin_popcountll(bitset[w]));
    }

    table.bits = bits;
    table.bitsetOffset = static_cast<std::uint32_t>(offset);
    offset = Align8(offset + words * sizeof(std::uint64_t));
    table.rankOffset = static_cast<std::uint32_t>(offset);
    offset = Align8(offset + words * sizeof(std::uint32_t));
    table.startsOffset = static_cast<std::uint32_t>(offset);
    table.bucketCount = bucketCount;
    offset = Align8(offset + starts.size() * sizeof(std::uint32_t));
    table.entriesOffset = static_cast<std::uint32_t>(offset);
    table.entryCount = static_cast<std::uint32_t>(sorted.size());
    offset = Align8(offset + sorted.size() * sizeof(CEntry));
    table.alwaysOffset = static_cast<std::uint32_t>(offset);
    table.alwaysCount = static_cast<std::uint32_t>(build.always.size());
    offset = Align8(offset + build.always.size() * sizeof(CEntry));
    if (image) {
        Write(*image, table.bitsetOffset, bitset.data(), words * sizeof(std::uint64_t));
        Write(*image, table.rankOffset, rank.data(), words * sizeof(std::uint32_t));
        Write(*image, table.startsOffset, starts.data(), starts.size() * sizeof(std::uint32_t));
        Write(*image, table.entriesOffset, sorted.data(), sorted.size() * sizeof(CEntry));
        Write(*image, table.alwaysOffset, build.always.data(), build.always.size() * sizeof(CEntry));
    }
    return offset;
}

// ---- Lookup --------------------------------------------------------------

// Does the wildcard segment that starts at `run` (up to its next "*")
// appear in the URL at url[0..]? Same reading of the pattern as
// MatchWildcard.
inline bool SegmentMatches(const wchar_t* run, const wchar_t* url, std::size_t available) noexcept
{
    for (std::size_t j = 0;; ++j) {
        wchar_t c = *run;
        if (c == L'\0' || c == L'*')
            return true;
        if (c == L'?') {
            if (j >= available)
                return false;
            ++run;
            continue;
        }
        if (c == L'\\' && run[1] != L'\0') {
            c = run[1];
            run += 2;
        } else {
            run += 1;
        }
        if (j >= available || FoldAscii(c) != FoldAscii(url[j]))
            return false;
    }
}

template <class T>
const T* At(const BYTE* image, std::uint32_t offset) noexcept
{
    return reinterpret_cast<const T*>(image + offset);
}

// Does [offset, offset + count * unit) lie in an image of `size` bytes, on a
// 4-byte boundary?
bool InImage(std::uint64_t offset, std::uint64_t count, std::uint64_t unit, std::size_t size) noexcept
{
    return offset % 4 == 0 && offset <= size && count <= (size - offset) / unit;
}

// Is there a record at `offset` of a list of `listSize` bytes? Only a forged
// image can make this false.
inline bool IsRecordOffset(std::uint32_t offset, std::uint32_t listSize) noexcept
{
    return offset % 2 == 0 && std::uint64_t{offset} + FilterRecordSize(0) <= listSize;
}

}  // namespace

std::vector<BYTE> BuildFilterIndex(const BYTE* list, DWORD size, const std::vector<const FilterRule*>& records,
                                   DWORD generation)
{
    const CCommonKeys common;
    std::vector<CCandidate> candidates;
    std::vector<CRuleKeys> rules;
    std::vector<std::uint32_t> regexOffsets;
    rules.reserve(records.size());
    CWildcardShape shape;
    for (const FilterRule* record : records) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(record);
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(list);
        if (at < base || at - base > size || size - (at - base) < FilterRecordSize(0) ||
            size - (at - base) < FilterRecordSize(*record) || (at - base) % 2 != 0)
            ThrowHResult(E_INVALIDARG);
        const std::uint32_t offset = static_cast<std::uint32_t>(at - base);
        CRuleKeys rule{offset,         offset, record->isException != 0, 0,
                       RecordHash(list + offset, FilterRecordSize(*record)), candidates.size(), 0};
        if (record->isRegex) {
            rule.rule = kRegexRule | static_cast<std::uint32_t>(regexOffsets.size());
            regexOffsets.push_back(offset);
            AddRegexCandidates(*record, common, candidates, rule.pairs);
        } else {
            AddWildcardCandidates(*record, shape, common, candidates, rule.pairs);
        }
        // One candidate per key: a piece that occurs twice in a record
        // counts once.
        const auto first = candidates.begin() + static_cast<std::ptrdiff_t>(rule.first);
        std::sort(first, candidates.end(), [](const CCandidate& a, const CCandidate& b) {
            return a.key != b.key ? a.key < b.key : a.runDecides > b.runDecides;
        });
        candidates.erase(std::unique(first, candidates.end(),
                                     [](const CCandidate& a, const CCandidate& b) { return a.key == b.key; }),
                         candidates.end());
        if (rule.isException) {
            for (auto it = candidates.begin() + static_cast<std::ptrdiff_t>(rule.first); it != candidates.end(); ++it)
                it->table = static_cast<std::uint8_t>(it->table + kTablesPerKind);
        }
        rule.last = candidates.size();
        rules.push_back(rule);
    }

    // Each record takes the key that costs least: not a piece of every URL,
    // one that few records could use (it is less likely to be in a URL),
    // that few have taken already (its bucket stays short), a long prefix or
    // suffix rather than a piece; among equals, one whose segment decides. Records with the fewest choices choose first.
    auto slot = [](const CCandidate& c) { return std::uint64_t{c.table} << 32 | c.key; };
    CKeyCounts usable(candidates.size()), taken(rules.size());
    for (const CCandidate& c : candidates)
        ++usable[slot(c)];
    std::vector<std::uint32_t> order(rules.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return rules[a].last - rules[a].first < rules[b].last - rules[b].first;
    });
    CTableBuild builds[kTableCount];
    for (std::uint32_t index : order) {
        const CRuleKeys& rule = rules[index];
        if (rule.first == rule.last) {
            builds[rule.isException ? kTablesPerKind + kEdgeTable : kEdgeTable].always.push_back(
                CEntry{rule.pairs, rule.rule, kNoRun, 0, rule.hash});
            continue;
        }
        const CCandidate* best = nullptr;
        std::uint64_t bestCost = 0;
        for (std::size_t i = rule.first; i < rule.last; ++i) {
            const CCandidate& c = candidates[i];
            // A prefix other than the scheme's is at the start of no URL the
            // browser asks about: its bucket may grow.
            const std::uint64_t crowd = c.reach == kPrefixReach ? taken.Get(slot(c)) / 8
                                                                : 8 * std::uint64_t{taken.Get(slot(c))} + usable.Get(slot(c));
            const std::uint64_t cost = (common.IsCommon(c.key) ? std::uint64_t{1} << 40 : 0) +
                                       (crowd + c.reach) * 2 + (c.runDecides ? 0 : 1);
            if (!best || cost < bestCost) {
                best = &c;
                bestCost = cost;
            }
        }
        ++taken[slot(*best)];
        const std::uint32_t flags = best->runDecides ? kRunDecides : 0;
        builds[best->table].entries.push_back(
            CEntry{best->key, rule.rule | flags, best->runStart, best->runOffset, rule.hash});
        builds[best->table].listOffsets.push_back(rule.listOffset);
    }
    // Entries without a key are checked in list order.
    for (CTableBuild& build : builds) {
        std::sort(build.always.begin(), build.always.end(), [&](const CEntry& a, const CEntry& b) {
            auto offsetOf = [&](const CEntry& e) {
                return (e.rule & kRegexRule) ? regexOffsets[e.rule & ~kRegexRule] : e.rule;
            };
            return offsetOf(a) < offsetOf(b);
        });
    }

    CHeader header{};
    header.magic = kMagic;
    header.version = kVersion;
    header.generation = generation;
    header.listOffset = static_cast<std::uint32_t>(Align8(sizeof(CHeader)));
    header.listSize = size;
    header.listHash = FilterListHash(list, size);
    std::size_t offset = ListEnd(header);
    header.regexOffset = static_cast<std::uint32_t>(offset);
    header.regexCount = static_cast<std::uint32_t>(regexOffsets.size());
    offset = Align8(offset + regexOffsets.size() * sizeof(std::uint32_t));
    const std::size_t tablesOffset = offset;
    for (int t = 0; t < kTableCount; ++t)
        offset = LayOutTable(builds[t], kBucketsPerKey[t % kTablesPerKind], header.tables[t], offset, nullptr);
    if (offset > 0x7FFFFFFF)
        ThrowHResult(HResultFromWin32(ERROR_FILE_TOO_LARGE));
    header.imageSize = static_cast<std::uint32_t>(offset);

    std::vector<BYTE> image(offset, 0);
    Write(image, header.listOffset, list, size);
    Write(image, header.regexOffset, regexOffsets.data(), regexOffsets.size() * sizeof(std::uint32_t));
    offset = tablesOffset;
    for (int t = 0; t < kTableCount; ++t)
        offset = LayOutTable(builds[t], kBucketsPerKey[t % kTablesPerKind], header.tables[t], offset, &image);
    Write(image, 0, &header, sizeof header);
    header.checksum = ImageChecksum(image.data(), header, ListEnd(header), image.size());
    Write(image, 0, &header, sizeof header);
    return image;
}

void CFilterChecksum::Add(const BYTE* data, std::size_t size) noexcept
{
    m_length += size;
    // Pieces of any size give the checksum of the whole: what does not fill
    // a 32-byte block waits for the next piece.
    if (m_pending != 0) {
        const std::size_t take = std::min(size, sizeof m_block - m_pending);
        std::memcpy(m_block + m_pending, data, take);
        m_pending += take;
        data += take;
        size -= take;
        if (m_pending < sizeof m_block)
            return;
        AddBlocks(m_block, sizeof m_block);
        m_pending = 0;
    }
    const std::size_t whole = size & ~std::size_t{31};
    AddBlocks(data, whole);
    std::memcpy(m_block, data + whole, size - whole);
    m_pending = size - whole;
}

void CFilterChecksum::AddBlocks(const BYTE* data, std::size_t size) noexcept
{
    constexpr std::uint64_t kPrime = 0x9E3779B185EBCA87ull;
    for (std::size_t i = 0; i < size; i += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            std::uint64_t word;
            std::memcpy(&word, data + i + 8 * lane, sizeof word);
            m_lanes[lane] = Rotate(m_lanes[lane] ^ word, 29) * kPrime;
        }
    }
}

std::uint64_t CFilterChecksum::Value() const noexcept
{
    std::uint64_t lanes[4] = {m_lanes[0], m_lanes[1], m_lanes[2], m_lanes[3]};
    for (std::size_t i = 0; i < m_pending; ++i)
        lanes[i & 3] = Rotate(lanes[i & 3] ^ m_block[i], 29) * 0x9E3779B185EBCA87ull;
    std::uint64_t h = m_length;
    for (int lane = 0; lane < 4; ++lane)
        h = Rotate(h ^ lanes[lane], 27) * 0x9E3779B185EBCA87ull + 0x85EBCA77C2B2AE63ull;
    h ^= h >> 33;
    h *= 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return h;
}

std::uint64_t FilterListHash(const BYTE* list, DWORD size) noexcept
{
    CChecksum sum;
    sum.Add(list, size);
    return sum.Value();
}

void SetFilterIndexGeneration(std::vector<BYTE>& image, DWORD generation)
{
    if (image.size() < sizeof(CHeader))
        ThrowHResult(E_INVALIDARG);
    CHeader header;
    std::memcpy(&header, image.data(), sizeof header);
    header.generation = generation;
    Write(image, 0, &header, sizeof header);
    header.checksum = ImageChecksum(image.data(), header, ListEnd(header), image.size());
    Write(image, 0, &header, sizeof header);
}

std::unique_ptr<CFilterIndex> CFilterIndex::Open(const BYTE* image, std::size_t size, bool checksum)
{
    if (size < sizeof(CHeader))
        return nullptr;
    CHeader header;
    std::memcpy(&header, image, sizeof header);
    if (header.magic != kMagic || header.version != kVersion || header.imageSize != size)
        return nullptr;
    if (header.listOffset < sizeof(CHeader) || header.listOffset % 8 != 0 ||
        std::uint64_t{header.listOffset} + header.listSize + 2 > size || ListEnd(header) > size)
        return nullptr;
    for (std::size_t i = std::size_t{header.listOffset} + header.listSize; i < ListEnd(header); ++i) {
        if (image[i] != 0)
            return nullptr;
    }
    if (!InImage(header.regexOffset, header.regexCount, sizeof(std::uint32_t), size))
        return nullptr;
    for (const CTable& table : header.tables) {
        if (table.bits < kMinBits || table.bits > kMaxBits)
            return nullptr;
        const std::uint64_t words = (std::uint64_t{1} << table.bits) / 64;
        if (table.bitsetOffset % 8 != 0 || !InImage(table.bitsetOffset, words, sizeof(std::uint64_t), size) ||
            !InImage(table.rankOffset, words, sizeof(std::uint32_t), size) ||
            table.bucketCount > (std::uint64_t{1} << table.bits) ||
            !InImage(table.startsOffset, std::uint64_t{table.bucketCount} + 1, sizeof(std::uint32_t), size) ||
            !InImage(table.entriesOffset, table.entryCount, sizeof(CEntry), size) ||
            !InImage(table.alwaysOffset, table.alwaysCount, sizeof(CEntry), size))
            return nullptr;
    }
    if (checksum && ImageChecksum(image, header, ListEnd(header), size) != header.checksum)
        return nullptr;
    return std::unique_ptr<CFilterIndex>(new CFilterIndex(image));
}

CFilterIndex::CFilterIndex(const BYTE* image)
    : m_image(image), m_regexes(new std::atomic<CCompiledRegex*>[At<CHeader>(image, 0)->regexCount]())
{
    const CHeader& header = *At<CHeader>(image, 0);
    std::size_t count = 0;
    for (int t = 0; t < kTableCount; ++t) {
        m_firstEntry[2 * t] = count;
        count += header.tables[t].entryCount;
        m_firstEntry[2 * t + 1] = count;
        count += header.tables[t].alwaysCount;
    }
    m_checked.reset(new std::atomic<std::uint32_t>[count / 32 + 1]());
}

CFilterIndex::~CFilterIndex()
{
    const std::uint32_t count = At<CHeader>(m_image, 0)->regexCount;
    for (std::uint32_t i = 0; i < count; ++i)
        delete m_regexes[i].load();
}

DWORD CFilterIndex::GetGeneration() const noexcept
{
    return At<CHeader>(m_image, 0)->generation;
}

const BYTE* CFilterIndex::GetList() const noexcept
{
    return m_image + At<CHeader>(m_image, 0)->listOffset;
}

DWORD CFilterIndex::GetListSize() const noexcept
{
    return At<CHeader>(m_image, 0)->listSize;
}

std::uint64_t CFilterIndex::GetListHash() const noexcept
{
    return At<CHeader>(m_image, 0)->listHash;
}

std::optional<bool> CFilterIndex::IsAllowed(const wchar_t* url) const
{
    if (m_damaged.load())
        return std::nullopt;
    const std::size_t length = std::wcslen(url);
    // The URL's key characters once, with room for whole 8-byte reads.
    std::uint8_t local[2048 + 8];
    std::vector<std::uint8_t> large;
    std::uint8_t* keys = local;
    if (length > 2048) {
        large.resize(length + 8);
        keys = large.data();
    }
    for (std::size_t i = 0; i < length; ++i)
        keys[i] = static_cast<std::uint8_t>(KeyChar(url[i]));
    std::memset(keys + length, 0, 8);
    try {
        // Exceptions matter only once a block record matches.
        if (!AnyMatch(0, url, keys, length))
            return true;
        return AnyMatch(kTablesPerKind, url, keys, length);
    } catch (const CDamaged&) {
        m_damaged.store(true);
        return std::nullopt;
    }
}

bool CFilterIndex::Probe(int t, std::uint32_t key, const wchar_t* url, std::size_t length, std::size_t position) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    const CTable& table = header.tables[t];
    const std::uint64_t* bitset = At<std::uint64_t>(m_image, table.bitsetOffset);
    const std::uint32_t bucket = key >> (32 - table.bits);
    const std::uint64_t word = bitset[bucket / 64];
    const std::uint64_t bit = std::uint64_t{1} << (bucket % 64);
    if (!(word & bit))
        return false;
    const std::uint32_t r = At<std::uint32_t>(m_image, table.rankOffset)[bucket / 64] +
                            static_cast<std::uint32_t>(__builtin_popcountll(word & (bit - 1)));
    if (r >= table.bucketCount)
        return false;
    const std::uint32_t* starts = At<std::uint32_t>(m_image, table.startsOffset);
    const CEntry* entries = At<CEntry>(m_image, table.entriesOffset);
    const std::uint32_t last = std::min(starts[r + 1], table.entryCount);
    for (std::uint32_t i = starts[r]; i < last; ++i) {
        const CEntry& entry = entries[i];
        if (entry.key != key)
            continue;
        const std::size_t number = m_firstEntry[2 * t] + i;
        // The record's literal segment must be in the URL where the key was
        // found; checking that is much cheaper than the record's matcher,
        // and for most records it is the whole answer.
        if (entry.runStart != kNoRun) {
            const std::uint32_t offset = entry.rule & ~kRunDecides;
            if (entry.runOffset > position || (entry.rule & kRegexRule))
                continue;
            Verify(number, offset, entry.recordHash);
            const auto& record = *reinterpret_cast<const FilterRule*>(m_image + header.listOffset + offset);
            // A run that starts past the record's body would read beyond it.
            if (entry.runStart > record.length)
                throw CDamaged();
            const std::size_t start = position - entry.runOffset;
            if (!SegmentMatches(record.body + entry.runStart, url + start, length - start))
                continue;
            if (entry.rule & kRunDecides)
                return true;
        }
        if (MatchEntry(entry, number, url))
            return true;
    }
    return false;
}

bool CFilterIndex::AnyMatch(int first, const wchar_t* url, const std::uint8_t* keys, std::size_t length) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    const CTable& longTable = header.tables[first + kLongTable];
    const CTable& shortTable = header.tables[first + kShortTable];
    const CTable& edgeTable = header.tables[first + kEdgeTable];
    const std::uint64_t* longBits = At<std::uint64_t>(m_image, longTable.bitsetOffset);
    const std::uint64_t* shortBits = At<std::uint64_t>(m_image, shortTable.bitsetOffset);
    const int longShift = 32 - static_cast<int>(longTable.bits);
    const int shortShift = 32 - static_cast<int>(shortTable.bits);

    // Every piece of the URL: one bit test per table, the bucket only when
    // the bit is set.
    if (shortTable.entryCount != 0) {
        for (std::size_t i = 0; i + kShortPiece <= length; ++i) {
            std::uint32_t piece;
            std::memcpy(&piece, keys + i, sizeof piece);
            const std::uint32_t key = ShortKey(piece);
            const std::uint32_t bucket = key >> shortShift;
            if (((shortBits[bucket / 64] >> (bucket % 64)) & 1) && Probe(first + kShortTable, key, url, length, i))
                return true;
        }
    }
    if (longTable.entryCount != 0) {
        for (std::size_t i = 0; i + kLongPiece <= length; ++i) {
            std::uint64_t piece;
            std::memcpy(&piece, keys + i, sizeof piece);
            const std::uint32_t key = LongKey(piece);
            const std::uint32_t bucket = key >> longShift;
            if (((longBits[bucket / 64] >> (bucket % 64)) & 1) && Probe(first + kLongTable, key, url, length, i))
                return true;
        }
    }
    if (edgeTable.entryCount != 0) {
        const std::size_t edge = std::min(kEdge, length);
        for (std::size_t n = 1; n <= edge; ++n) {
            if (Probe(first + kEdgeTable, PrefixKey(PackKeys(keys, n), n), url, length, 0) ||
                Probe(first + kEdgeTable, SuffixKey(PackKeys(keys + length - n, n), n), url, length, length - n))
                return true;
        }
    }
    if (edgeTable.alwaysCount != 0) {
        CUrlPairs pairs;
        const CEntry* always = At<CEntry>(m_image, edgeTable.alwaysOffset);
        for (std::uint32_t i = 0; i < edgeTable.alwaysCount; ++i) {
            if (pairs.Contains(always[i].key, keys, length) &&
                MatchEntry(always[i], m_firstEntry[2 * (first + kEdgeTable) + 1] + i, url))
                return true;
        }
    }
    return false;
}

void CFilterIndex::Verify(std::size_t number, std::uint32_t offset, std::uint32_t hash) const
{
    std::atomic<std::uint32_t>& word = m_checked[number / 32];
    const std::uint32_t bit = 1u << (number % 32);
    if (word.load(std::memory_order_relaxed) & bit)
        return;
    const CHeader& header = *At<CHeader>(m_image, 0);
    if (!IsRecordOffset(offset, header.listSize))
        throw CDamaged();
    const BYTE* record = m_image + header.listOffset + offset;
    const std::size_t size = FilterRecordSize(reinterpret_cast<const FilterRule*>(record)->length);
    if (size > header.listSize - offset || RecordHash(record, size) != hash)
        throw CDamaged();
    word.fetch_or(bit, std::memory_order_relaxed);
}

bool CFilterIndex::MatchEntry(const CEntry& entry, std::size_t number, const wchar_t* url) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    if (entry.rule & kRegexRule) {
        const std::uint32_t index = entry.rule & ~kRegexRule;
        if (index >= header.regexCount)
            throw CDamaged();
        Verify(number, At<std::uint32_t>(m_image, header.regexOffset)[index], entry.recordHash);
        const CCompiledRegex* regex = GetRegex(index);
        return regex && regex->Search(url);
    }
    const std::uint32_t offset = entry.rule & ~kRunDecides;
    Verify(number, offset, entry.recordHash);
    return MatchWildcard(reinterpret_cast<const FilterRule*>(m_image + header.listOffset + offset)->body, url);
}

const CCompiledRegex* CFilterIndex::GetRegex(std::uint32_t index) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    if (const CCompiledRegex* regex = m_regexes[index].load(std::memory_order_acquire))
        return regex;
    const std::uint32_t offset = At<std::uint32_t>(m_image, header.regexOffset)[index];
    const auto& record = *reinterpret_cast<const FilterRule*>(m_image + header.listOffset + offset);
    std::size_t length = 0;
    while (length < record.length && record.body[length] != L'\0')
        ++length;
    auto compiled = std::make_unique<CCompiledRegex>(std::wstring_view(record.body, length));
    // Two threads may compile the same body at once; the first to finish
    // wins and the other's copy goes.
    CCompiledRegex* expected = nullptr;
    if (m_regexes[index].compare_exchange_strong(expected, compiled.get(), std::memory_order_acq_rel))
        return compiled.release();
    return expected;
}
