#include "engine/FilterIndex.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "engine/FilterIndexFormat.h"
#include "engine/RegexSearch.h"

using namespace filter_index;

namespace {

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

// Reads a value of the shared image into private memory: the compiler may
// neither skip the copy nor read the shared bytes again in its place, so a
// value checked once stays the value that is used.
inline void Settle(const void* copy) noexcept
{
    asm volatile("" : : "r"(copy) : "memory");
}

template <class T>
T ReadOnce(const BYTE* at) noexcept
{
    T value;
    std::memcpy(&value, at, sizeof value);
    Settle(&value);
    return value;
}

}  // namespace

// The header as Open checked it. Lookups read the header from here only:
// another process of the user may rewrite the mapped image at any time.
struct CFilterIndex::CLayout
{
    CHeader header;
};

// One record of the list copy, copied into private memory and proven to be
// the record the entry was built for; matchers read only this copy, which
// ends with its terminator.
class CFilterIndex::CRecord
{
public:
    const FilterRule& Get() const noexcept { return *reinterpret_cast<const FilterRule*>(m_bytes); }
    bool Empty() const noexcept { return m_size == 0; }
    BYTE* Reserve(std::size_t size)
    {
        m_bytes = m_local;
        if (size > sizeof m_local) {
            m_large.resize(size);
            m_bytes = m_large.data();
        }
        m_size = size;
        return m_bytes;
    }

private:
    alignas(8) BYTE m_local[512];
    std::vector<BYTE> m_large;
    BYTE* m_bytes = m_local;
    std::size_t m_size = 0;
};

std::unique_ptr<CFilterIndex> CFilterIndex::Open(const BYTE* image, std::size_t size, bool checksum)
{
    if (size < sizeof(CHeader))
        return nullptr;
    CLayout layout;
    CHeader& header = layout.header;
    std::memcpy(&header, image, sizeof header);
    Settle(&header);
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
    return std::unique_ptr<CFilterIndex>(new CFilterIndex(image, layout));
}

CFilterIndex::CFilterIndex(const BYTE* image, const CLayout& layout)
    : m_image(image),
      m_layout(std::make_unique<CLayout>(layout)),
      m_regexes(new std::atomic<CCompiledRegex*>[layout.header.regexCount]())
{
}

CFilterIndex::~CFilterIndex()
{
    for (std::uint32_t i = 0; i < m_layout->header.regexCount; ++i)
        delete m_regexes[i].load();
}

DWORD CFilterIndex::GetGeneration() const noexcept
{
    return m_layout->header.generation;
}

const BYTE* CFilterIndex::GetList() const noexcept
{
    return m_image + m_layout->header.listOffset;
}

DWORD CFilterIndex::GetListSize() const noexcept
{
    return m_layout->header.listSize;
}

std::uint64_t CFilterIndex::GetListHash() const noexcept
{
    return m_layout->header.listHash;
}

std::optional<bool> CFilterIndex::IsAllowed(const wchar_t* url, const CRegexTimeBound* bound, bool blockMatched) const
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
    const CQuery query{url, keys, length, bound};
    try {
        // Exceptions matter only once a block record matches.
        if (!blockMatched && !AnyMatch(0, query))
            return true;
        return AnyMatch(kTablesPerKind, query);
    } catch (const CDamaged&) {
        m_damaged.store(true);
        return std::nullopt;
    }
}

bool CFilterIndex::Probe(int t, std::uint32_t key, const CQuery& query, std::size_t position) const
{
    const CTable& table = m_layout->header.tables[t];
    // Every value read from the image is read once and checked against the
    // private header before it is used as an index.
    const std::uint32_t bucket = key >> (32 - table.bits);
    const std::uint64_t word = ReadOnce<std::uint64_t>(m_image + table.bitsetOffset + bucket / 64 * sizeof word);
    const std::uint64_t bit = std::uint64_t{1} << (bucket % 64);
    if (!(word & bit))
        return false;
    const std::uint32_t r = ReadOnce<std::uint32_t>(m_image + table.rankOffset + bucket / 64 * sizeof(std::uint32_t)) +
                            static_cast<std::uint32_t>(__builtin_popcountll(word & (bit - 1)));
    if (r >= table.bucketCount)
        return false;
    const BYTE* starts = m_image + table.startsOffset;
    const std::uint32_t first = ReadOnce<std::uint32_t>(starts + r * sizeof(std::uint32_t));
    const std::uint32_t last =
        std::min(ReadOnce<std::uint32_t>(starts + (r + 1) * sizeof(std::uint32_t)), table.entryCount);
    CRecord record;
    for (std::uint32_t i = first; i < last; ++i) {
        const CEntry entry = ReadOnce<CEntry>(m_image + table.entriesOffset + std::size_t{i} * sizeof(CEntry));
        if (entry.key != key)
            continue;
        // The record's literal segment must be in the URL where the key was
        // found; checking that is much cheaper than the record's matcher,
        // and for most records it is the whole answer.
        record.Reserve(0);
        if (entry.runStart != kNoRun) {
            if (entry.runOffset > position || (entry.rule & kRegexRule))
                continue;
            CopyRecord(entry.rule & ~kRunDecides, entry.recordHash, record);
            const FilterRule& rule = record.Get();
            // A run that starts past the record's body would read beyond it.
            if (entry.runStart > rule.length)
                throw CDamaged();
            const std::size_t start = position - entry.runOffset;
            if (!SegmentMatches(rule.body + entry.runStart, query.url + start, query.length - start))
                continue;
            if (entry.rule & kRunDecides)
                return true;
        }
        if (MatchEntry(entry, record, query))
            return true;
    }
    return false;
}

bool CFilterIndex::AnyMatch(int first, const CQuery& query) const
{
    const std::uint8_t* const keys = query.keys;
    const std::size_t length = query.length;
    const CHeader& header = m_layout->header;
    const CTable& longTable = header.tables[first + kLongTable];
    const CTable& shortTable = header.tables[first + kShortTable];
    const CTable& edgeTable = header.tables[first + kEdgeTable];
    // A bit of these sets is read once per piece, and says only whether the
    // bucket is looked at (where every value is checked again).
    const std::uint64_t* longBits = reinterpret_cast<const std::uint64_t*>(m_image + longTable.bitsetOffset);
    const std::uint64_t* shortBits = reinterpret_cast<const std::uint64_t*>(m_image + shortTable.bitsetOffset);
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
            if (((shortBits[bucket / 64] >> (bucket % 64)) & 1) && Probe(first + kShortTable, key, query, i))
                return true;
        }
    }
    if (longTable.entryCount != 0) {
        for (std::size_t i = 0; i + kLongPiece <= length; ++i) {
            std::uint64_t piece;
            std::memcpy(&piece, keys + i, sizeof piece);
            const std::uint32_t key = LongKey(piece);
            const std::uint32_t bucket = key >> longShift;
            if (((longBits[bucket / 64] >> (bucket % 64)) & 1) && Probe(first + kLongTable, key, query, i))
                return true;
        }
    }
    if (edgeTable.entryCount != 0) {
        const std::size_t edge = std::min(kEdge, length);
        for (std::size_t n = 1; n <= edge; ++n) {
            if (Probe(first + kEdgeTable, PrefixKey(PackKeys(keys, n), n), query, 0) ||
                Probe(first + kEdgeTable, SuffixKey(PackKeys(keys + length - n, n), n), query, length - n))
                return true;
        }
    }
    if (edgeTable.alwaysCount != 0) {
        CUrlPairs pairs;
        CRecord record;
        for (std::uint32_t i = 0; i < edgeTable.alwaysCount; ++i) {
            const CEntry entry = ReadOnce<CEntry>(m_image + edgeTable.alwaysOffset + std::size_t{i} * sizeof(CEntry));
            record.Reserve(0);
            if (pairs.Contains(entry.key, keys, length) && MatchEntry(entry, record, query))
                return true;
        }
    }
    return false;
}

void CFilterIndex::CopyRecord(std::uint32_t offset, std::uint32_t hash, CRecord& record) const
{
    const CHeader& header = m_layout->header;
    if (!IsRecordOffset(offset, header.listSize))
        throw CDamaged();
    const BYTE* at = m_image + header.listOffset + offset;
    const WORD length = ReadOnce<WORD>(at + offsetof(FilterRule, length));
    const std::size_t size = FilterRecordSize(length);
    if (size > header.listSize - offset)
        throw CDamaged();
    BYTE* copy = record.Reserve(size);
    std::memcpy(copy, at, size);
    Settle(copy);
    // The copy is checked whole, every time: the shared bytes may have
    // changed since any earlier look.
    const FilterRule& rule = record.Get();
    if (rule.length != length || rule.body[length] != L'\0' || RecordHash(copy, size) != hash)
        throw CDamaged();
}

bool CFilterIndex::MatchEntry(const CEntry& entry, CRecord& record, const CQuery& query) const
{
    if (entry.rule & kRegexRule) {
        const std::uint32_t index = entry.rule & ~kRegexRule;
        if (index >= m_layout->header.regexCount)
            throw CDamaged();
        // A spent bound answers "no match" without compiling either.
        if (query.bound && query.bound->IsSpent())
            return false;
        const CCompiledRegex* regex = GetRegex(index, entry.recordHash);
        return regex && regex->Search(query.url, nullptr, query.bound);
    }
    if (record.Empty())
        CopyRecord(entry.rule & ~kRunDecides, entry.recordHash, record);
    return MatchWildcard(record.Get().body, query.url);
}

const CCompiledRegex* CFilterIndex::GetRegex(std::uint32_t index, std::uint32_t hash) const
{
    if (const CCompiledRegex* regex = m_regexes[index].load(std::memory_order_acquire))
        return regex;
    const std::uint32_t offset =
        ReadOnce<std::uint32_t>(m_image + m_layout->header.regexOffset + std::size_t{index} * sizeof(std::uint32_t));
    CRecord record;
    CopyRecord(offset, hash, record);
    auto compiled = std::make_unique<CCompiledRegex>(std::wstring_view(record.Get().body, EffectiveLength(record.Get())));
    // Two threads may compile the same body at once; the first to finish
    // wins and the other's copy goes.
    CCompiledRegex* expected = nullptr;
    if (m_regexes[index].compare_exchange_strong(expected, compiled.get(), std::memory_order_acq_rel))
        return compiled.release();
    return expected;
}
