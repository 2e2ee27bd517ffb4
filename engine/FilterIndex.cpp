#include "engine/FilterIndexFormat.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

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

}  // namespace

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
