#pragma once
// Adblock lists compiled into one flat, position-independent byte image, and
// the verdict with context over such an image.
//
// The image is meant to be written to a file and mapped read-only by every
// process of the user; any of them may rewrite its bytes while another
// reads. The reader therefore treats it as hostile input: every field is
// read once into a local and checked at the point of use, every scan is
// bounded by a count checked against the image's size, and no terminator is
// trusted. Whatever the bytes, a lookup cannot read outside the image, loop
// without bound or crash; damaged bytes can only change the answer (the
// checksum on open tells damage that happened before).
//
// Layout (little-endian, 4-byte aligned): a header; the filters (fixed-size
// records: flags, type mask, pattern, "$domain" entries, list and line); the
// domain entries; two token tables (block filters, exception filters), each
// a hash of buckets over one key per filter (the rarest of: the host a
// "||name^" filter names, each whole word of its pattern, the first letters
// of a long word; never a word every URL holds), so that a URL looks only
// at filters whose key it holds, plus the filters without a key (each entry
// also carries the filter's types, whether it is important, and the
// characters around its word, so that most are ruled out unread); two more
// tables by site for filters whose words are all common; the list names;
// the string pool. Filters that share a key are stored side by side.
//
// Semantics (those of the other browsers' blockers, uBlock Origin's where
// they differ): letter case is ignored unless "$match-case"; "||" starts at a
// label boundary of the host; "^" matches a separator or the URL's end;
// "$third-party" compares registrable domains; "$domain" matches the page's
// host and its parents (entities "name.*" match any public suffix) and a
// negated entry wins; an exception allows what a block matched, unless that
// block is "$important"; "$badfilter" removes its twin when compiling. A
// filter that needs the page ("$third-party", "$domain") never applies to a
// request whose page is unknown.

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "com/Sync.h"
#include "engine/AdblockSyntax.h"
#include "engine/RequestContext.h"

class CCompiledRegex;

// One list to compile: its name (shown by --explain) and its UTF-8 text.
struct CAdblockListText
{
    std::string_view name;
    std::string_view text;
};

// Compiles `lists` into an image. `counts`, when given, receives one entry
// per list. Throws std::bad_alloc, or CHResultException(E_INVALIDARG) when
// the lists hold more than the image's 32-bit fields can address.
std::vector<BYTE> BuildAdblockImage(const std::vector<CAdblockListText>& lists,
                                    std::vector<CAdblockCounts>* counts = nullptr);

// How a request whose type the caller could not tell (kRequestUnknown) meets
// the filters' type options: the one place that policy is decided.
enum class CUnknownTypePolicy
{
    AnyResource,  // every filter that applies to some resource type applies
    UntypedOnly,  // only filters without type options apply
};
constexpr CUnknownTypePolicy kDefaultUnknownTypePolicy = CUnknownTypePolicy::AnyResource;

struct CAdblockVerdict
{
    enum CDecision
    {
        None,   // no block filter matched: the lists have no objection
        Block,  // `list`/`line`: the block filter that decided
        Allow,  // a block filter matched, `list`/`line`: the exception that won
    };
    CDecision decision = None;
    std::uint32_t list = 0;  // index into the lists the image was built from
    std::uint32_t line = 0;  // 1-based line of that list's text
};

// A view of a mapped image. Lookups may run on any number of threads at
// once. The image must stay mapped while this object lives (its bytes may
// change: see above).
class CAdblockImage
{
public:
    // Null when the image is not one this code can read: wrong magic,
    // version or size, a table outside the image, or (with `checksum`) a
    // header or table of block checksums that does not match its checksum.
    // With `checksum`, each block of the image (a page) is proved against
    // its checksum by the first lookup that reads it, so that opening costs
    // nothing like a pass over the image; a block that fails makes the
    // image damaged (IsDamaged), and a damaged image judges nothing (every
    // verdict None). Without it, nothing is proved (for a caller that knows
    // the bytes are the ones it wrote). Never reads outside [image, image +
    // size). Throws std::bad_alloc.
    static std::unique_ptr<CAdblockImage> Open(const BYTE* image, std::size_t size, bool checksum = true);
    ~CAdblockImage();
    CAdblockImage(const CAdblockImage&) = delete;
    CAdblockImage& operator=(const CAdblockImage&) = delete;

    // The verdict of the lists on one request. Throws std::bad_alloc.
    CAdblockVerdict Judge(const RequestContext& request,
                          CUnknownTypePolicy unknown = kDefaultUnknownTypePolicy) const;

    // True once a lookup found a block whose bytes no longer match their
    // checksum: the file was damaged or rewritten.
    bool IsDamaged() const noexcept { return m_damaged.load(std::memory_order_relaxed); }

    // The image's checksum as Open read it (over its header and the pages'
    // checksums, so over every byte): what names this image.
    std::uint64_t GetChecksum() const noexcept;

    // Allow (with the exception's list and line) when a "$document"
    // exception names this page, so that nothing on it is blocked: Judge
    // already applies it to requests of the page. None otherwise. Throws
    // std::bad_alloc.
    CAdblockVerdict JudgePage(const wchar_t* pageUrl) const;

    std::uint32_t GetFilterCount() const noexcept;
    // Filters that every URL looks at (no word of theirs could be indexed),
    // in the block and the exception table, and regular expressions.
    struct CStatistics
    {
        std::uint32_t untokenized[2];
        std::uint32_t regexes;
    };
    CStatistics GetStatistics() const noexcept;
    std::uint32_t GetListCount() const noexcept;
    // The name of list `index` as compiled (empty when out of range).
    std::string GetListName(std::uint32_t index) const;

    struct CHeader;
    struct CRequest;
    struct CFilterRecordView;
    // The image's header, and the blocks its checksums are kept for.
    static constexpr std::size_t kHeaderSize = 160;
    static constexpr std::size_t kProofBlockSize = 4096;

private:
    CAdblockImage(const BYTE* image, std::size_t size);
    // Where the URL holds the word a filter was looked up through.
    struct CWordPlaces;
    // True when filter `index` applies to the request (and, with
    // `onlyImportant`, is "$important"); `hit` gets its list and line,
    // `important` its "$important".
    CAdblockVerdict Judge(const RequestContext& request, CUnknownTypePolicy unknown, bool exceptionsOnly) const;
    bool Matches(std::uint32_t index, const CRequest& request, const CWordPlaces& places, bool onlyImportant,
                 CAdblockVerdict* hit, bool* important) const;
    bool DomainsAllow(const CFilterRecordView& record, const CRequest& request) const;
    // True when [offset, offset + length) lies between the header and the
    // proofs and each of its blocks matched its checksum (proved now if no
    // lookup did before).
    bool Proven(std::size_t offset, std::size_t length) const noexcept
    {
        if (length != 0 && offset >= kHeaderSize && offset <= m_proofsOffset && length <= m_proofsOffset - offset)
        {
            std::size_t block = (offset - kHeaderSize) / kProofBlockSize;
            if (block == (offset + length - 1 - kHeaderSize) / kProofBlockSize && block < m_proofCount &&
                (m_proven[block / 32].load(std::memory_order_relaxed) & (1u << (block % 32))))
                return true;
        }
        return ProveBlocks(offset, length);
    }
    bool ProveBlocks(std::size_t offset, std::size_t length) const noexcept;
    struct CRegex;
    struct CPageMemo;
    // The page's host and names from the memo of the last page (false
    // when it holds another page or is in use), and into it.
    bool RecallPage(const wchar_t* pageUrl, CRequest& request) const;
    void RememberPage(const wchar_t* pageUrl, const CRequest& request) const;
    const CRegex* GetRegex(std::uint32_t index, std::string_view body) const;

    const BYTE* m_image;
    std::size_t m_size;
    std::unique_ptr<CHeader> m_header;
    std::unique_ptr<std::atomic<CRegex*>[]> m_regexes;
    std::unique_ptr<std::uint64_t[]> m_proofs;  // as read by Open
    std::uint32_t m_proofCount = 0;
    std::size_t m_proofsOffset = 0;
    std::unique_ptr<std::atomic<std::uint32_t>[]> m_proven;  // one bit per block
    mutable std::atomic<bool> m_damaged{false};
    // What the last page judged gives its next requests (they come one
    // after another): its names and JudgePage's answer. A thread that finds
    // the memo in use works them out itself rather than wait.
    std::unique_ptr<CPageMemo> m_pageMemo;
};
