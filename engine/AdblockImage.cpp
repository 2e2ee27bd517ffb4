#include "engine/AdblockImage.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <cwchar>
#include <new>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "com/Error.h"
#include "engine/PublicSuffix.h"
#include "engine/RegexSearch.h"

namespace {

constexpr std::uint32_t kMagic = 0x49424151;  // "QABI"
constexpr std::uint32_t kVersion = 4;
constexpr std::uint32_t kMaxBucketBits = 24;

enum : std::uint16_t
{
    kException = 1,
    kRegex = 2,
    kAnchorHost = 4,
    kAnchorStart = 8,
    kAnchorEnd = 16,
    kMatchCase = 32,
    kImportant = 64,
    kThirdParty = 128,
    kFirstParty = 256,
    kPositiveDomain = 512,
};
enum : std::uint16_t
{
    kDomainNegated = 1,
    kDomainEntity = 2,
};

}  // namespace

struct CAdblockImage::CFilterRecordView
{
    std::uint32_t patternOffset;  // into the string pool
    std::uint32_t patternLength;
    std::uint32_t domainsStart;  // index of its first domain entry
    std::uint32_t domainCount;
    std::uint32_t line;
    std::uint32_t list;
    // A regular expression's: the index of its compiled-expression slot.
    // Any other filter's: where in its pattern the word it is filed under
    // starts, when only single characters come before it (kNoWordOffset
    // otherwise), so that it is tried only where the URL holds that word.
    std::uint32_t slot;
    std::uint16_t types;
    std::uint16_t flags;
};
static_assert(sizeof(CAdblockImage::CFilterRecordView) == 32);

namespace {

using CFilterRecord = CAdblockImage::CFilterRecordView;
constexpr std::uint32_t kNoWordOffset = 0xFFFFFFFF;

// A posting: the filter's index and the top bits of its key (so that a
// bucket shared by other keys costs a compare, not a look at the filter),
// then what the filter asks of a request that the URL's words can answer
// without reading the filter: its types, whether it is "$important" or needs
// the page, and the characters around its word.
constexpr std::uint32_t kMaxFilters = 1u << 24;
constexpr int kKeyTagShift = 24;
constexpr std::uint32_t kPostingTypes = 0xFFF;  // the filter's type mask
constexpr std::uint32_t kPostingImportant = 1u << 12;
constexpr std::uint32_t kPostingNeedsPage = 1u << 13;
constexpr int kPostingBeforeShift = 16;  // a neighbour character each, see below
constexpr int kPostingAfterShift = 24;
static_assert(std::uint32_t(kRequestAnyResource | kRequestDocument | kRequestPopup) <= kPostingTypes);
// A neighbour character: any byte but these two, "^" meaning a separator
// (after the word also the URL's end).
constexpr std::uint8_t kAnyNeighbour = 0;
constexpr std::uint8_t kUrlEndNeighbour = 1;

// A filter's "$domain" entries are sorted by hash, so that a page's host
// and each of its parents are looked up, not compared with every entry
// (some filters name hundreds of sites).
struct CDomainRecord
{
    std::uint32_t hash;  // HashToken of the name
    std::uint32_t nameOffset;
    std::uint16_t nameLength;
    std::uint16_t flags;
};
static_assert(sizeof(CDomainRecord) == 12);

struct CListRecord
{
    std::uint32_t nameOffset;
    std::uint32_t nameLength;
};

struct CTableHeader
{
    std::uint32_t bucketBits;
    std::uint32_t bucketsOffset;  // (1 << bucketBits) + 1 starts into the postings
    std::uint32_t postingsOffset;
    std::uint32_t postingCount;
    std::uint32_t anyOffset;  // filters without a token
    std::uint32_t anyCount;
};

}  // namespace

struct CAdblockImage::CHeader
{
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t size;
    std::uint32_t filterCount;
    std::uint64_t checksum;  // of the rest of the header and the proofs
    std::uint32_t filtersOffset;
    std::uint32_t domainsOffset;
    std::uint32_t domainCount;
    std::uint32_t listsOffset;
    std::uint32_t listCount;
    std::uint32_t stringsOffset;
    std::uint32_t stringsSize;
    std::uint32_t regexCount;
    // Block filters, exception filters, each by a word of the URL; then
    // block and exception filters by a name of the page's host.
    CTableHeader tables[4];
    // One checksum per block of kProofBlock bytes after the header (the
    // last one shorter), proved by the first lookup that reads the block.
    std::uint32_t proofsOffset;
    std::uint32_t proofCount;
};
static_assert(sizeof(CAdblockImage::CHeader) == 160);

namespace {

constexpr std::size_t kChecksumStart = offsetof(CAdblockImage::CHeader, filtersOffset);
// A page: a lookup reads a few dozen of them, never the whole image.
constexpr std::size_t kProofBlock = 4096;
static_assert(kProofBlock == CAdblockImage::kProofBlockSize && sizeof(CAdblockImage::CHeader) == 160);

// Copies `size` bytes that another process may be rewriting: each byte is
// read exactly once, so that what is checked is what is used.
void ReadOnce(void* out, const BYTE* from, std::size_t size) noexcept
{
    std::memcpy(out, from, size);
    // The copy is what is used: the compiler may not read the mapping again
    // in its place (it must assume the mapping changed here).
    __asm__ __volatile__("" ::: "memory");
}

std::uint32_t ReadU32(const BYTE* from) noexcept
{
    std::uint32_t value;
    ReadOnce(&value, from, sizeof(value));
    return value;
}

std::uint64_t Checksum(const BYTE* data, std::size_t size) noexcept
{
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ size;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8)
    {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * 0x100000001B3ull;
        hash ^= hash >> 29;
    }
    for (; i < size; ++i)
        hash = (hash ^ data[i]) * 0x100000001B3ull;
    return hash ^ (hash >> 32);
}

// What the matchers ask of a character, one table lookup each.
enum : std::uint8_t
{
    kTokenChar = 1,  // letters, digits, "%": what words are made of
    kSeparator = 2,  // what "^" matches: not a token character nor "_-.%"
};
struct CCharClasses
{
    std::uint8_t flags[256];
    char lower[256];
    constexpr CCharClasses() : flags(), lower()
    {
        for (int c = 0; c < 256; ++c)
        {
            bool token = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '%' || (c >= 'A' && c <= 'Z');
            flags[c] = static_cast<std::uint8_t>((token ? kTokenChar : 0) |
                                                 (token || c == '_' || c == '-' || c == '.' ? 0 : kSeparator));
            lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        }
    }
};
constexpr CCharClasses kCharClasses;

// The header after its checksum field and the proofs: what Open proves.
std::uint64_t ManifestChecksum(const CAdblockImage::CHeader& header, const std::uint64_t* proofs)
{
    const BYTE* fields = reinterpret_cast<const BYTE*>(&header);
    std::vector<BYTE> bytes(fields + kChecksumStart, fields + sizeof(header));
    const BYTE* sums = reinterpret_cast<const BYTE*>(proofs);
    bytes.insert(bytes.end(), sums, sums + std::size_t(header.proofCount) * 8);
    return Checksum(bytes.data(), bytes.size());
}

bool IsTokenChar(char c) noexcept
{
    return kCharClasses.flags[static_cast<unsigned char>(c)] & kTokenChar;
}

char Lower(char c) noexcept
{
    return kCharClasses.lower[static_cast<unsigned char>(c)];
}

std::uint32_t HashToken(const char* text, std::size_t length) noexcept
{
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(Lower(text[i]))) * 16777619u;
    return hash;
}

bool IsSeparator(char c) noexcept
{
    return kCharClasses.flags[static_cast<unsigned char>(c)] & kSeparator;
}

// Words are keyed by their first kWordPrefix characters: a word of a
// pattern that a URL's word may continue ("/getPixelSso", "/ads/track*")
// still names the filter, when it is at least this long.
constexpr std::size_t kWordPrefix = 7;

std::uint32_t HashWord(const char* text, std::size_t length) noexcept
{
    return HashToken(text, std::min(length, kWordPrefix));
}

// The key of a host name that a "||name^" filter starts with; unlike a
// word's, it is looked up with each label-boundary tail of the URL's host.
std::uint32_t HashHost(const char* text, std::size_t length) noexcept
{
    return HashToken(text, length) * 0x9E3779B1u + 0x7F4A7C15u;
}

// A host name character: what a "||" filter's leading name is made of and
// what a URL's host tail is taken of (anything else ends a host's run).
bool IsHostChar(char c) noexcept
{
    return !IsSeparator(c);
}

// ---- Building ----

struct CParsedFilter
{
    CNetworkFilter filter;
    std::uint32_t list;
    std::uint32_t line;
};

// A word's hash and length, and where it starts in the pattern when that
// is a fixed distance from the match's start (kNoWordOffset otherwise).
struct CToken
{
    std::uint32_t hash;
    std::uint32_t length;
    std::uint32_t offset = kNoWordOffset;
    std::uint32_t penalty = 0;  // WordPenalty
    // The pattern's characters right before and after the word, when a
    // match must hold them there (kAnyNeighbour otherwise).
    std::uint8_t before = kAnyNeighbour;
    std::uint8_t after = kAnyNeighbour;
};

// What a word costs as a filter's key beyond the filters filed under it:
// words every URL holds, whatever the lists say, are never a key when the
// filter has another; words that a good share of URLs hold (paths of
// scripts, styles and their minified copies, common query names, country
// domains) only when its other words are in thousands of filters.
constexpr std::uint32_t kCommonPenalty = 1u << 20;
constexpr std::uint32_t kFrequentPenalty = 1u << 12;
std::uint32_t WordPenalty(const char* text, std::size_t length) noexcept
{
    // (Both in sorted order: looked up by binary search.)
    static const std::string_view kCommon[] = {"cdn", "com", "html", "http", "https", "icon", "images",
                                              "img", "js", "net", "news", "org", "php", "static", "www"};
    static const std::string_view kFrequent[] = {
        "ajax", "api", "app", "asp", "aspx", "asset", "assets", "build", "bundle", "cache", "callback",
        "cb", "cgi", "cn", "co", "common", "components", "content", "core", "css", "data", "de",
        "default", "dist", "embed", "en", "event", "events", "file", "files", "font", "fonts", "fr",
        "gif", "google", "googleapis", "gstatic", "home", "htm", "id", "includes", "index", "info",
        "io", "jp", "jpg", "jquery", "json", "lib", "libs", "main", "media", "min", "module",
        "modules", "page", "player", "plugins", "png", "public", "ru", "script", "scripts", "search",
        "site", "src", "style", "styles", "svg", "themes", "ts", "tv", "type", "uk", "upload",
        "uploads", "url", "us", "user", "v1", "v2", "v3", "vendor", "ver", "version", "video",
        "videos", "web", "webp", "widget", "widgets", "woff", "woff2", "xml"};
    if (length == 1)
        return kCommonPenalty;
    char lower[12];
    if (length >= sizeof(lower))
        return 0;
    for (std::size_t i = 0; i < length; ++i)
        lower[i] = Lower(text[i]);
    const std::string_view word(lower, length);
    if (std::binary_search(std::begin(kCommon), std::end(kCommon), word))
        return kCommonPenalty;
    return std::binary_search(std::begin(kFrequent), std::end(kFrequent), word) ? kFrequentPenalty : 0;
}
constexpr std::uint32_t kHostKeyLength = 0xFFFF;  // a host key wins a tie with any word

// Complete words of a pattern: runs of token characters that a URL holding
// a match must hold as a whole run (not next to "*", not at an unanchored
// edge). Appended to `tokens`.
void AddPatternTokens(const CNetworkFilter& filter, std::vector<CToken>& tokens)
{
    const std::string& p = filter.pattern;
    if (filter.regex)
    {
        std::wstring body(p.begin(), p.end());
        for (const std::wstring& literal : RegexRequiredLiterals(body))
        {
            // Only runs with a non-token character on both sides inside the
            // literal are whole words.
            std::string run(literal.begin(), literal.end());
            std::size_t i = 0;
            while (i < run.size())
            {
                if (!IsTokenChar(run[i]))
                {
                    ++i;
                    continue;
                }
                std::size_t j = i;
                while (j < run.size() && IsTokenChar(run[j]))
                    ++j;
                if (i > 0 && (j < run.size() || j - i >= kWordPrefix))
                    tokens.push_back({HashWord(run.data() + i, j - i), static_cast<std::uint32_t>(j - i), kNoWordOffset,
                                      WordPenalty(run.data() + i, j - i)});
                i = j;
            }
        }
        return;
    }
    // "||name^", "||name/", "||name:": the URL's host is "name" or ends in
    // "." name.
    if (filter.anchorHost)
    {
        std::size_t end = 0;
        while (end < p.size() && IsHostChar(p[end]))
            ++end;
        // (A name without a dot, "||com/...", is a whole top-level domain.)
        std::string_view name(p.data(), end);
        if (end < p.size() && (p[end] == '^' || p[end] == '/' || p[end] == ':') &&
            name.find('.') != std::string_view::npos)
            tokens.push_back({HashHost(p.data(), end), kHostKeyLength, 0});
    }
    // Each character before the first "*" matches exactly one of the URL's
    // (a "^" before a word cannot match the URL's end).
    std::size_t fixed = filter.anchorHost || filter.anchorStart ? 0 : std::min(p.find('*'), p.size());
    std::size_t i = 0;
    while (i < p.size())
    {
        if (!IsTokenChar(p[i]))
        {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < p.size() && IsTokenChar(p[j]))
            ++j;
        bool startOk = i > 0 ? p[i - 1] != '*' : (filter.anchorHost || filter.anchorStart);
        bool whole = j < p.size() ? p[j] != '*' : filter.anchorEnd;
        bool endOk = whole || j - i >= kWordPrefix;
        // (Bytes that stand for no character or the URL's end are not
        // kept as neighbours.)
        auto neighbour = [](char c) {
            std::uint8_t b = static_cast<std::uint8_t>(c);
            return b == kAnyNeighbour || b == kUrlEndNeighbour ? kAnyNeighbour : b;
        };
        if (startOk && endOk)
        {
            // A match holds the word as a whole word of the URL: the
            // character before it is the pattern's, and so is the one
            // after a whole word (or the URL ends there).
            std::uint8_t after = kAnyNeighbour;
            if (whole)
                after = j < p.size() ? neighbour(p[j]) : kUrlEndNeighbour;
            tokens.push_back({HashWord(p.data() + i, j - i), static_cast<std::uint32_t>(j - i),
                              i < fixed ? static_cast<std::uint32_t>(i) : kNoWordOffset,
                              WordPenalty(p.data() + i, j - i), i > 0 ? neighbour(p[i - 1]) : kAnyNeighbour, after});
        }
        i = j;
    }
}

// The string pool: equal strings (the same sites recur in many filters'
// "$domain" lists) are stored once. An open-addressing table over the pool
// itself, so that compiling a long list costs no allocation per string.
class CImageWriter
{
public:
    std::uint32_t AddString(std::string_view s)
    {
        if (2 * (m_used + 1) > m_slots.size())
            Grow();
        std::uint32_t hash = HashToken(s.data(), s.size()) | 1;
        std::size_t mask = m_slots.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask)
        {
            CSlot& slot = m_slots[at];
            if (slot.hash == 0)
            {
                CheckFits(m_strings.size() + s.size());
                slot = {hash, static_cast<std::uint32_t>(m_strings.size()), static_cast<std::uint32_t>(s.size())};
                m_strings.append(s);
                ++m_used;
                return slot.offset;
            }
            if (slot.hash == hash && slot.length == s.size() &&
                std::string_view(m_strings).substr(slot.offset, slot.length) == s)
                return slot.offset;
        }
    }
    std::string m_strings;

    static void CheckFits(std::uint64_t size)
    {
        if (size >= 0x7FFFFFFFull)
            ThrowHResult(E_INVALIDARG);
    }

private:
    struct CSlot
    {
        std::uint32_t hash;  // 0: free
        std::uint32_t offset;
        std::uint32_t length;
    };
    void Grow()
    {
        std::vector<CSlot> old(std::max<std::size_t>(1024, m_slots.size() * 2));
        old.swap(m_slots);
        std::size_t mask = m_slots.size() - 1;
        for (const CSlot& slot : old)
        {
            if (slot.hash == 0)
                continue;
            std::size_t at = slot.hash & mask;
            while (m_slots[at].hash != 0)
                at = (at + 1) & mask;
            m_slots[at] = slot;
        }
    }
    std::vector<CSlot> m_slots;
    std::size_t m_used = 0;
};

template <typename T>
void Append(std::vector<BYTE>& image, const T* items, std::size_t count)
{
    CImageWriter::CheckFits(image.size() + count * sizeof(T));
    const BYTE* bytes = reinterpret_cast<const BYTE*>(items);
    image.insert(image.end(), bytes, bytes + count * sizeof(T));
}

void AlignTo4(std::vector<BYTE>& image)
{
    while (image.size() % 4)
        image.push_back(0);
}

}  // namespace

std::vector<BYTE> BuildAdblockImage(const std::vector<CAdblockListText>& lists, std::vector<CAdblockCounts>* counts)
{
    if (counts)
        counts->assign(lists.size(), CAdblockCounts());
    std::vector<CParsedFilter> parsed;
    std::vector<CNetworkFilter> badfilters;
    for (std::size_t l = 0; l < lists.size(); ++l)
    {
        ForEachAdblockLine(lists[l].text, [&](std::uint32_t number, std::string_view text) {
            CAdblockLine line = ParseAdblockLine(text);
            if (counts)
                (*counts)[l].Add(line);
            if (line.kind != CAdblockLineKind::Network)
                return;
            if (line.filter.badfilter)
                badfilters.push_back(std::move(line.filter));
            else
                parsed.push_back({std::move(line.filter), static_cast<std::uint32_t>(l), number});
        });
    }
    if (!badfilters.empty())
    {
        std::unordered_multimap<std::string, const CNetworkFilter*> byPattern;
        for (const CNetworkFilter& bad : badfilters)
            byPattern.emplace(bad.pattern, &bad);
        parsed.erase(std::remove_if(parsed.begin(), parsed.end(),
                                    [&](const CParsedFilter& f) {
                                        auto range = byPattern.equal_range(f.filter.pattern);
                                        for (auto it = range.first; it != range.second; ++it)
                                        {
                                            if (it->second->SameAs(f.filter))
                                                return true;
                                        }
                                        return false;
                                    }),
                     parsed.end());
    }

    if (parsed.size() >= kMaxFilters)
        ThrowHResult(E_INVALIDARG);

    // One token per filter: the one fewest other filters hold. (Flat
    // arrays: a million filters must not cost a million allocations.)
    std::vector<CToken> candidates;
    std::vector<std::size_t> firstCandidate(parsed.size() + 1, 0);
    for (std::size_t i = 0; i < parsed.size(); ++i)
    {
        firstCandidate[i] = candidates.size();
        AddPatternTokens(parsed[i].filter, candidates);
    }
    firstCandidate[parsed.size()] = candidates.size();
    std::vector<std::uint32_t> sortedHashes(candidates.size());
    for (std::size_t k = 0; k < candidates.size(); ++k)
        sortedHashes[k] = candidates[k].hash;
    std::sort(sortedHashes.begin(), sortedHashes.end());
    auto frequency = [&](std::uint32_t hash) {
        auto range = std::equal_range(sortedHashes.begin(), sortedHashes.end(), hash);
        return static_cast<std::uint32_t>(std::min<std::size_t>(range.second - range.first, 1u << 20));
    };
    std::vector<std::uint32_t> tokenOf(parsed.size()), wordOffsetOf(parsed.size(), kNoWordOffset);
    std::vector<std::uint16_t> neighboursOf(parsed.size(), 0);
    std::vector<bool> hasToken(parsed.size(), false), byPage(parsed.size(), false);
    std::size_t distinct[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < parsed.size(); ++i)
    {
        std::uint32_t best = 0, bestCount = 0;
        std::size_t bestLength = 0;
        for (std::size_t k = firstCandidate[i]; k < firstCandidate[i + 1]; ++k)
        {
            const CToken& token = candidates[k];
            const std::uint32_t count = frequency(token.hash) + token.penalty;
            if (!hasToken[i] || count < bestCount || (count == bestCount && token.length > bestLength))
            {
                best = token.hash;
                wordOffsetOf[i] = token.offset;
                neighboursOf[i] = static_cast<std::uint16_t>(token.before | (token.after << 8));
                bestCount = count;
                bestLength = token.length;
                hasToken[i] = true;
            }
        }
        tokenOf[i] = best;
        // A filter for some sites only whose words are all common
        // ("|http://$domain=a.com|b.com") is filed under those sites: a URL
        // then looks at it only on their pages.
        const CNetworkFilter& f = parsed[i].filter;
        // (A filter with some sites named applies only on one of them,
        // whatever sites it excludes.)
        std::size_t positive = static_cast<std::size_t>(std::count_if(
            f.domains.begin(), f.domains.end(), [](const CAdblockDomain& d) { return !d.negated; }));
        byPage[i] = positive != 0 && (!hasToken[i] || bestCount > 16);
        if (byPage[i])
            distinct[(f.exception ? 1 : 0) + 2] += positive;
        else if (hasToken[i])
            ++distinct[f.exception ? 1 : 0];
    }

    // Filters filed under one key are stored side by side, their patterns
    // too, so that a URL reads a few pages of the image rather than one
    // per filter it looks at (in list order within a key).
    {
        // (One number per filter: its kind, then its key, then its place.)
        std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(parsed.size());
        for (std::size_t i = 0; i < keyed.size(); ++i)
            keyed[i] = {(std::uint64_t(parsed[i].filter.exception) << 33) | (std::uint64_t(byPage[i]) << 32) |
                            (hasToken[i] ? tokenOf[i] : 0u),
                        static_cast<std::uint32_t>(i)};
        std::sort(keyed.begin(), keyed.end());
        std::vector<std::uint32_t> order(parsed.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = keyed[i].second;
        std::vector<CParsedFilter> sorted;
        sorted.reserve(parsed.size());
        std::vector<std::uint32_t> sortedToken(parsed.size()), sortedOffset(parsed.size());
        std::vector<std::uint16_t> sortedNeighbours(parsed.size());
        std::vector<bool> sortedHas(parsed.size()), sortedByPage(parsed.size());
        for (std::size_t k = 0; k < order.size(); ++k)
        {
            sorted.push_back(std::move(parsed[order[k]]));
            sortedToken[k] = tokenOf[order[k]];
            sortedOffset[k] = wordOffsetOf[order[k]];
            sortedNeighbours[k] = neighboursOf[order[k]];
            sortedHas[k] = hasToken[order[k]];
            sortedByPage[k] = byPage[order[k]];
        }
        parsed.swap(sorted);
        tokenOf.swap(sortedToken);
        wordOffsetOf.swap(sortedOffset);
        neighboursOf.swap(sortedNeighbours);
        hasToken.swap(sortedHas);
        byPage.swap(sortedByPage);
    }

    CImageWriter writer;
    std::vector<CFilterRecord> filters(parsed.size());
    std::vector<CDomainRecord> domains;
    std::uint32_t regexCount = 0;
    for (std::size_t i = 0; i < parsed.size(); ++i)
    {
        const CNetworkFilter& f = parsed[i].filter;
        CFilterRecord& r = filters[i];
        r.patternOffset = writer.AddString(f.pattern);
        r.patternLength = static_cast<std::uint32_t>(f.pattern.size());
        r.domainsStart = static_cast<std::uint32_t>(domains.size());
        r.domainCount = static_cast<std::uint32_t>(f.domains.size());
        r.line = parsed[i].line;
        r.list = parsed[i].list;
        // (Filed by site, a filter is not looked up through its word.)
        r.slot = f.regex ? regexCount++ : byPage[i] || !hasToken[i] ? kNoWordOffset : wordOffsetOf[i];
        r.types = f.types;
        r.flags = static_cast<std::uint16_t>(
            (f.exception ? kException : 0) | (f.regex ? kRegex : 0) | (f.anchorHost ? kAnchorHost : 0) |
            (f.anchorStart ? kAnchorStart : 0) | (f.anchorEnd ? kAnchorEnd : 0) | (f.matchCase ? kMatchCase : 0) |
            (f.important ? kImportant : 0) | (f.party == CAdblockParty::Third ? kThirdParty : 0) |
            (f.party == CAdblockParty::First ? kFirstParty : 0));
        for (const CAdblockDomain& d : f.domains)
        {
            if (d.name.size() > 0xFFFF)
                continue;  // no host name is this long: the entry can never match
            domains.push_back({HashToken(d.name.data(), d.name.size()), writer.AddString(d.name),
                               static_cast<std::uint16_t>(d.name.size()),
                               static_cast<std::uint16_t>((d.negated ? kDomainNegated : 0) |
                                                          (d.entity ? kDomainEntity : 0))});
            if (!d.negated)
                r.flags |= kPositiveDomain;
        }
        std::sort(domains.begin() + r.domainsStart, domains.end(),
                  [](const CDomainRecord& a, const CDomainRecord& b) { return a.hash < b.hash; });
        r.domainCount = static_cast<std::uint32_t>(domains.size()) - r.domainsStart;
    }
    std::vector<CListRecord> listRecords;
    for (const CAdblockListText& list : lists)
        listRecords.push_back({writer.AddString(list.name), static_cast<std::uint32_t>(list.name.size())});

    CAdblockImage::CHeader header = {};
    header.magic = kMagic;
    header.version = kVersion;
    header.filterCount = static_cast<std::uint32_t>(filters.size());
    header.domainCount = static_cast<std::uint32_t>(domains.size());
    header.listCount = static_cast<std::uint32_t>(listRecords.size());
    header.regexCount = regexCount;
    std::vector<BYTE> image(sizeof(header));
    header.filtersOffset = static_cast<std::uint32_t>(image.size());
    Append(image, filters.data(), filters.size());
    header.domainsOffset = static_cast<std::uint32_t>(image.size());
    Append(image, domains.data(), domains.size());
    for (int kind = 0; kind < 4; ++kind)
    {
        CTableHeader& table = header.tables[kind];
        std::uint32_t bits = 4;
        while (bits < kMaxBucketBits && (std::size_t(1) << bits) < 2 * distinct[kind])
            ++bits;
        std::size_t buckets = std::size_t(1) << bits;
        // Postings (see kKeyTagShift), filled by a counting sort over the
        // buckets.
        std::vector<std::uint32_t> starts(buckets + 1, 0), any;
        auto forEachPosting = [&](auto&& add) {
            for (std::size_t i = 0; i < parsed.size(); ++i)
            {
                if ((parsed[i].filter.exception ? 1 : 0) != kind % 2 || byPage[i] != (kind >= 2))
                    continue;
                const CNetworkFilter& f = parsed[i].filter;
                std::uint32_t check = f.types | (f.important ? kPostingImportant : 0) |
                                      (f.party != CAdblockParty::Any || !f.domains.empty() ? kPostingNeedsPage : 0);
                if (byPage[i])
                {
                    for (const CAdblockDomain& d : f.domains)
                    {
                        if (!d.negated)
                            add(HashToken(d.name.data(), d.name.size()), i, check);
                    }
                }
                else if (hasToken[i])
                    add(tokenOf[i], i, check | (std::uint32_t(neighboursOf[i]) << kPostingBeforeShift));
                else if (kind == 0 || kind == 1)
                    any.push_back(static_cast<std::uint32_t>(i));
            }
        };
        forEachPosting([&](std::uint32_t key, std::size_t, std::uint32_t) { ++starts[(key & (buckets - 1)) + 1]; });
        for (std::size_t b = 0; b < buckets; ++b)
            starts[b + 1] += starts[b];
        std::vector<std::uint32_t> postings(2 * std::size_t(starts[buckets]));
        std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
        any.clear();
        forEachPosting([&](std::uint32_t key, std::size_t i, std::uint32_t check) {
            std::uint32_t at = next[key & (buckets - 1)]++;
            postings[2 * std::size_t(at)] = static_cast<std::uint32_t>(i) | (key >> kKeyTagShift << kKeyTagShift);
            postings[2 * std::size_t(at) + 1] = check;
        });
        table.bucketBits = bits;
        table.bucketsOffset = static_cast<std::uint32_t>(image.size());
        Append(image, starts.data(), starts.size());
        table.postingsOffset = static_cast<std::uint32_t>(image.size());
        table.postingCount = static_cast<std::uint32_t>(postings.size() / 2);
        Append(image, postings.data(), postings.size());
        table.anyOffset = static_cast<std::uint32_t>(image.size());
        table.anyCount = static_cast<std::uint32_t>(any.size());
        Append(image, any.data(), any.size());
    }
    header.listsOffset = static_cast<std::uint32_t>(image.size());
    Append(image, listRecords.data(), listRecords.size());
    header.stringsOffset = static_cast<std::uint32_t>(image.size());
    header.stringsSize = static_cast<std::uint32_t>(writer.m_strings.size());
    Append(image, writer.m_strings.data(), writer.m_strings.size());
    AlignTo4(image);
    std::vector<std::uint64_t> proofs;
    for (std::size_t at = sizeof(header); at < image.size(); at += kProofBlock)
        proofs.push_back(Checksum(image.data() + at, std::min(kProofBlock, image.size() - at)));
    header.proofsOffset = static_cast<std::uint32_t>(image.size());
    header.proofCount = static_cast<std::uint32_t>(proofs.size());
    Append(image, proofs.data(), proofs.size());
    header.size = static_cast<std::uint32_t>(image.size());
    std::memcpy(image.data(), &header, sizeof(header));
    header.checksum = ManifestChecksum(header, proofs.data());
    std::memcpy(image.data(), &header, sizeof(header));
    return image;
}

// ---- Reading ----

namespace {

bool Within(std::uint64_t offset, std::uint64_t count, std::uint64_t item, std::uint64_t size) noexcept
{
    return offset <= size && count <= (size - offset) / item;
}

// The part of a URL the matchers need, narrowed to UTF-8: the text as
// given and in lower case, side by side in one buffer (on the stack for
// any URL of ordinary length).
class CUrlParts
{
public:
    CUrlParts() = default;
    CUrlParts(const CUrlParts&) = delete;
    CUrlParts& operator=(const CUrlParts&) = delete;

    std::string_view text, lower;  // lower: ASCII letters in lower case
    std::size_t hostStart = 0, hostEnd = 0;
    std::string_view Host() const { return lower.substr(hostStart, hostEnd - hostStart); }

    void Narrow(const wchar_t* url);

private:
    std::size_t NarrowAny(const wchar_t* url, char*& out, char*& low);
    void FindHost(std::size_t n);

    char m_inline[2048];
    std::unique_ptr<char[]> m_heap;
};

void CUrlParts::Narrow(const wchar_t* url)
{
    // Most URLs are ASCII and short: one pass, both copies on the stack.
    const std::size_t half = sizeof(m_inline) / 2;
    char* out = m_inline;
    char* low = m_inline + half;
    std::size_t n = 0;
    const wchar_t* p = url;
#ifdef __SSE2__
    // Eight characters at a time where the processor has SSE2 (every x64
    // one). Loads are 16-byte aligned, so a block that holds the URL's end
    // never crosses into another page; a block with the end or with a
    // character past ASCII is left to the loop below.
    while ((reinterpret_cast<std::uintptr_t>(p) & 15) != 0 && n < half)
    {
        std::uint32_t c = static_cast<std::uint16_t>(*p);
        if (c == 0 || c >= 0x80)
            break;
        low[n] = Lower(static_cast<char>(c));
        out[n++] = static_cast<char>(c);
        ++p;
    }
    if ((reinterpret_cast<std::uintptr_t>(p) & 15) == 0)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i below = _mm_set1_epi16(0x80);
        const __m128i beforeA = _mm_set1_epi8('A' - 1), afterZ = _mm_set1_epi8('Z' + 1), caseBit = _mm_set1_epi8(0x20);
        while (n + 8 <= half)
        {
            __m128i units = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
            // Every unit in 1..0x7F: not zero, and below 0x80 as a signed
            // compare sees it (units of 0x8000 and up are negative).
            __m128i bad = _mm_or_si128(_mm_cmpeq_epi16(units, zero),
                                       _mm_or_si128(_mm_cmpgt_epi16(units, _mm_sub_epi16(below, _mm_set1_epi16(1))),
                                                    _mm_cmplt_epi16(units, zero)));
            if (_mm_movemask_epi8(bad) != 0)
                break;
            __m128i bytes = _mm_packus_epi16(units, units);
            __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(bytes, beforeA), _mm_cmplt_epi8(bytes, afterZ));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), bytes);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(low + n), _mm_or_si128(bytes, _mm_and_si128(upper, caseBit)));
            n += 8;
            p += 8;
        }
    }
#endif
    for (; n < half; ++p, ++n)
    {
        std::uint32_t c = static_cast<std::uint16_t>(*p);
        if (c == 0 || c >= 0x80)
            break;
        low[n] = Lower(static_cast<char>(c));
        out[n] = static_cast<char>(c);
    }
    if (n == half || *p != 0)
        n = NarrowAny(url, out, low);
    text = std::string_view(out, n);
    lower = std::string_view(low, n);
    FindHost(n);
}

// Any URL: a UTF-16 unit takes at most 3 bytes (a surrogate pair 4 for two).
std::size_t CUrlParts::NarrowAny(const wchar_t* url, char*& out, char*& low)
{
    std::size_t most = 0;
    for (const wchar_t* p = url; *p; ++p)
        most += static_cast<std::uint16_t>(*p) < 0x80 ? 1 : 3;
    out = m_inline;
    if (2 * most > sizeof(m_inline))
    {
        m_heap.reset(new char[2 * most]);
        out = m_heap.get();
    }
    // The lower-case copy goes after room for the longest text, so that
    // one pass writes both.
    low = out + most;
    std::size_t n = 0;
    for (const wchar_t* p = url; *p; ++p)
    {
        std::uint32_t c = static_cast<std::uint16_t>(*p);
        if (c < 0x80)
        {
            low[n] = Lower(static_cast<char>(c));
            out[n++] = static_cast<char>(c);
            continue;
        }
        std::size_t from = n;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF)
        {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(p[1]) - 0xDC00);
            ++p;
        }
        if (c < 0x800)
        {
            out[n++] = static_cast<char>(0xC0 | (c >> 6));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        else if (c < 0x10000)
        {
            out[n++] = static_cast<char>(0xE0 | (c >> 12));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        else
        {
            out[n++] = static_cast<char>(0xF0 | (c >> 18));
            out[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        std::memcpy(low + from, out + from, n - from);
    }
    return n;
}

void CUrlParts::FindHost(std::size_t n)
{
    const char* low = lower.data();
    // The host: after "scheme://" and any user information, before the port.
    // (Plain loops: the C library's searches cost a call per character.)
    auto endsPart = [](char c) { return c == '/' || c == '?' || c == '#'; };
    std::size_t start = 0;
    for (;; ++start)
    {
        if (start + 2 >= n || endsPart(low[start]))
            return;
        if (low[start] == ':' && low[start + 1] == '/' && low[start + 2] == '/')
            break;
    }
    start += 3;
    std::size_t end = start;
    while (end < n && !endsPart(low[end]))
        ++end;
    for (std::size_t at = end; at > start; --at)
    {
        if (low[at - 1] == '@')
        {
            start = at;
            break;
        }
    }
    std::size_t stop = end;
    if (start < end && low[start] == '[')
    {
        for (std::size_t at = start; at < end; ++at)
        {
            if (low[at] == ']')
            {
                stop = at + 1;
                break;
            }
        }
    }
    else
    {
        for (std::size_t at = start; at < end; ++at)
        {
            if (low[at] == ':')
            {
                stop = at;
                break;
            }
        }
    }
    std::string_view s = lower;
    if (stop > start && s[stop - 1] == '.')
        --stop;
    hostStart = start;
    hostEnd = stop;
}

bool CharMatches(char p, char t) noexcept
{
    return p == '^' ? IsSeparator(t) : p == t;
}

// Pattern p (with "*" and "^") against text t, anchored at t's start; at its
// end too when `end`. Linear backtracking over the last "*": O(|p| * |t|).
bool GlobMatch(const char* p, std::size_t pn, const char* t, std::size_t tn, bool end) noexcept
{
    std::size_t pi = 0, ti = 0, starP = 0, starT = 0;
    bool star = false;
    for (;;)
    {
        if (pi == pn)
        {
            if (!end || ti == tn)
                return true;
        }
        else if (p[pi] == '*')
        {
            star = true;
            starP = ++pi;
            starT = ti;
            continue;
        }
        else if (ti < tn && CharMatches(p[pi], t[ti]))
        {
            ++pi;
            ++ti;
            continue;
        }
        else if (p[pi] == '^' && ti == tn)
        {
            ++pi;
            continue;
        }
        if (!star || starT >= tn)
            return false;
        pi = starP;
        ti = ++starT;
    }
}

// A short array on the stack that moves to the heap only past N items. Its
// room is left uninitialised (it is made for every lookup).
template <typename T, std::size_t N>
class CSmallVector
{
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    CSmallVector() noexcept : m_inline(reinterpret_cast<T*>(m_room)) {}
    CSmallVector(const CSmallVector&) = delete;
    CSmallVector& operator=(const CSmallVector&) = delete;
    // (Built in place from its fields: a copy of a temporary assembled on
    // the stack makes the processor wait for the stores it is read from.)
    template <typename... A>
    void emplace_back(A&&... fields)
    {
        if (m_size < N)
            new (m_inline + m_size++) T{std::forward<A>(fields)...};
        else
            push_back(T{std::forward<A>(fields)...});
    }
    std::size_t size() const noexcept { return m_size; }
    void push_back(const T& item)
    {
        if (m_size < N)
            new (m_inline + m_size) T(item);
        else
        {
            if (m_heap.empty())
                m_heap.assign(m_inline, m_inline + N);
            m_heap.push_back(item);
        }
        ++m_size;
    }
    T* begin() { return m_size > N ? m_heap.data() : m_inline; }
    T* end() { return begin() + m_size; }
    const T* begin() const { return m_size > N ? m_heap.data() : m_inline; }
    const T* end() const { return begin() + m_size; }
    void resize_down(std::size_t size)
    {
        if (m_size > N && size <= N)
            std::copy(m_heap.begin(), m_heap.begin() + static_cast<std::ptrdiff_t>(size), m_inline);
        m_size = size;
        m_heap.resize(m_size > N ? m_size : 0);
    }

private:
    alignas(T) unsigned char m_room[N * sizeof(T)];
    T* m_inline;
    std::vector<T> m_heap;
    std::size_t m_size = 0;
};

constexpr std::uint32_t kBigramCount = 4096;
// Of two characters already in lower case.
std::uint32_t BigramIndex(char a, char b) noexcept
{
    return (static_cast<unsigned char>(a) * 131u + static_cast<unsigned char>(b)) % kBigramCount;
}

// The pairs of adjacent characters of `text`, for CRequest::HoldsAllPairs.
std::vector<std::uint16_t> BigramsOf(std::string_view text)
{
    std::vector<std::uint16_t> pairs;
    for (std::size_t i = 1; i < text.size(); ++i)
        pairs.push_back(static_cast<std::uint16_t>(BigramIndex(Lower(text[i - 1]), Lower(text[i]))));
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    return pairs;
}

}  // namespace

// A word of the URL: its key, where it starts and where it ends.
struct CUrlWord
{
    std::uint32_t hash;
    std::uint32_t place;
    std::uint32_t end;
    std::uint32_t next;  // the next word with this key (CWordPlaces)
};

// The URL's words with the key looked up: a chain through `words`.
struct CAdblockImage::CWordPlaces
{
    static constexpr std::uint32_t kEnd = 0xFFFFFFFF;
    const CUrlWord* words = nullptr;
    std::uint32_t first = kEnd;
    bool Any() const noexcept { return first != kEnd; }
};

struct CAdblockImage::CRequest
{
    CUrlParts url;
    CUrlParts page;
    std::string_view pageHost;
    // The page's host and its parents, and the same without the public
    // suffix (what entities "name.*" are matched with).
    struct CPageName
    {
        std::string_view name;
        std::uint32_t hash;
        bool entity;
    };
    CSmallVector<CPageName, 32> pageNames;
    std::size_t pageSuffix = 0;  // the public suffix's length in pageHost
    bool pageKnown = false;
    // Whether the request's registrable domain differs from the page's:
    // -1 until a filter asks.
    mutable int thirdParty = -1;
    bool IsThirdParty() const
    {
        if (thirdParty < 0)
        {
            std::string_view page = pageHost;
            if (pageSuffix != 0 && pageSuffix + 1 < page.size())
            {
                std::size_t dot = page.rfind('.', page.size() - pageSuffix - 2);
                page = dot == std::string_view::npos ? page : page.substr(dot + 1);
            }
            // A host of the page's registrable domain ends in it at a
            // label: most third-party hosts are told by that alone,
            // without a look at the public suffix list.
            const std::string_view host = url.Host();
            const bool within = host.size() >= page.size() &&
                                host.compare(host.size() - page.size(), page.size(), page) == 0 &&
                                (host.size() == page.size() || host[host.size() - page.size() - 1] == '.');
            thirdParty = !within || RegistrableDomain(host) != page ? 1 : 0;
        }
        return thirdParty != 0;
    }
    std::uint16_t types = 0;
    bool untypedOnly = false;
    mutable std::wstring wideLower;  // for regular expressions, made when first needed
    char pageHostRoom[256];  // pageHost, when it comes from CPageMemo
    // A key of the URL with the places of its words.
    struct CKey
    {
        std::uint32_t hash;
        CWordPlaces places;
    };
    // The URL's words in order (not its host's tails), set by the lookup
    // once it has them.
    const CUrlWord* urlWords = nullptr;
    std::size_t urlWordCount = 0;
    // Which pairs of adjacent characters the URL holds (folded to lower
    // case, one bit per BigramIndex), made when first asked: what rules out
    // most regular expressions before their literals are looked for.
    bool HoldsAllPairs(const std::vector<std::uint16_t>& pairs) const
    {
        if (!pairsMade)
        {
            std::memset(pairBits, 0, sizeof(pairBits));
            std::string_view s = url.lower;
            for (std::size_t i = 1; i < s.size(); ++i)
            {
                std::uint32_t index = BigramIndex(s[i - 1], s[i]);
                pairBits[index / 64] |= std::uint64_t(1) << (index % 64);
            }
            pairsMade = true;
        }
        for (std::uint16_t index : pairs)
        {
            if (!(pairBits[index / 64] & (std::uint64_t(1) << (index % 64))))
                return false;
        }
        return true;
    }
    mutable bool pairsMade = false;
    mutable std::uint64_t pairBits[kBigramCount / 64];
};

namespace {

// The characters a match can end on, one bit per byte value.
using CCharSet = std::bitset<256>;

// Reads the sequence of `body` from `at` up to a "|" or ")" of its own level
// (or the end), and gives the characters a match of that sequence can end
// on. False when this reading cannot tell (an item it does not know, or a
// sequence that can match the empty text): the caller then assumes any.
bool LastCharsOfSequence(std::string_view body, std::size_t& at, CCharSet& last, int depth);

// One item (a character, an escape, a class, a group) at `at`: its set.
bool LastCharsOfItem(std::string_view body, std::size_t& at, CCharSet& set, bool& zeroWidth, int depth)
{
    zeroWidth = false;
    char c = body[at++];
    if (c == '\\')
    {
        if (at >= body.size())
            return false;
        char e = body[at++];
        if (e == 'd')
        {
            for (char d = '0'; d <= '9'; ++d)
                set.set(static_cast<unsigned char>(d));
            return true;
        }
        if (IsTokenChar(e) || e == '_')
            return false;  // \w, \s, \b, \x41...: not worth reading here
        set.set(static_cast<unsigned char>(e));
        return true;
    }
    if (c == '[')
    {
        if (at < body.size() && body[at] == '^')
            return false;
        bool first = true;
        while (at < body.size() && (body[at] != ']' || first))
        {
            first = false;
            unsigned char from = static_cast<unsigned char>(body[at++]);
            if (from == '\\')
            {
                if (at >= body.size())
                    return false;
                char e = body[at++];
                if (e == 'd')
                {
                    for (char d = '0'; d <= '9'; ++d)
                        set.set(static_cast<unsigned char>(d));
                    continue;
                }
                if (IsTokenChar(e) || e == '_')
                    return false;
                from = static_cast<unsigned char>(e);
            }
            if (at + 1 < body.size() && body[at] == '-' && body[at + 1] != ']')
            {
                unsigned char to = static_cast<unsigned char>(body[at + 1]);
                if (to == '\\' || to < from)
                    return false;
                at += 2;
                for (unsigned v = from; v <= to; ++v)
                    set.set(v);
            }
            else
                set.set(from);
        }
        if (at >= body.size())
            return false;
        ++at;
        return true;
    }
    if (c == '(')
    {
        if (depth > 16)
            return false;
        if (at < body.size() && body[at] == '?')
        {
            if (at + 1 < body.size() && (body[at + 1] == '=' || body[at + 1] == '!'))
            {
                // A look-ahead matches no character: skip it whole.
                int open = 1;
                for (++at; at < body.size() && open; ++at)
                {
                    if (body[at] == '\\')
                        ++at;
                    else if (body[at] == '(')
                        ++open;
                    else if (body[at] == ')')
                        --open;
                }
                zeroWidth = true;
                return open == 0;
            }
            if (at + 1 >= body.size() || body[at + 1] != ':')
                return false;
            at += 2;
        }
        for (;;)
        {
            CCharSet alternative;
            if (!LastCharsOfSequence(body, at, alternative, depth + 1))
                return false;
            set |= alternative;
            if (at >= body.size())
                return false;
            if (body[at++] == ')')
                return true;
        }
    }
    if (c == '^' || c == '$')
    {
        zeroWidth = true;
        return true;
    }
    if (c == '.' || c == '|' || c == ')' || c == '*' || c == '+' || c == '?' || c == '{')
        return false;
    set.set(static_cast<unsigned char>(c));
    return true;
}

bool LastCharsOfSequence(std::string_view body, std::size_t& at, CCharSet& last, int depth)
{
    bool known = false;  // whether some item of the sequence must match a character
    while (at < body.size() && body[at] != '|' && body[at] != ')')
    {
        CCharSet item;
        bool zeroWidth = false;
        if (!LastCharsOfItem(body, at, item, zeroWidth, depth))
            return false;
        bool optional = zeroWidth;
        if (at < body.size() && (body[at] == '?' || body[at] == '*' || body[at] == '+'))
        {
            optional = optional || body[at] != '+';
            ++at;
        }
        else if (at < body.size() && body[at] == '{')
        {
            std::size_t close = body.find('}', at);
            if (close == std::string_view::npos)
                return false;
            optional = optional || body[at + 1] == '0' || body[at + 1] == ',';
            at = close + 1;
        }
        if (at < body.size() && body[at] == '?')
            ++at;  // lazy
        if (zeroWidth)
            continue;
        // An item that must match ends the sequence's set; an optional
        // one adds its characters to those of what comes before it.
        last = optional ? (known ? last : CCharSet()) | item : item;
        if (optional && !known)
            return false;  // (nothing certain yet: read on as "any")
        known = known || !optional;
    }
    return known;
}

// For a body ending in "$": the characters a URL it matches ends on.
// False when that cannot be told (any).
bool RegexLastChars(std::string_view body, CCharSet& last)
{
    if (body.size() < 2 || body.back() != '$' || body[body.size() - 2] == '\\')
        return false;
    std::size_t at = 0;
    return LastCharsOfSequence(body, at, last, 0) && at == body.size();
}

// The alternatives of the first group at the top level of `body` that is
// not optional and holds only plain words ("(9anime|animeland|...)"): every
// match holds one of them, with the literal characters right before and
// after the group ("\.(com|net)\/" gives ".com/" and ".net/"), and then a
// character of `next` when `hasNext` ("...\/[0-9]{2,9}": a digit). Empty
// when there is no such group.
struct CAlternatives
{
    std::vector<std::string> words;
    // The same split: the mark before the group, each alternative, and the
    // literal after the group.
    std::string prefix, suffix;
    std::vector<std::string> cores;
    std::size_t groupStart = 0;  // where the group's "(" is in the body
    bool hasNext = false;
    CCharSet next;
};

// The literal character of `body` at `at` (a plain word character or an
// escaped punctuation mark) that is matched exactly once; advances past it.
bool TakeLiteral(std::string_view body, std::size_t& at, char& literal)
{
    std::size_t next = at;
    if (next < body.size() && body[next] == '\\' && next + 1 < body.size() && !IsTokenChar(body[next + 1]) &&
        body[next + 1] != '_')
        ++next;
    else if (next >= body.size() || !(IsTokenChar(body[next]) || body[next] == '-' || body[next] == '_'))
        return false;
    char after = next + 1 < body.size() ? body[next + 1] : '\0';
    if (after == '?' || after == '*' || after == '+' || after == '{')
        return false;
    literal = body[next];
    at = next + 1;
    return true;
}

// The characters the text matched from `at` must start with, when the
// item there is a class (or "\\d") matched at least once, possibly inside
// groups that are neither optional nor alternatives. False when unknown.
bool FirstCharsAt(std::string_view body, std::size_t at, CCharSet& set)
{
    for (int depth = 0; at < body.size() && body[at] == '(' && depth < 8; ++depth)
    {
        // The group's end: it must hold no alternative of its own level.
        std::size_t close = at + 1;
        int open = 1;
        for (; close < body.size() && open; ++close)
        {
            char c = body[close];
            if (c == '\\')
                ++close;
            else if (c == '[')
            {
                for (++close; close < body.size() && body[close] != ']'; ++close)
                {
                    if (body[close] == '\\')
                        ++close;
                }
            }
            else if (c == '(')
                ++open;
            else if (c == ')')
                --open;
            else if (c == '|' && open == 1)
                return false;
        }
        if (open != 0)
            return false;
        char q = close < body.size() ? body[close] : '\0';
        char q1 = close + 1 < body.size() ? body[close + 1] : '\0';
        if (q == '?' || q == '*' || (q == '{' && (q1 == '0' || q1 == ',')))
            return false;
        ++at;
        if (body.substr(at, 2) == "?:")
            at += 2;
        else if (at < body.size() && body[at] == '?')
            return false;  // a look-around
    }
    if (at >= body.size() || !(body[at] == '[' || body.substr(at, 2) == "\\d"))
        return false;
    bool zeroWidth = false;
    if (!LastCharsOfItem(body, at, set, zeroWidth, 0) || zeroWidth)
        return false;
    char q = at < body.size() ? body[at] : '\0';
    char q1 = at + 1 < body.size() ? body[at + 1] : '\0';
    return q != '?' && q != '*' && !(q == '{' && (q1 == '0' || q1 == ','));
}

CAlternatives RequiredAlternatives(std::string_view body)
{
    CAlternatives alternatives;
    std::vector<std::string>& found = alternatives.words;
    int depth = 0;
    for (std::size_t at = 0; at < body.size(); ++at)
    {
        char c = body[at];
        if (c == '\\')
            ++at;
        else if (c == '[')
        {
            for (++at; at < body.size() && body[at] != ']'; ++at)
            {
                if (body[at] == '\\')
                    ++at;
            }
        }
        else if (c == '|' && depth == 0)
            return {};  // a top-level alternative: nothing is required
        else if (c == ')')
            --depth;
        else if (c == '(' && depth++ == 0 && found.empty())
        {
            std::size_t from = at + 1;
            if (body.substr(from, 2) == "?:")
                from += 2;
            std::vector<std::string> words(1);
            std::size_t end = from;
            for (; end < body.size() && body[end] != ')'; ++end)
            {
                char w = body[end];
                if (w == '|')
                    words.emplace_back();
                else if (w == '\\' && end + 1 < body.size() && !IsTokenChar(body[end + 1]) && body[end + 1] != '_')
                    words.back().push_back(body[++end]);
                else if (IsTokenChar(w) || w == '-' || w == '_')
                    words.back().push_back(w);
                else
                    break;
            }
            bool plain = end < body.size() && body[end] == ')' && words.size() > 1 &&
                         std::none_of(words.begin(), words.end(), [](const std::string& w) { return w.empty(); });
            char after = end + 1 < body.size() ? body[end + 1] : '\0';
            if (plain && after != '?' && after != '*' && after != '{')
            {
                // An escaped mark right before the group (not itself escaped).
                std::string prefix;
                if (at >= 2 && body[at - 2] == '\\' && !IsTokenChar(body[at - 1]) && body[at - 1] != '_' &&
                    (at < 3 || body[at - 3] != '\\'))
                    prefix.push_back(body[at - 1]);
                std::string suffix;
                std::size_t next = end + 1;
                for (char literal; TakeLiteral(body, next, literal);)
                    suffix.push_back(literal);
                alternatives.cores = words;
                alternatives.groupStart = at;
                alternatives.prefix = prefix;
                alternatives.suffix = suffix;
                for (std::string& word : words)
                    word = prefix + word + suffix;
                found = std::move(words);
                // Then one character of a class matched at least once.
                alternatives.hasNext = FirstCharsAt(body, next, alternatives.next);
            }
        }
    }
    return depth == 0 ? alternatives : CAlternatives();
}

// Where `word` first occurs in `text` at or after `from`. (Candidate places
// found sixteen at a time by their first two characters where the processor
// has SSE2, else by memchr for the first; the rest compared here: the C
// library's search of a whole string costs a call per candidate place.)
std::size_t Find(std::string_view text, std::string_view word, std::size_t from) noexcept
{
    if (word.empty())
        return from <= text.size() ? from : std::string_view::npos;
    if (word.size() > text.size())
        return std::string_view::npos;
    const std::size_t last = text.size() - word.size();  // the last place a match can start
    auto rest = [&](std::size_t at) {
        std::size_t k = 1;
        while (k < word.size() && text[at + k] == word[k])
            ++k;
        return k == word.size();
    };
    std::size_t at = from;
#ifdef __SSE2__
    if (word.size() >= 2)
    {
        const __m128i first = _mm_set1_epi8(word[0]), second = _mm_set1_epi8(word[1]);
        // Every place of the block may start a match, so both loads end
        // within the text.
        for (; at <= last && last - at >= 15; at += 16)
        {
            const char* block = text.data() + at;
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), first),
                              _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 1)), second))));
            for (; mask != 0; mask &= mask - 1)
            {
                const std::size_t place = at + static_cast<std::size_t>(__builtin_ctz(mask));
                if (rest(place))
                    return place;
            }
        }
    }
#endif
    for (; at <= last; ++at)
    {
        const void* found = std::memchr(text.data() + at, word[0], last + 1 - at);
        if (!found)
            break;
        at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        if (rest(at))
            return at;
    }
    return std::string_view::npos;
}

}  // namespace

// A regular expression, with what every match holds: the literal runs, one
// of some alternatives, and for one that ends at "$" the characters it can
// end on. A URL without them is no match: the expression is compiled only
// when a URL first passes, and searched only when one does.
struct CAdblockImage::CRegex
{
    explicit CRegex(std::string_view body) : body(body.begin(), body.end())
    {
        CAlternatives required = RequiredAlternatives(body);
        anyOf = std::move(required.words);
        for (const std::string& word : anyOf)
            anyOfPairs.push_back(BigramsOf(word));
        // Alternatives that start a word of any URL holding them (what a
        // match holds before the group is a mark, and each starts with a run
        // of word characters that a mark ends) are found among the URL's
        // words instead.
        CCharSet before;
        std::size_t at = 0;
        const std::string_view lead = body.substr(0, required.groupStart);
        anyOfAreWords = !anyOf.empty() && LastCharsOfSequence(lead, at, before, 0) && at == lead.size();
        for (int c = 0; c < 256 && anyOfAreWords; ++c)
            anyOfAreWords = !before.test(static_cast<unsigned char>(c)) || !IsTokenChar(static_cast<char>(c));
        const bool suffixIsMark = !required.suffix.empty() && !IsTokenChar(required.suffix[0]);
        for (std::size_t w = 0; w < required.cores.size() && anyOfAreWords; ++w)
        {
            const std::string& core = required.cores[w];
            std::size_t run = 0;
            while (run < core.size() && IsTokenChar(core[run]))
                ++run;
            anyOfAreWords = run > 0 && (run < core.size() || suffixIsMark);
            if (!anyOfAreWords)
            {
                anyOfWords.clear();
                break;
            }
            const std::uint32_t hash = HashWord(core.data(), run);
            anyOfWords.push_back({hash, static_cast<std::uint32_t>(run)});
            anyOfWordBloom[(hash >> 6) & 3] |= std::uint64_t(1) << (hash & 63);
        }
        wordBefore = before;
        anyOfPrefixLength = required.prefix.size();
        anyOfNextKnown = required.hasNext;
        anyOfNext = required.next;
        endsKnown = RegexLastChars(body, ends);
        for (const std::wstring& literal : RegexRequiredLiterals(this->body))
        {
            if (std::all_of(literal.begin(), literal.end(), [](wchar_t c) { return c < 0x80; }))
                literals.emplace_back(literal.begin(), literal.end());
        }
    }
    ~CRegex() { delete compiled.load(); }
    CRegex(const CRegex&) = delete;
    CRegex& operator=(const CRegex&) = delete;

    // `text` is the request's URL or its lower-case copy.
    bool Passes(std::string_view text, const CRequest& request) const
    {
        // The cheapest test first: most URLs fail on their last character.
        if (endsKnown && (text.empty() || !ends.test(static_cast<unsigned char>(text.back()))))
            return false;
        for (const std::string& literal : literals)
        {
            if (Find(text, literal, 0) == std::string_view::npos)
                return false;
        }
        if (anyOf.empty())
            return true;
        auto nextFits = [&](std::size_t after) {
            return !anyOfNextKnown || (after < text.size() && anyOfNext.test(static_cast<unsigned char>(text[after])));
        };
        if (anyOfAreWords && request.urlWords)
        {
            // Alternative w with its marks starts where a word of the URL
            // starts whose key is its leading word's: the URL's words
            // (fewer than the alternatives, and most ruled out by one bit)
            // are looked up among the alternatives.
            for (std::size_t k = 0; k < request.urlWordCount; ++k)
            {
                const CUrlWord& word = request.urlWords[k];
                const bool maybe = anyOfWordBloom[(word.hash >> 6) & 3] & (std::uint64_t(1) << (word.hash & 63));
                if (!maybe || word.place == 0 || !wordBefore.test(static_cast<unsigned char>(text[word.place - 1])))
                    continue;
                for (std::size_t w = 0; w < anyOf.size(); ++w)
                {
                    const std::string& whole = anyOf[w];
                    const std::size_t start = word.place - anyOfPrefixLength;
                    if (anyOfWords[w].hash == word.hash && word.end - word.place == anyOfWords[w].length &&
                        text.compare(start, whole.size(), whole) == 0 && nextFits(start + whole.size()))
                        return true;
                }
            }
            return false;
        }
        for (std::size_t w = 0; w < anyOf.size(); ++w)
        {
            if (!request.HoldsAllPairs(anyOfPairs[w]))
                continue;
            const std::string& word = anyOf[w];
            for (std::size_t at = Find(text, word, 0); at != std::string_view::npos; at = Find(text, word, at + 1))
            {
                if (nextFits(at + word.size()))
                    return true;
            }
        }
        return false;
    }
    const CCompiledRegex& Compiled() const
    {
        CCompiledRegex* regex = compiled.load(std::memory_order_acquire);
        if (regex)
            return *regex;
        auto made = std::make_unique<CCompiledRegex>(body);
        if (compiled.compare_exchange_strong(regex, made.get(), std::memory_order_acq_rel))
            return *made.release();
        return *regex;
    }

    std::wstring body;
    std::vector<std::string> literals;
    std::vector<std::string> anyOf;
    std::vector<std::vector<std::uint16_t>> anyOfPairs;  // BigramsOf each
    struct CWordKey
    {
        std::uint32_t hash;    // HashWord of the alternative without its marks
        std::uint32_t length;  // and its length
    };
    bool anyOfAreWords = false;
    CCharSet wordBefore;  // the marks a match can hold right before the group
    std::size_t anyOfPrefixLength = 0;  // of the mark each of anyOf starts with (0 or 1)
    std::vector<CWordKey> anyOfWords;  // each alternative's leading word
    std::uint64_t anyOfWordBloom[4] = {0, 0, 0, 0};  // a bit per anyOfWords hash
    bool anyOfNextKnown = false;
    CCharSet anyOfNext;  // what follows one of anyOf, when known
    bool endsKnown = false;
    CCharSet ends;
    mutable std::atomic<CCompiledRegex*> compiled{nullptr};
};

// What a page's URL gives every request of the page (its host, public
// suffix and names) and JudgePage's answer, for the last page judged:
// working them out again costs more than the lookup of most requests.
struct CAdblockImage::CPageMemo
{
    static constexpr std::size_t kMaxHost = sizeof(CRequest::pageHostRoom);
    struct CName
    {
        std::uint16_t offset, length;  // in host
        std::uint32_t hash;
        bool entity;
    };
    CCriticalSection lock;
    std::wstring url;  // the page all the rest is about
    bool known = false;  // host, suffix and names
    std::string host;
    std::size_t suffix = 0;
    std::vector<CName> names;
    bool verdictKnown = false;
    CAdblockVerdict verdict;

    bool IsAbout(const wchar_t* pageUrl) const noexcept
    {
        const wchar_t* a = url.c_str();
        const wchar_t* b = pageUrl;
        while (*a && *a == *b)
            ++a, ++b;
        return *a == *b;
    }
    // Forgets another page's data. Throws std::bad_alloc, the memo then
    // knowing nothing.
    void MakeAbout(const wchar_t* pageUrl)
    {
        if (IsAbout(pageUrl))
            return;
        known = verdictKnown = false;
        url.assign(pageUrl);
    }
};

bool CAdblockImage::RecallPage(const wchar_t* pageUrl, CRequest& request) const
{
    CPageMemo& memo = *m_pageMemo;
    if (!memo.lock.TryEnter())
        return false;
    const bool hit = memo.known && memo.IsAbout(pageUrl);
    if (hit)
    {
        std::memcpy(request.pageHostRoom, memo.host.data(), memo.host.size());
        request.pageHost = std::string_view(request.pageHostRoom, memo.host.size());
        request.pageKnown = !request.pageHost.empty();
        request.pageSuffix = memo.suffix;
        for (const CPageMemo::CName& name : memo.names)
            request.pageNames.emplace_back(request.pageHost.substr(name.offset, name.length), name.hash, name.entity);
    }
    memo.lock.Leave();
    return hit;
}

void CAdblockImage::RememberPage(const wchar_t* pageUrl, const CRequest& request) const
{
    CPageMemo& memo = *m_pageMemo;
    if (request.pageHost.size() > CPageMemo::kMaxHost || !memo.lock.TryEnter())
        return;
    try
    {
        memo.MakeAbout(pageUrl);
        memo.known = false;
        memo.host.assign(request.pageHost);
        memo.suffix = request.pageSuffix;
        memo.names.clear();
        for (const CRequest::CPageName& name : request.pageNames)
            memo.names.push_back({static_cast<std::uint16_t>(name.name.data() - request.pageHost.data()),
                                  static_cast<std::uint16_t>(name.name.size()), name.hash, name.entity});
        memo.known = true;
    }
    catch (const std::bad_alloc&)
    {
    }
    memo.lock.Leave();
}

CAdblockImage::CAdblockImage(const BYTE* image, std::size_t size)
    : m_image(image), m_size(size), m_header(std::make_unique<CHeader>()), m_pageMemo(std::make_unique<CPageMemo>())
{
}

CAdblockImage::~CAdblockImage()
{
    if (m_regexes)
    {
        for (std::uint32_t i = 0; i < m_header->regexCount; ++i)
            delete m_regexes[i].load();
    }
}

std::unique_ptr<CAdblockImage> CAdblockImage::Open(const BYTE* image, std::size_t size, bool checksum)
{
    if (!image || size < sizeof(CHeader))
        return nullptr;
    std::unique_ptr<CAdblockImage> result(new CAdblockImage(image, size));
    CHeader& h = *result->m_header;
    ReadOnce(&h, image, sizeof(h));
    if (h.magic != kMagic || h.version != kVersion || h.size != size || h.size % 4)
        return nullptr;
    bool fits = Within(h.filtersOffset, h.filterCount, sizeof(CFilterRecord), size) &&
                Within(h.domainsOffset, h.domainCount, sizeof(CDomainRecord), size) &&
                Within(h.listsOffset, h.listCount, sizeof(CListRecord), size) &&
                Within(h.stringsOffset, h.stringsSize, 1, size) && h.regexCount <= h.filterCount;
    for (const CTableHeader& t : h.tables)
    {
        fits = fits && t.bucketBits <= kMaxBucketBits &&
               Within(t.bucketsOffset, (std::uint64_t(1) << t.bucketBits) + 1, 4, size) &&
               Within(t.postingsOffset, t.postingCount, 8, size) && Within(t.anyOffset, t.anyCount, 4, size);
    }
    if (!fits)
        return nullptr;
    // The proofs cover everything between the header and themselves, and
    // end the image.
    std::uint64_t body = std::uint64_t(h.proofsOffset) - sizeof(CHeader);
    if (h.proofsOffset < sizeof(CHeader) || h.proofCount != (body + kProofBlock - 1) / kProofBlock ||
        std::uint64_t(h.proofsOffset) + std::uint64_t(h.proofCount) * 8 != size)
        return nullptr;
    // Kept as read here: the blocks are proved against this copy.
    result->m_proofs = std::make_unique<std::uint64_t[]>(h.proofCount);
    ReadOnce(result->m_proofs.get(), image + h.proofsOffset, std::size_t(h.proofCount) * 8);
    if (checksum && ManifestChecksum(h, result->m_proofs.get()) != h.checksum)
        return nullptr;
    result->m_proven = std::make_unique<std::atomic<std::uint32_t>[]>(h.proofCount / 32 + 1);
    for (std::uint32_t i = 0; i <= h.proofCount / 32; ++i)
        result->m_proven[i].store(checksum ? 0 : ~0u);
    result->m_proofCount = h.proofCount;
    result->m_proofsOffset = h.proofsOffset;
    result->m_regexes = std::make_unique<std::atomic<CRegex*>[]>(h.regexCount);
    for (std::uint32_t i = 0; i < h.regexCount; ++i)
        result->m_regexes[i].store(nullptr);
    return result;
}

std::uint64_t CAdblockImage::GetChecksum() const noexcept
{
    return m_header->checksum;
}

std::uint32_t CAdblockImage::GetFilterCount() const noexcept
{
    return m_header->filterCount;
}

CAdblockImage::CStatistics CAdblockImage::GetStatistics() const noexcept
{
    return {{m_header->tables[0].anyCount, m_header->tables[1].anyCount}, m_header->regexCount};
}

std::uint32_t CAdblockImage::GetListCount() const noexcept
{
    return m_header->listCount;
}

std::string CAdblockImage::GetListName(std::uint32_t index) const
{
    if (index >= m_header->listCount)
        return std::string();
    CListRecord record;
    std::size_t at = m_header->listsOffset + std::size_t(index) * sizeof(record);
    if (!Proven(at, sizeof(record)))
        return std::string();
    ReadOnce(&record, m_image + at, sizeof(record));
    if (!Within(record.nameOffset, record.nameLength, 1, m_header->stringsSize) ||
        !Proven(m_header->stringsOffset + std::size_t(record.nameOffset), record.nameLength))
        return std::string();
    std::string name(record.nameLength, '\0');
    ReadOnce(name.data(), m_image + m_header->stringsOffset + record.nameOffset, record.nameLength);
    return name;
}

bool CAdblockImage::ProveBlocks(std::size_t offset, std::size_t length) const noexcept
{
    const CHeader& h = *m_header;
    if (offset < sizeof(CHeader) || offset > h.proofsOffset || length > h.proofsOffset - offset)
        return false;
    if (length == 0)
        return true;
    std::size_t first = (offset - sizeof(CHeader)) / kProofBlock;
    std::size_t last = (offset + length - 1 - sizeof(CHeader)) / kProofBlock;
    for (std::size_t block = first; block <= last; ++block)
    {
        std::atomic<std::uint32_t>& word = m_proven[block / 32];
        std::uint32_t bit = 1u << (block % 32);
        if (word.load(std::memory_order_relaxed) & bit)
            continue;
        // Summed in place: whatever the bytes hold by the time they are
        // read, the readers check every value at use.
        std::size_t at = sizeof(CHeader) + block * kProofBlock;
        if (Checksum(m_image + at, std::min(kProofBlock, std::size_t(h.proofsOffset) - at)) != m_proofs[block])
        {
            m_damaged.store(true, std::memory_order_relaxed);
            return false;
        }
        word.fetch_or(bit, std::memory_order_relaxed);
    }
    return true;
}

const CAdblockImage::CRegex* CAdblockImage::GetRegex(std::uint32_t index, std::string_view body) const
{
    std::atomic<CRegex*>& slot = m_regexes[index];
    CRegex* regex = slot.load(std::memory_order_acquire);
    if (regex)
        return regex;
    auto compiled = std::make_unique<CRegex>(body);
    CRegex* expected = nullptr;
    if (slot.compare_exchange_strong(expected, compiled.get(), std::memory_order_acq_rel))
        return compiled.release();
    return expected;
}

bool CAdblockImage::DomainsAllow(const CFilterRecordView& r, const CRequest& request) const
{
    const CHeader& h = *m_header;
    if (!Within(r.domainsStart, r.domainCount, 1, h.domainCount) ||
        !Proven(h.domainsOffset + std::size_t(r.domainsStart) * sizeof(CDomainRecord),
                std::size_t(r.domainCount) * sizeof(CDomainRecord)))
        return false;
    const BYTE* entries = m_image + h.domainsOffset + std::size_t(r.domainsStart) * sizeof(CDomainRecord);
    bool hit = false;
    // Each name the page's host answers to, as a host and as an entity.
    for (const CRequest::CPageName& page : request.pageNames)
    {
        // The first entry whose hash is not below the name's.
        std::uint32_t low = 0, high = r.domainCount;
        while (low < high)
        {
            std::uint32_t middle = low + (high - low) / 2;
            if (ReadU32(entries + std::size_t(middle) * sizeof(CDomainRecord)) < page.hash)
                low = middle + 1;
            else
                high = middle;
        }
        for (std::uint32_t i = low; i < r.domainCount; ++i)
        {
            CDomainRecord d;
            ReadOnce(&d, entries + std::size_t(i) * sizeof(d), sizeof(d));
            if (d.hash != page.hash)
                break;
            if (((d.flags & kDomainEntity) != 0) != page.entity || d.nameLength != page.name.size() ||
                !Within(d.nameOffset, d.nameLength, 1, h.stringsSize) ||
                !Proven(h.stringsOffset + std::size_t(d.nameOffset), d.nameLength) ||
                std::memcmp(m_image + h.stringsOffset + d.nameOffset, page.name.data(), d.nameLength) != 0)
                continue;
            if (d.flags & kDomainNegated)
                return false;
            hit = true;
        }
    }
    return hit || !(r.flags & kPositiveDomain);
}

bool CAdblockImage::Matches(std::uint32_t index, const CRequest& request, const CWordPlaces& places,
                            bool onlyImportant, CAdblockVerdict* hit, bool* important) const
{
    const CHeader& h = *m_header;
    if (index >= h.filterCount)
        return false;
    CFilterRecordView r;
    std::size_t at = h.filtersOffset + std::size_t(index) * sizeof(r);
    if (!Proven(at, sizeof(r)))
        return false;
    ReadOnce(&r, m_image + at, sizeof(r));
    if (onlyImportant && !(r.flags & kImportant))
        return false;
    if (request.untypedOnly ? (r.types & kRequestAnyResource) != kRequestAnyResource : !(r.types & request.types))
        return false;
    bool needsPage = (r.flags & (kThirdParty | kFirstParty)) || r.domainCount != 0;
    if (needsPage && !request.pageKnown)
        return false;
    // The party is decided by the public suffix list, the sites by a
    // search of the filter's own: only for a regular expression (the
    // dearest test: most of those in real lists name the sites they apply
    // on) before the pattern, else after it.
    auto partyAllows = [&] {
        return !((r.flags & kThirdParty) && !request.IsThirdParty()) &&
               !((r.flags & kFirstParty) && request.IsThirdParty());
    };
    if ((r.flags & kRegex) && (!partyAllows() || (r.domainCount && !DomainsAllow(r, request))))
        return false;
    if (!Within(r.patternOffset, r.patternLength, 1, h.stringsSize) ||
        !Proven(h.stringsOffset + std::size_t(r.patternOffset), r.patternLength))
        return false;
    // Pattern bytes may change under us; only their values, never where
    // they are read, depend on them.
    const char* pattern = reinterpret_cast<const char*>(m_image + h.stringsOffset + r.patternOffset);
    std::string_view text = (r.flags & kMatchCase) ? request.url.text : request.url.lower;
    bool matched = false;
    if (r.flags & kRegex)
    {
        if (r.slot >= h.regexCount)
            return false;
        const CRegex* regex = m_regexes[r.slot].load(std::memory_order_acquire);
        if (!regex)
        {
            std::string body(r.patternLength, '\0');
            ReadOnce(body.data(), reinterpret_cast<const BYTE*>(pattern), r.patternLength);
            regex = GetRegex(r.slot, body);
        }
        if (!regex->Passes(text, request))
            return false;
        if (request.wideLower.empty())
            request.wideLower.assign(request.url.lower.begin(), request.url.lower.end());
        std::wstring original;
        if (r.flags & kMatchCase)
            original.assign(text.begin(), text.end());
        matched = regex->Compiled().Search((r.flags & kMatchCase) ? original : request.wideLower);
    }
    else if (r.flags & kAnchorHost)
    {
        // Looked up through the name it starts with (its word offset 0), it
        // can match only where the URL's host ends in that name.
        const CUrlParts& u = request.url;
        const bool byName = places.Any() && r.slot == 0;
        std::uint32_t k = places.first;
        for (std::size_t at = byName ? 0 : u.hostStart; !matched;)
        {
            if (byName)
            {
                if (k == CWordPlaces::kEnd)
                    break;
                at = places.words[k].place;
                k = places.words[k].next;
            }
            else if (at >= u.hostEnd)
                break;
            if (at >= u.hostStart && at < u.hostEnd && (at == u.hostStart || text[at - 1] == '.'))
                matched = GlobMatch(pattern, r.patternLength, text.data() + at, text.size() - at,
                                    (r.flags & kAnchorEnd) != 0);
            if (!byName)
                ++at;
        }
    }
    else if (r.flags & kAnchorStart)
        matched = GlobMatch(pattern, r.patternLength, text.data(), text.size(), (r.flags & kAnchorEnd) != 0);
    else if (places.Any() && r.slot <= r.patternLength)
    {
        // Looked up through one of its words: a match holds that word
        // where the URL does, at a known distance from the match's start.
        // (A long URL repeats its common words: its first character
        // rules out most places before the matcher is called.)
        for (std::uint32_t k = places.first; k != CWordPlaces::kEnd && !matched; k = places.words[k].next)
        {
            std::size_t word = places.words[k].place;
            if (word < r.slot || (r.slot > 0 && !CharMatches(pattern[0], text[word - r.slot])))
                continue;
            matched = GlobMatch(pattern, r.patternLength, text.data() + (word - r.slot), text.size() - (word - r.slot),
                                (r.flags & kAnchorEnd) != 0);
        }
    }
    else
    {
        // Unanchored: the first literal run narrows where to try.
        for (std::size_t at = 0; at <= text.size() && !matched; ++at)
        {
            if (r.patternLength > 0 && pattern[0] != '^' && pattern[0] != '*')
            {
                const char first = pattern[0];
                while (at < text.size() && text[at] != first)
                    ++at;
                if (at == text.size())
                    break;
            }
            matched = GlobMatch(pattern, r.patternLength, text.data() + at, text.size() - at,
                                (r.flags & kAnchorEnd) != 0);
        }
    }
    if (!matched)
        return false;
    if (!(r.flags & kRegex) && (!partyAllows() || (r.domainCount && !DomainsAllow(r, request))))
        return false;
    hit->list = r.list;
    hit->line = r.line;
    *important = (r.flags & kImportant) != 0;
    return true;
}

CAdblockVerdict CAdblockImage::Judge(const RequestContext& context, CUnknownTypePolicy unknown) const
{
    CAdblockVerdict verdict = Judge(context, unknown, false);
    // "@@||site^$document": nothing on a page of that site is blocked, frames
    // and the page itself included. Asked only once something would be.
    if (verdict.decision == CAdblockVerdict::Block && context.pageUrl && *context.pageUrl)
    {
        CAdblockVerdict page = JudgePage(context.pageUrl);
        if (page.decision == CAdblockVerdict::Allow)
            return page;
    }
    return verdict;
}

CAdblockVerdict CAdblockImage::JudgePage(const wchar_t* pageUrl) const
{
    if (!pageUrl)
        return CAdblockVerdict();
    CPageMemo& memo = *m_pageMemo;
    if (memo.lock.TryEnter())
    {
        const bool hit = memo.verdictKnown && memo.IsAbout(pageUrl);
        const CAdblockVerdict verdict = memo.verdict;
        memo.lock.Leave();
        if (hit)
            return verdict;
    }
    RequestContext page;
    page.url = pageUrl;
    page.pageUrl = pageUrl;
    page.type = kRequestDocument;
    const CAdblockVerdict verdict = Judge(page, kDefaultUnknownTypePolicy, true);
    if (memo.lock.TryEnter())
    {
        try
        {
            memo.MakeAbout(pageUrl);
            memo.verdict = verdict;
            memo.verdictKnown = true;
        }
        catch (const std::bad_alloc&)
        {
        }
        memo.lock.Leave();
    }
    return verdict;
}

CAdblockVerdict CAdblockImage::Judge(const RequestContext& context, CUnknownTypePolicy unknown,
                                     bool exceptionsOnly) const
{
    CAdblockVerdict verdict;
    if (!context.url || IsDamaged())
        return verdict;
    CRequest request;
    request.url.Narrow(context.url);
    if (context.type == kRequestUnknown)
    {
        request.types = kRequestAnyResource;
        request.untypedOnly = unknown == CUnknownTypePolicy::UntypedOnly;
    }
    else
        request.types = context.type;
    if (context.pageUrl && *context.pageUrl && !RecallPage(context.pageUrl, request))
    {
        request.page.Narrow(context.pageUrl);
        request.pageHost = request.page.Host();
        request.pageKnown = !request.pageHost.empty();
        request.pageSuffix = PublicSuffixLength(request.pageHost);
        std::string_view host = request.pageHost;
        std::string_view entityHost =
            request.pageSuffix < host.size() ? host.substr(0, host.size() - request.pageSuffix - 1) : std::string_view();
        for (int entity = 0; entity < 2; ++entity)
        {
            std::string_view name = entity ? entityHost : host;
            while (!name.empty())
            {
                std::uint32_t hash = HashToken(name.data(), name.size());
                request.pageNames.emplace_back(name, hash, entity != 0);
                std::size_t dot = name.find('.');
                name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
            }
        }
        RememberPage(context.pageUrl, request);
    }

    // The keys a filter can be filed under that this URL holds, each once:
    // its words, and each tail of its host that starts at a label.
    CSmallVector<CUrlWord, 128> words;
    std::string_view s = request.url.lower;
    for (std::size_t i = 0; i < s.size();)
    {
        if (!IsTokenChar(s[i]))
        {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < s.size() && IsTokenChar(s[j]))
            ++j;
        words.emplace_back(HashWord(s.data() + i, j - i), static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j),
                           CWordPlaces::kEnd);
        i = j;
    }
    const std::size_t urlWordCount = words.size();
    for (std::size_t at = request.url.hostStart; at < request.url.hostEnd; ++at)
    {
        if (at != request.url.hostStart && s[at - 1] != '.')
            continue;
        std::size_t end = at;
        while (end < s.size() && IsHostChar(s[end]))
            ++end;
        if (end > at)
            words.emplace_back(HashHost(s.data() + at, end - at), static_cast<std::uint32_t>(at),
                               static_cast<std::uint32_t>(end), CWordPlaces::kEnd);
    }
    // Each key once, with the chain of its words: an open-addressing table
    // of the keys seen, at most half full.
    using CKey = CRequest::CKey;
    CSmallVector<CKey, 128> tokens;
    const std::size_t count = words.size();
    std::size_t slots = 256;
    while (slots < 2 * count)
        slots *= 2;
    std::uint32_t inlineSlots[256];
    std::vector<std::uint32_t> heapSlots;
    std::uint32_t* slot = inlineSlots;
    if (slots > 256)
    {
        heapSlots.resize(slots);
        slot = heapSlots.data();
    }
    {
        std::fill(slot, slot + slots, CWordPlaces::kEnd);  // else: index into tokens
        CUrlWord* all = words.begin();
        // (Keys in the URL's order; a key's places in any.)
        for (std::size_t i = 0; i < count; ++i)
        {
            std::size_t at = all[i].hash & (slots - 1);
            while (slot[at] != CWordPlaces::kEnd && tokens.begin()[slot[at]].hash != all[i].hash)
                at = (at + 1) & (slots - 1);
            if (slot[at] == CWordPlaces::kEnd)
            {
                slot[at] = static_cast<std::uint32_t>(tokens.size());
                tokens.emplace_back(all[i].hash, CWordPlaces());
            }
            CWordPlaces& places = tokens.begin()[slot[at]].places;
            places.words = all;
            all[i].next = places.first;
            places.first = static_cast<std::uint32_t>(i);
        }
    }
    request.urlWords = words.begin();
    request.urlWordCount = urlWordCount;
    CSmallVector<CKey, 32> pageKeys;
    for (const CRequest::CPageName& name : request.pageNames)
        pageKeys.emplace_back(name.hash, CWordPlaces());

    // What a posting says of its filter rules it out for this request:
    // its types, the page it needs, the characters around its word (at
    // one of the URL's places for that word at least), and with
    // `onlyImportant`, whether it is "$important".
    auto admits = [&](std::uint32_t check, const CWordPlaces& places, bool onlyImportant) {
        if (onlyImportant && !(check & kPostingImportant))
            return false;
        if (request.untypedOnly ? (check & kRequestAnyResource) != kRequestAnyResource : !(check & request.types))
            return false;
        if ((check & kPostingNeedsPage) && !request.pageKnown)
            return false;
        const char before = static_cast<char>(check >> kPostingBeforeShift);
        const char after = static_cast<char>(check >> kPostingAfterShift);
        if (before == char(kAnyNeighbour) && after == char(kAnyNeighbour))
            return true;
        for (std::uint32_t k = places.first; k != CWordPlaces::kEnd; k = places.words[k].next)
        {
            const CUrlWord& w = places.words[k];
            if (before != char(kAnyNeighbour) && (w.place == 0 || !CharMatches(before, s[w.place - 1])))
                continue;
            if (after == char(kUrlEndNeighbour) ? w.end != s.size()
                : after != char(kAnyNeighbour) && (w.end < s.size() ? !CharMatches(after, s[w.end]) : after != '^'))
                continue;
            return true;
        }
        return false;
    };
    // Visits the filters of one table a URL can match, until `visit` says
    // stop. `onlyImportant()` is asked before each posting.
    auto scanTable = [&](const CTableHeader& t, const auto& keys, const auto& onlyImportant, auto&& visit) {
        const CWordPlaces nowhere;
        for (std::uint32_t i = 0; i < t.anyCount; ++i)
        {
            std::size_t at = t.anyOffset + std::size_t(i) * 4;
            if (Proven(at, 4) && visit(ReadU32(m_image + at), nowhere))
                return true;
        }
        std::uint32_t mask = (std::uint32_t(1) << t.bucketBits) - 1;
        for (const CKey& k : keys)
        {
            std::uint32_t key = k.hash;
            std::size_t bucketAt = t.bucketsOffset + std::size_t(key & mask) * 4;
            if (!Proven(bucketAt, 8))
                continue;
            const BYTE* bucket = m_image + bucketAt;
            std::uint32_t start = ReadU32(bucket), end = ReadU32(bucket + 4);
            if (start >= end || end > t.postingCount ||
                !Proven(t.postingsOffset + std::size_t(start) * 8, std::size_t(end - start) * 8))
                continue;
            for (std::uint32_t i = start; i < end; ++i)
            {
                std::size_t postingAt = t.postingsOffset + std::size_t(i) * 8;
                const BYTE* posting = m_image + postingAt;
                std::uint32_t filter = ReadU32(posting);
                if ((filter >> kKeyTagShift) != (key >> kKeyTagShift) ||
                    !admits(ReadU32(posting + 4), k.places, onlyImportant()))
                    continue;
                if (visit(filter & (kMaxFilters - 1), k.places))
                    return true;
            }
        }
        return false;
    };
    auto scan = [&](int kind, const auto& onlyImportant, auto&& visit) {
        if (!scanTable(m_header->tables[kind], tokens, onlyImportant, visit))
            scanTable(m_header->tables[kind + 2], pageKeys, onlyImportant, visit);
    };

    // The first block filter that matches decides, an important one at
    // once; then the first exception that matches allows.
    bool important = false;
    auto block = [&](std::uint32_t index, const CWordPlaces& places) {
        CAdblockVerdict hit;
        bool isImportant = false;
        // Once a block matched, only an important one can change the answer.
        if (!Matches(index, request, places, verdict.decision == CAdblockVerdict::Block, &hit, &isImportant))
            return false;
        if (verdict.decision == CAdblockVerdict::None || isImportant)
        {
            verdict = hit;
            verdict.decision = CAdblockVerdict::Block;
            important = isImportant;
        }
        return important;
    };
    if (!exceptionsOnly)
        scan(0, [&] { return verdict.decision == CAdblockVerdict::Block; }, block);
    if ((verdict.decision == CAdblockVerdict::None && !exceptionsOnly) || important)
        return IsDamaged() ? CAdblockVerdict() : verdict;
    scan(1, [] { return false; }, [&](std::uint32_t index, const CWordPlaces& places) {
        CAdblockVerdict hit;
        bool isImportant = false;
        if (!Matches(index, request, places, false, &hit, &isImportant))
            return false;
        verdict = hit;
        verdict.decision = CAdblockVerdict::Allow;
        return true;
    });
    // Part of the image failed its proof: it judges nothing.
    return IsDamaged() ? CAdblockVerdict() : verdict;
}
