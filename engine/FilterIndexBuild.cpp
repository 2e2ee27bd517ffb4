#include "engine/FilterIndex.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "com/Error.h"
#include "engine/FilterIndexFormat.h"
#include "engine/RegexSearch.h"

using namespace filter_index;

namespace {


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
std::size_t LayOutTable(const CTableBuild& build, std::size_t bucketsPerKey, CTable& table,
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