#pragma once
// The user's Adblock lists (EasyList and its peers), kept in the storage
// folder beside storage.bin, which they never touch, and compiled into one
// image (engine/AdblockImage.h) shared read-only by every process of the
// user.
//
// Files, in the storage folder:
//  - "lists.ctl": a small control block that every process maps once and
//    keeps mapped: the published generation (0: no lists), read once per
//    verdict, and the last generation a writer used.
//  - "lists.XXXXXXXX.cat" (the generation in hexadecimal): the catalog of
//    one generation: every list's name, source, on/off flag, counts, the
//    size and checksum of its text, what keeping it current from its source
//    needs (last update, ETag and Last-Modified, next due, last result), and
//    the size, checksum and generation of the image of the lists that are on.
//    Fields are tagged: a later version adds fields without a new format, and
//    reads what this one wrote.
//  - "lists.XXXXXXXX.img": the compiled image of the lists that are on.
//  - "list.XXXXXXXX.txt" (the list's id): each list's text as it was added,
//    never rewritten.
// A writer (one at a time, under the named write mutex, kWriterWaitMs at
// most) writes every new file whole under a fresh name and flushes it, then
// publishes the catalog's generation in the control block with one store:
// until then every process keeps the lists it had, so a writer that dies at
// any instant leaves the previous lists in force. Later writers delete the
// files no generation uses once no process maps them. A writer that finds no
// readable published catalog (a control block lost or damaged) starts from
// the newest whole catalog in the folder, so no list is lost with it.
//
// A reader never takes a lock: it maps a new generation at its first verdict
// after the change, proving the catalog (its checksum, its generation) and
// the image (the size and checksum the catalog gives) once per mapping. A
// damaged or foreign file is never trusted: the lists then have no say until
// the next writer (the user's own list still works: it is another store).
// Any process of the user can rewrite a mapped image while it is read;
// engine/AdblockImage.h reads it as hostile input.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com/Handle.h"
#include "com/Sync.h"
#include "engine/AdblockImage.h"
#include "engine/AdblockSyntax.h"

// Failures of the list operations (besides the converted system errors and
// kLockTimedOut).
constexpr HRESULT kAdblockListNotFound = static_cast<HRESULT>(0x80070490);   // ERROR_NOT_FOUND
constexpr HRESULT kAdblockListNameTaken = static_cast<HRESULT>(0x800700B7);  // ERROR_ALREADY_EXISTS
constexpr HRESULT kAdblockListsDamaged = static_cast<HRESULT>(0x80070570);   // ERROR_FILE_CORRUPT
constexpr HRESULT kAdblockListTooLarge = static_cast<HRESULT>(0x800700DF);   // ERROR_FILE_TOO_LARGE

// The largest list text stored (the largest real lists are a few MB).
constexpr DWORD kMaxAdblockListText = 64u << 20;
// The longest name and source kept, in characters.
constexpr std::size_t kMaxAdblockListName = 256;
constexpr std::size_t kMaxAdblockListSource = 4096;

struct CAdblockListEntry
{
    DWORD id = 0;  // names the text file; unique
    std::wstring name;    // unique, letter case ignored
    std::wstring source;  // the path or address the text came from
    bool enabled = true;
    DWORD textSize = 0;
    std::uint64_t textHash = 0;  // CFilterChecksum of the text
    FILETIME added = {};
    CAdblockCounts counts;  // of the text stored now, whether the list is on or off
    // For a list kept current from its source; zero or empty until then.
    FILETIME lastUpdate = {};
    FILETIME nextDue = {};
    std::wstring etag;
    std::wstring lastModified;
    HRESULT lastResult = S_OK;  // of the last check; S_FALSE: not modified
    FILETIME lastCheck = {};    // the last check, whatever its result
    DWORD failures = 0;         // checks failed since the last good one
    DWORD period = 0;           // seconds between checks, as the text asks
};

struct CAdblockCatalog
{
    DWORD generation = 0;       // of the catalog file
    DWORD nextListId = 1;
    DWORD imageGeneration = 0;  // 0: no list is on, no image
    DWORD imageSize = 0;
    std::uint64_t imageHash = 0;  // the image's own checksum (CAdblockImage::GetChecksum)
    std::vector<CAdblockListEntry> lists;  // in the order they were added
};

// The catalog file's bytes and back. Parsing reads hostile input: false for
// anything that is not a whole catalog this code wrote (or a later version
// that only added fields). Throws std::bad_alloc.
std::vector<BYTE> SerializeAdblockCatalog(const CAdblockCatalog& catalog);
bool TryParseAdblockCatalog(const BYTE* bytes, std::size_t size, CAdblockCatalog& catalog);

// The name a list gets from its text ("! Title: ...") or else from the file
// name it came from (without folder and extension).
std::wstring AdblockListNameOf(const std::string& text, const std::wstring& source);

class CAdblockListStore
{
public:
    // One published generation as this process mapped and proved it.
    struct CLoaded
    {
        DWORD generation = 0;
        CAdblockCatalog catalog;
        std::vector<std::size_t> imageLists;  // image list index -> catalog index
        CMappedView view;
        std::unique_ptr<CAdblockImage> image;  // reads the view: goes first; null: no list on

        ~CLoaded() { image.reset(); }
    };

    // The store in `folder`, its writers serialized by the named mutex
    // `writeLockName`; files and the mutex are made with `securityAttributes`
    // (which must outlive this object).
    CAdblockListStore(std::wstring folder, std::wstring writeLockName, SECURITY_ATTRIBUTES* securityAttributes);
    ~CAdblockListStore();
    CAdblockListStore(const CAdblockListStore&) = delete;
    CAdblockListStore& operator=(const CAdblockListStore&) = delete;

    // The lists as published, for one verdict; null when there are none or
    // they cannot be trusted. Steady state: one read of the control block
    // (and, when lists exist, a critical section of this process); nothing
    // else when there are none. Never throws, never waits on another process.
    std::shared_ptr<const CLoaded> GetCurrent() noexcept;

    // The verdict of the lists on one request (None without lists). `loaded`
    // gets what judged it, when given. Throws std::bad_alloc only.
    CAdblockVerdict Judge(const RequestContext& request, std::shared_ptr<const CLoaded>* loaded = nullptr);

    // Allow when a "$document" exception of the lists names the page (an
    // allowed site: nothing on it is blocked or hidden), None otherwise.
    // Throws std::bad_alloc only.
    CAdblockVerdict JudgePage(const wchar_t* pageUrl, std::shared_ptr<const CLoaded>* loaded = nullptr);

    // "NAME, line N: TEXT" for the filter that decided, from the list's
    // stored text (which says so when it no longer matches the catalog).
    std::wstring DescribeFilter(const CLoaded& loaded, const CAdblockVerdict& verdict);

    // The published catalog (empty when none); throws kAdblockListsDamaged
    // when it cannot be read.
    CAdblockCatalog ReadCatalog();
    // A list's text as stored; throws kAdblockListsDamaged when the file no
    // longer holds what the catalog says.
    std::string ReadText(const CAdblockListEntry& entry) const;

    // Writers: each publishes a new generation whole or changes nothing, and
    // throws (kLockTimedOut after kWriterWaitMs, kAdblockListNameTaken,
    // kAdblockListNotFound, kAdblockListTooLarge, converted system errors).
    // A list whose stored text is damaged is left out of the image and named
    // in *leftOut (when given).
    //
    // `stamp`, when given, fills in an entry's fields on keeping it current
    // inside the change (it must not change the name, id or text fields).
    using CStamp = std::function<void(CAdblockListEntry&)>;
    //
    // Adds a list that is on; returns its entry with its counts.
    CAdblockListEntry Add(const std::wstring& name, const std::wstring& source, const std::string& text,
                          std::vector<std::wstring>* leftOut = nullptr, const CStamp& stamp = nullptr);
    // Replaces the text of the list `name`, which keeps its place, source
    // and on/off flag; returns its entry with its new counts.
    CAdblockListEntry Replace(const std::wstring& name, const std::string& text, const CStamp& stamp,
                              std::vector<std::wstring>* leftOut = nullptr);
    // Changes only what `stamp` sets (a check that found the list
    // unchanged): no text or image file is written, only a new catalog.
    void Stamp(const std::wstring& name, const CStamp& stamp);
    void Remove(const std::wstring& name, std::vector<std::wstring>* leftOut = nullptr);
    // Changes the text of the list `name` under the writer's lock, so that
    // no other writer's change is lost: `edit` gets its text as stored (null
    // when there is no such list) and returns the new one; a new list is
    // added, on, with `source`. A list whose stored text is damaged throws
    // kAdblockListsDamaged rather than losing what it held.
    CAdblockListEntry Edit(const std::wstring& name, const std::wstring& source,
                           const std::function<std::string(const std::string* text)>& edit,
                           std::vector<std::wstring>* leftOut = nullptr);
    void SetEnabled(const std::wstring& name, bool enabled, std::vector<std::wstring>* leftOut = nullptr);
    // Compiles the image of the lists that are on again from their stored
    // texts when the published lists cannot be used here (an image another
    // version of this code wrote, or damaged or missing files): until then
    // they have no say. A catalog that cannot be read is recovered as every
    // writer does. True when it wrote; false when what is published is fine.
    bool RebuildIfUnusable(std::vector<std::wstring>* leftOut = nullptr);

    // Files (tests and measurements; the folder also for the files kept
    // beside the lists).
    const std::wstring& GetFolder() const noexcept { return m_folder; }
    const std::wstring& GetControlPath() const noexcept { return m_controlPath; }
    const std::wstring& GetWriteLockName() const noexcept { return m_writeLockName; }
    SECURITY_ATTRIBUTES* GetSecurityAttributes() const noexcept { return m_securityAttributes; }
    std::wstring GetCatalogPath(DWORD generation) const;
    std::wstring GetImagePath(DWORD generation) const;
    std::wstring GetTextPath(DWORD id) const;
    // The published generation, 0 for none.
    DWORD GetPublishedGeneration() noexcept;

private:
    struct CControlBlock;
    template <class Change>
    CAdblockCatalog Write(Change&& change, std::vector<std::wstring>* leftOut, bool rebuildImage = true);
    CAdblockCatalog Publish(CAdblockCatalog& catalog, DWORD after, CControlBlock* control);
    DWORD WriteText(CAdblockCatalog& catalog, const std::string& text, CAdblockListEntry& entry);
    CAdblockCatalog ReadCatalogForWriter(const CControlBlock* control);
    bool TryReadCatalog(DWORD generation, CAdblockCatalog& catalog) const;
    const CControlBlock* GetControl() noexcept;
    std::shared_ptr<const CLoaded> Load(DWORD generation) const;

    std::wstring m_folder;
    std::wstring m_writeLockName;
    SECURITY_ATTRIBUTES* m_securityAttributes;
    std::wstring m_stem;      // "<folder>\lists"
    std::wstring m_textStem;  // "<folder>\list"
    std::wstring m_controlPath;

    CCriticalSection m_lock;  // the control mapping, m_current, m_failed
    CMappedView m_controlView;
    std::atomic<const CControlBlock*> m_control{nullptr};
    std::atomic<DWORD> m_controlRetryTick{0};
    std::atomic<bool> m_controlTried{false};
    std::shared_ptr<const CLoaded> m_current;
    DWORD m_failedGeneration = 0;  // known not to be usable here

    // Texts read for explanations (immutable: keyed by id and checksum).
    mutable CCriticalSection m_textLock;
    mutable std::map<DWORD, std::pair<std::uint64_t, std::string>> m_texts;
    std::atomic<bool> m_keepTexts{false};
};

// Allows `host` (as NormalizeAllowedSite gives it) in the user's own list
// kAllowedSitesListName (engine/AllowedSites.h), which is added, on, when
// missing; with `remove`, takes it out. True when the list changed (false:
// the site was allowed already, or with `remove` was not). Throws as Edit
// does.
bool EditAllowedSite(CAdblockListStore& store, const std::string& host, bool remove,
                     std::vector<std::wstring>* leftOut = nullptr);

// The process's store in the user's storage folder, created on first use.
// Throws when the folder cannot be found.
CAdblockListStore& GetAdblockListStore();
