#include "engine/FilterIndex.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <unordered_map>

#include "com/Error.h"
#include "engine/RegexSearch.h"

// Image layout (little-endian; every table 8-byte aligned):
//   CHeader
//   the list's bytes, then zero bytes up to the next multiple of 8 (at least
//   two: a zero-terminated read that starts inside the list ends inside the
//   image whatever the list holds)
//   the regular-expression table: list offset of every regex record
//   two lookup tables, block records then exception records; each:
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

namespace {

constexpr std::uint32_t kMagic = 0x58444951;  // "QIDX"
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kGram = 4;
constexpr std::uint32_t kMinBits = 6;
constexpr std::uint32_t kMaxBits = 24;
// runStart of an entry whose record has no literal run to check first.
constexpr std::uint16_t kNoRun = 0xFFFF;
// rule: a list offset, or this bit and an index into the regex table.
constexpr std::uint32_t kRegexRule = 0x80000000u;

enum CTableIndex
{
    kBlockTable,
    kExceptionTable,
    kTableCount
};

struct CHeader
{
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t imageSize;
    std::uint32_t generation;
    std::uint64_t checksum;
    std::uint32_t listOffset;
    std::uint32_t listSize;
    std::uint32_t regexOffset;
    std::uint32_t regexCount;
    CFilterIndex::CTable tables[kTableCount];
};

struct CEntry
{
    std::uint32_t key;
    std::uint32_t rule;
    std::uint16_t runStart;   // body unit where the key's literal run starts
    std::uint16_t runOffset;  // the key's position in that run, in characters
};
static_assert(sizeof(CEntry) == 12);

constexpr std::uint64_t kKeyMultiplier = 0x9E3779B97F4A7C15ull;
// Prefix and suffix keys of 1 to 4 characters live in hash domains of their
// own, apart from the pieces found anywhere.
constexpr std::uint64_t kPrefixSalt = 0xA24BAED4963EE407ull;
constexpr std::uint64_t kSuffixSalt = 0x9FB21C651E98DF25ull;

inline std::uint32_t HashKey(std::uint64_t packed) noexcept
{
    return static_cast<std::uint32_t>((packed * kKeyMultiplier) >> 32);
}

inline std::uint64_t Pack(const wchar_t* folded, std::size_t count) noexcept
{
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < count; ++i)
        packed = packed << 16 | static_cast<std::uint16_t>(folded[i]);
    return packed;
}

inline std::uint32_t PrefixKey(std::uint64_t packed, std::size_t length) noexcept
{
    return HashKey(packed ^ (kPrefixSalt * length));
}

inline std::uint32_t SuffixKey(std::uint64_t packed, std::size_t length) noexcept
{
    return HashKey(packed ^ (kSuffixSalt * length));
}

std::size_t Align8(std::size_t n) noexcept
{
    return (n + 7) & ~std::size_t{7};
}

std::uint64_t Rotate(std::uint64_t x, int r) noexcept
{
    return x << r | x >> (64 - r);
}

// A 64-bit checksum of byte ranges (four lanes of multiply-rotate rounds);
// detects damage, not forgery.
class CChecksum
{
public:
    void Add(const BYTE* data, std::size_t size) noexcept
    {
        constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
        constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
        std::size_t i = 0;
        for (; i + 32 <= size; i += 32) {
            for (int lane = 0; lane < 4; ++lane) {
                std::uint64_t word;
                std::memcpy(&word, data + i + 8 * lane, sizeof word);
                m_lanes[lane] = Rotate(m_lanes[lane] + word * kPrime2, 31) * kPrime1;
            }
        }
        for (; i < size; ++i)
            m_lanes[i & 3] = Rotate(m_lanes[i & 3] + data[i] * kPrime1, 11) * kPrime2;
        m_length += size;
    }
    std::uint64_t Value() const noexcept
    {
        std::uint64_t h = m_length;
        for (int lane = 0; lane < 4; ++lane)
            h = Rotate(h ^ m_lanes[lane], 27) * 0x9E3779B185EBCA87ull + 0x85EBCA77C2B2AE63ull;
        h ^= h >> 33;
        h *= 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 29;
        return h;
    }

private:
    std::uint64_t m_lanes[4] = {0x60EA27EEADC0B5D6ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                                0x61C8864E7A143579ull};
    std::uint64_t m_length = 0;
};

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

// ---- Building ------------------------------------------------------------

struct CCandidate
{
    std::uint32_t key;
    std::uint16_t runStart;
    std::uint16_t runOffset;
    std::uint32_t penalty;
};

struct CRuleKeys
{
    std::uint32_t rule;
    std::uint32_t listOffset;  // orders entries of one bucket as the list does
    CTableIndex table;
    std::size_t first;  // candidates [first, last) of the shared vector
    std::size_t last;
};

struct CRun
{
    std::size_t start;  // body unit of the run's first character
    std::wstring folded;
};

// The literal runs of a wildcard body, split exactly as MatchWildcard reads
// the pattern: "*" and an unescaped "?" end a run; "\" and the unit after
// it are one literal; a "\" that ends the body is a literal backslash.
void WildcardRuns(const wchar_t* body, std::size_t length, std::vector<CRun>& runs, bool& anchoredStart,
                  bool& anchoredEnd)
{
    runs.clear();
    anchoredStart = length > 0 && body[0] != L'*' && body[0] != L'?';
    bool lastLiteral = false;
    bool inRun = false;
    for (std::size_t i = 0; i < length;) {
        const wchar_t c = body[i];
        if (c == L'*' || c == L'?') {
            inRun = false;
            lastLiteral = false;
            ++i;
            continue;
        }
        const std::size_t at = i;
        wchar_t literal = c;
        if (c == L'\\' && i + 1 < length) {
            literal = body[i + 1];
            i += 2;
        } else {
            i += 1;
        }
        if (!inRun) {
            runs.push_back(CRun{at, std::wstring()});
            inRun = true;
        }
        runs.back().folded += FoldAscii(literal);
        lastLiteral = true;
    }
    anchoredEnd = lastLiteral;
}

// Pieces of text common in URLs of every site: a record filed under one of
// them would be looked at for almost every URL.
const wchar_t* const kCommonUrlText[] = {
    L"HTTP://", L"HTTPS://", L"WWW.", L".COM/", L".NET/", L".ORG/", L".HTML", L".PHP", L".JS?", L".CSS",
    L".PNG", L".JPG", L".GIF", L"/IMAGES/", L"/STATIC/", L"/ASSETS/", L"/JS/", L"/CSS/", L"/IMG/", L"CDN.",
    L"/WP-CONTENT/", L"GOOGLE", L"=TRUE", L"=FALSE", L"&V=", L"?V=", L"/API/", L"/V1/", L"/V2/", L"/EN/",
};

class CKeyChooser
{
public:
    CKeyChooser()
    {
        for (const wchar_t* text : kCommonUrlText) {
            const std::size_t length = std::wcslen(text);
            for (std::size_t i = 0; i + kGram <= length; ++i)
                m_common[HashKey(Pack(text + i, kGram))] = true;
        }
        // Every URL starts with one of these.
        const wchar_t scheme[] = L"HTTP";
        for (std::size_t length = 1; length <= kGram; ++length)
            m_common[PrefixKey(Pack(scheme, length), length)] = true;
    }

    std::uint32_t Penalty(std::uint32_t key) const
    {
        return m_common.count(key) ? 1u << 20 : 0;
    }

private:
    std::unordered_map<std::uint32_t, bool> m_common;
};

void AddWildcardCandidates(const FilterRule& rule, const CKeyChooser& chooser, std::vector<CRun>& runs,
                           std::vector<CCandidate>& out)
{
    bool anchoredStart = false, anchoredEnd = false;
    WildcardRuns(rule.body, EffectiveLength(rule), runs, anchoredStart, anchoredEnd);
    for (const CRun& run : runs) {
        const std::size_t size = run.folded.size();
        for (std::size_t o = 0; o + kGram <= size; ++o) {
            const std::uint32_t key = HashKey(Pack(run.folded.data() + o, kGram));
            out.push_back(CCandidate{key, static_cast<std::uint16_t>(run.start), static_cast<std::uint16_t>(o),
                                     chooser.Penalty(key)});
        }
    }
    if (anchoredStart) {
        const CRun& run = runs.front();
        const std::size_t length = std::min(kGram, run.folded.size());
        const std::uint32_t key = PrefixKey(Pack(run.folded.data(), length), length);
        out.push_back(CCandidate{key, static_cast<std::uint16_t>(run.start), 0, chooser.Penalty(key)});
    }
    if (anchoredEnd) {
        const CRun& run = runs.back();
        const std::size_t length = std::min(kGram, run.folded.size());
        const std::size_t offset = run.folded.size() - length;
        const std::uint32_t key = SuffixKey(Pack(run.folded.data() + offset, length), length);
        out.push_back(CCandidate{key, static_cast<std::uint16_t>(run.start), static_cast<std::uint16_t>(offset),
                                 chooser.Penalty(key)});
    }
}

void AddRegexCandidates(const FilterRule& rule, const CKeyChooser& chooser, std::vector<CCandidate>& out)
{
    for (const std::wstring& literal : RegexRequiredLiterals(std::wstring_view(rule.body, EffectiveLength(rule)))) {
        std::wstring folded(literal);
        for (wchar_t& c : folded)
            c = FoldAscii(c);
        for (std::size_t o = 0; o + kGram <= folded.size(); ++o) {
            const std::uint32_t key = HashKey(Pack(folded.data() + o, kGram));
            out.push_back(CCandidate{key, kNoRun, 0, chooser.Penalty(key)});
        }
    }
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

// Lays out one table at `offset` (8-aligned) and returns the offset after it.
std::size_t LayOutTable(CTableBuild& build, CFilterIndex::CTable& table, std::size_t offset,
                        std::vector<BYTE>* image)
{
    // Buckets: about 16 per distinct key, so that most pieces of a URL find
    // their bit clear.
    std::vector<std::uint32_t> keys;
    keys.reserve(build.entries.size());
    for (const CEntry& entry : build.entries)
        keys.push_back(entry.key);
    std::sort(keys.begin(), keys.end());
    const std::size_t distinct = static_cast<std::size_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
    std::uint32_t bits = kMinBits;
    while (bits < kMaxBits && (std::size_t{1} << bits) < distinct * 16)
        ++bits;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::size_t words = buckets / 64;
    const int shift = 32 - static_cast<int>(bits);

    // Entries by bucket, and within a bucket in list order.
    std::vector<std::size_t> order(build.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const std::uint32_t ba = build.entries[a].key >> shift, bb = build.entries[b].key >> shift;
        return ba != bb ? ba < bb : build.listOffsets[a] < build.listOffsets[b];
    });
    std::vector<std::uint64_t> bitset(words, 0);
    std::vector<std::uint32_t> starts;
    std::vector<CEntry> sorted;
    sorted.reserve(order.size());
    std::uint32_t previous = 0xFFFFFFFFu;
    for (std::size_t i : order) {
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

// Does the wildcard run that starts at body[runStart] appear in the URL at
// url[0..]? Same reading of the pattern as MatchWildcard.
inline bool RunMatches(const wchar_t* run, const wchar_t* url, std::size_t available) noexcept
{
    for (std::size_t j = 0;; ++j) {
        wchar_t c = *run;
        if (c == L'\0' || c == L'*' || c == L'?')
            return true;
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

}  // namespace

std::vector<BYTE> BuildFilterIndex(const BYTE* list, DWORD size, const std::vector<const FilterRule*>& records,
                                   DWORD generation)
{
    CKeyChooser chooser;
    std::vector<CCandidate> candidates;
    std::vector<CRuleKeys> rules;
    std::vector<std::uint32_t> regexOffsets;
    rules.reserve(records.size());
    std::vector<CRun> runs;
    for (const FilterRule* record : records) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(record);
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(list);
        if (at < base || at - base > size || size - (at - base) < FilterRecordSize(0) ||
            size - (at - base) < FilterRecordSize(*record) || (at - base) % 2 != 0)
            ThrowHResult(E_INVALIDARG);
        const std::uint32_t offset = static_cast<std::uint32_t>(at - base);
        CRuleKeys rule{offset, offset, record->isException ? kExceptionTable : kBlockTable, candidates.size(), 0};
        if (record->isRegex) {
            rule.rule = kRegexRule | static_cast<std::uint32_t>(regexOffsets.size());
            regexOffsets.push_back(offset);
            AddRegexCandidates(*record, chooser, candidates);
        } else {
            AddWildcardCandidates(*record, chooser, runs, candidates);
        }
        // One candidate per key: a piece that occurs twice in a record
        // counts once.
        std::sort(candidates.begin() + static_cast<std::ptrdiff_t>(rule.first), candidates.end(),
                  [](const CCandidate& a, const CCandidate& b) { return a.key < b.key; });
        candidates.erase(std::unique(candidates.begin() + static_cast<std::ptrdiff_t>(rule.first), candidates.end(),
                                     [](const CCandidate& a, const CCandidate& b) { return a.key == b.key; }),
                         candidates.end());
        rule.last = candidates.size();
        rules.push_back(rule);
    }

    // Each record takes the key that costs least: one that few records
    // could use (it is less likely to be in a URL), that few have taken
    // already (its bucket stays short), and not a piece of every URL. Records
    // with the fewest choices choose first.
    std::unordered_map<std::uint32_t, std::uint32_t> usable[kTableCount], taken[kTableCount];
    for (const CRuleKeys& rule : rules) {
        for (std::size_t i = rule.first; i < rule.last; ++i)
            ++usable[rule.table][candidates[i].key];
    }
    std::vector<std::size_t> order(rules.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return rules[a].last - rules[a].first < rules[b].last - rules[b].first;
    });
    CTableBuild builds[kTableCount];
    for (std::size_t index : order) {
        const CRuleKeys& rule = rules[index];
        CTableBuild& build = builds[rule.table];
        if (rule.first == rule.last) {
            build.always.push_back(CEntry{0, rule.rule, kNoRun, 0});
            continue;
        }
        const CCandidate* best = nullptr;
        std::uint64_t bestCost = 0;
        for (std::size_t i = rule.first; i < rule.last; ++i) {
            const CCandidate& c = candidates[i];
            const std::uint64_t cost = std::uint64_t{c.penalty} + 4 * std::uint64_t{taken[rule.table][c.key]} +
                                       usable[rule.table][c.key];
            if (!best || cost < bestCost) {
                best = &c;
                bestCost = cost;
            }
        }
        ++taken[rule.table][best->key];
        build.entries.push_back(CEntry{best->key, rule.rule, best->runStart, best->runOffset});
        build.listOffsets.push_back(rule.listOffset);
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
    std::size_t offset = ListEnd(header);
    header.regexOffset = static_cast<std::uint32_t>(offset);
    header.regexCount = static_cast<std::uint32_t>(regexOffsets.size());
    offset = Align8(offset + regexOffsets.size() * sizeof(std::uint32_t));
    const std::size_t tablesOffset = offset;
    for (int t = 0; t < kTableCount; ++t)
        offset = LayOutTable(builds[t], header.tables[t], offset, nullptr);
    if (offset > 0x7FFFFFFF)
        ThrowHResult(HResultFromWin32(ERROR_FILE_TOO_LARGE));
    header.imageSize = static_cast<std::uint32_t>(offset);

    std::vector<BYTE> image(offset, 0);
    Write(image, header.listOffset, list, size);
    Write(image, header.regexOffset, regexOffsets.data(), regexOffsets.size() * sizeof(std::uint32_t));
    offset = tablesOffset;
    for (int t = 0; t < kTableCount; ++t)
        offset = LayOutTable(builds[t], header.tables[t], offset, &image);
    Write(image, 0, &header, sizeof header);
    header.checksum = ImageChecksum(image.data(), header, ListEnd(header), image.size());
    Write(image, 0, &header, sizeof header);
    return image;
}

std::unique_ptr<CFilterIndex> CFilterIndex::Open(const BYTE* image, std::size_t size)
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
    if (ImageChecksum(image, header, ListEnd(header), size) != header.checksum)
        return nullptr;
    return std::unique_ptr<CFilterIndex>(new CFilterIndex(image, size));
}

CFilterIndex::CFilterIndex(const BYTE* image, std::size_t size)
    : m_image(image),
      m_size(size),
      m_regexes(new std::atomic<CCompiledRegex*>[At<CHeader>(image, 0)->regexCount]())
{
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

bool CFilterIndex::IsAllowed(const wchar_t* url) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    const std::size_t length = std::wcslen(url);
    // Exceptions matter only once a block record matches.
    if (!AnyMatch(header.tables[kBlockTable], url, length))
        return true;
    return AnyMatch(header.tables[kExceptionTable], url, length);
}

bool CFilterIndex::AnyMatch(const CTable& table, const wchar_t* url, std::size_t length) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    const std::uint64_t* bitset = At<std::uint64_t>(m_image, table.bitsetOffset);
    const std::uint32_t* rank = At<std::uint32_t>(m_image, table.rankOffset);
    const std::uint32_t* starts = At<std::uint32_t>(m_image, table.startsOffset);
    const CEntry* entries = At<CEntry>(m_image, table.entriesOffset);
    const int shift = 32 - static_cast<int>(table.bits);
    const BYTE* list = m_image + header.listOffset;

    // The entries filed under `key`, found at url[position]: check the
    // record's literal run there, then the record itself.
    auto probe = [&](std::uint32_t key, std::size_t position) -> bool {
        const std::uint32_t bucket = key >> shift;
        const std::uint64_t word = bitset[bucket / 64];
        const std::uint64_t bit = std::uint64_t{1} << (bucket % 64);
        if (!(word & bit))
            return false;
        const std::uint32_t r = rank[bucket / 64] + static_cast<std::uint32_t>(__builtin_popcountll(word & (bit - 1)));
        if (r >= table.bucketCount)
            return false;
        const std::uint32_t first = starts[r], last = std::min(starts[r + 1], table.entryCount);
        for (std::uint32_t i = first; i < last; ++i) {
            const CEntry& entry = entries[i];
            if (entry.key != key)
                continue;
            if (entry.runStart != kNoRun) {
                if (entry.runOffset > position || (entry.rule & kRegexRule) || entry.rule % 2 != 0 ||
                    std::uint64_t{entry.rule} + FilterRecordSize(0) > header.listSize)
                    continue;
                const wchar_t* body = reinterpret_cast<const FilterRule*>(list + entry.rule)->body;
                const std::size_t start = position - entry.runOffset;
                if (!RunMatches(body + entry.runStart, url + start, length - start))
                    continue;
            }
            if (MatchEntry(entry.rule, url))
                return true;
        }
        return false;
    };

    if (length >= kGram) {
        std::uint64_t window = 0;
        for (std::size_t i = 0; i < length; ++i) {
            window = window << 16 | static_cast<std::uint16_t>(FoldAscii(url[i]));
            if (i + 1 < kGram)
                continue;
            const std::uint32_t key = HashKey(window);
            const std::uint32_t bucket = key >> shift;
            if (!((bitset[bucket / 64] >> (bucket % 64)) & 1))
                continue;
            if (probe(key, i + 1 - kGram))
                return true;
        }
    }
    wchar_t folded[kGram];
    const std::size_t edge = std::min(kGram, length);
    for (std::size_t i = 0; i < edge; ++i)
        folded[i] = FoldAscii(url[i]);
    for (std::size_t n = 1; n <= edge; ++n) {
        if (probe(PrefixKey(Pack(folded, n), n), 0))
            return true;
    }
    for (std::size_t i = 0; i < edge; ++i)
        folded[i] = FoldAscii(url[length - edge + i]);
    for (std::size_t n = 1; n <= edge; ++n) {
        if (probe(SuffixKey(Pack(folded + edge - n, n), n), length - n))
            return true;
    }
    const CEntry* always = At<CEntry>(m_image, table.alwaysOffset);
    for (std::uint32_t i = 0; i < table.alwaysCount; ++i) {
        if (MatchEntry(always[i].rule, url))
            return true;
    }
    return false;
}

bool CFilterIndex::MatchEntry(std::uint32_t rule, const wchar_t* url) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    if (rule & kRegexRule) {
        const CCompiledRegex* regex = GetRegex(rule & ~kRegexRule);
        return regex && regex->Search(url);
    }
    if (rule % 2 != 0 || std::uint64_t{rule} + FilterRecordSize(0) > header.listSize)
        return false;
    return MatchWildcard(reinterpret_cast<const FilterRule*>(m_image + header.listOffset + rule)->body, url);
}

const CCompiledRegex* CFilterIndex::GetRegex(std::uint32_t index) const
{
    const CHeader& header = *At<CHeader>(m_image, 0);
    if (index >= header.regexCount)
        return nullptr;
    if (const CCompiledRegex* regex = m_regexes[index].load(std::memory_order_acquire))
        return regex;
    const std::uint32_t offset = At<std::uint32_t>(m_image, header.regexOffset)[index];
    if (offset % 2 != 0 || std::uint64_t{offset} + FilterRecordSize(0) > header.listSize)
        return nullptr;
    const auto& record = *reinterpret_cast<const FilterRule*>(m_image + header.listOffset + offset);
    // The record's length may claim more than the list holds (a forged
    // image); the terminator after the list copy bounds the read.
    const std::size_t available = (header.listSize - offset - FilterRecordSize(0)) / 2;
    std::size_t length = 0;
    while (length < record.length && length <= available && record.body[length] != L'\0')
        ++length;
    auto compiled = std::make_unique<CCompiledRegex>(std::wstring_view(record.body, length));
    // Two threads may compile the same body at once; the first to finish
    // wins and the other's copy goes.
    CCompiledRegex* expected = nullptr;
    if (m_regexes[index].compare_exchange_strong(expected, compiled.get(), std::memory_order_acq_rel))
        return compiled.release();
    return expected;
}
