#include "storage/AdblockListStore.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <set>

#include "com/Error.h"
#include "com/Trace.h"
#include "engine/AllowedSites.h"
#include "engine/FilterIndex.h"
#include "storage/GenerationFiles.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "storage/StorageFolder.h"
#include "storage/StorageFile.h"
#include "storage/StoreSingleton.h"

// The control block, at the start of "lists.ctl". A file of zeros (as a
// reader creates it) means: no lists.
struct CAdblockListStore::CControlBlock
{
    DWORD magic;
    DWORD version;
    // The published catalog's generation; 0: none. Written by writers only,
    // with the write mutex held; read by anyone at any time.
    volatile LONG generation;
    // The last generation a writer used for any file, so that names never
    // come back while a process may still map them. Writers only.
    volatile LONG lastGeneration;
    DWORD reserved[12];
};

namespace {

constexpr DWORD kControlMagic = 0x434C4C51;  // "QLLC"
constexpr DWORD kControlVersion = 1;
constexpr DWORD kControlSize = 64;
constexpr DWORD kCatalogMagic = 0x54434C51;  // "QLCT"
constexpr DWORD kCatalogVersion = 1;
constexpr DWORD kMaxCatalogSize = 16u << 20;
constexpr DWORD kMaxLists = 4096;
// Times a reader retries when a writer publishes while it loads.
constexpr int kLoadAttempts = 3;
// How long a process that could not map the control block waits before it
// tries again (a planted directory must not cost a file open per request).
constexpr DWORD kControlRetryMs = 1000;

// The catalog file: a header, then one record per list, each a size and
// tagged fields. Readers skip tags they do not know.
struct CCatalogHeader
{
    DWORD magic;
    DWORD version;
    DWORD generation;
    DWORD imageGeneration;
    DWORD imageSize;
    DWORD listCount;
    DWORD nextListId;
    DWORD bodySize;
    std::uint64_t imageHash;
    std::uint64_t bodyHash;
};
static_assert(sizeof(CCatalogHeader) == 48, "the catalog header's layout");

enum CatalogTag : WORD
{
    kTagId = 1,
    kTagFlags = 2,
    kTagName = 3,
    kTagSource = 4,
    kTagTextSize = 5,
    kTagTextHash = 6,
    kTagAdded = 7,
    kTagCounts = 8,
    kTagSkippedOption = 9,
    kTagInvalidReason = 10,
    kTagLastUpdate = 20,
    kTagNextDue = 21,
    kTagEtag = 22,
    kTagLastModified = 23,
    kTagLastResult = 24,
    kTagLastCheck = 25,
    kTagFailures = 26,
    kTagPeriod = 27,
};
constexpr DWORD kFlagEnabled = 1;

std::uint64_t Checksum(const BYTE* bytes, std::size_t size) noexcept
{
    CFilterChecksum sum;
    sum.Add(bytes, size);
    return sum.Value();
}

// Over the header's fields before the checksum itself, and the body.
std::uint64_t CatalogChecksum(const CCatalogHeader& header, const BYTE* body, std::size_t size) noexcept
{
    CFilterChecksum sum;
    sum.Add(reinterpret_cast<const BYTE*>(&header), offsetof(CCatalogHeader, bodyHash));
    sum.Add(body, size);
    return sum.Value();
}

class CFieldWriter
{
public:
    explicit CFieldWriter(std::vector<BYTE>& out) : m_out(out) {}
    void Raw(const void* data, std::size_t size)
    {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        m_out.insert(m_out.end(), bytes, bytes + size);
    }
    void Field(WORD tag, const void* data, std::size_t size)
    {
        const WORD header[2] = {tag, 0};
        const DWORD length = static_cast<DWORD>(size);
        Raw(header, sizeof header);
        Raw(&length, sizeof length);
        Raw(data, size);
    }
    template <class T>
    void Value(WORD tag, const T& value)
    {
        Field(tag, &value, sizeof value);
    }
    void Text(WORD tag, const std::wstring& text) { Field(tag, text.data(), text.size() * sizeof(wchar_t)); }
    void Count(WORD tag, const std::string& name, std::size_t count)
    {
        std::vector<BYTE> bytes(8 + name.size());
        const std::uint64_t value = count;
        std::memcpy(bytes.data(), &value, 8);
        std::memcpy(bytes.data() + 8, name.data(), name.size());
        Field(tag, bytes.data(), bytes.size());
    }

private:
    std::vector<BYTE>& m_out;
};

template <class T>
bool ReadValue(const BYTE* data, std::size_t size, T& value)
{
    if (size != sizeof value)
        return false;
    std::memcpy(&value, data, sizeof value);
    return true;
}

bool ReadText(const BYTE* data, std::size_t size, std::size_t maxChars, std::wstring& text)
{
    if (size % sizeof(wchar_t) != 0 || size / sizeof(wchar_t) > maxChars)
        return false;
    text.assign(size / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], data, size);
    return text.find(L'\0') == std::wstring::npos;
}

bool ReadCount(const BYTE* data, std::size_t size, std::map<std::string, std::size_t>& counts)
{
    if (size < 8 || size > 8 + 256)
        return false;
    std::uint64_t value;
    std::memcpy(&value, data, 8);
    counts[std::string(reinterpret_cast<const char*>(data + 8), size - 8)] = static_cast<std::size_t>(value);
    return true;
}

bool ParseEntry(const BYTE* at, std::size_t size, CAdblockListEntry& entry)
{
    DWORD flags = 0;
    while (size > 0) {
        if (size < 8)
            return false;
        WORD tag;
        DWORD length;
        std::memcpy(&tag, at, sizeof tag);
        std::memcpy(&length, at + 4, sizeof length);
        at += 8;
        size -= 8;
        if (length > size)
            return false;
        bool ok = true;
        switch (tag) {
        case kTagId: ok = ReadValue(at, length, entry.id); break;
        case kTagFlags: ok = ReadValue(at, length, flags); break;
        case kTagName: ok = ReadText(at, length, kMaxAdblockListName, entry.name); break;
        case kTagSource: ok = ReadText(at, length, kMaxAdblockListSource, entry.source); break;
        case kTagTextSize: ok = ReadValue(at, length, entry.textSize); break;
        case kTagTextHash: ok = ReadValue(at, length, entry.textHash); break;
        case kTagAdded: ok = ReadValue(at, length, entry.added); break;
        case kTagCounts: {
            std::uint64_t counts[6];
            ok = ReadValue(at, length, counts);
            if (ok) {
                CAdblockCounts& c = entry.counts;
                c.lines = counts[0], c.network = counts[1], c.cosmetic = counts[2];
                c.comments = counts[3], c.invalid = counts[4], c.skipped = counts[5];
            }
            break;
        }
        case kTagSkippedOption: ok = ReadCount(at, length, entry.counts.skippedOptions); break;
        case kTagInvalidReason: ok = ReadCount(at, length, entry.counts.invalidReasons); break;
        case kTagLastUpdate: ok = ReadValue(at, length, entry.lastUpdate); break;
        case kTagNextDue: ok = ReadValue(at, length, entry.nextDue); break;
        case kTagEtag: ok = ReadText(at, length, kMaxAdblockListSource, entry.etag); break;
        case kTagLastModified: ok = ReadText(at, length, kMaxAdblockListSource, entry.lastModified); break;
        case kTagLastResult: ok = ReadValue(at, length, entry.lastResult); break;
        case kTagLastCheck: ok = ReadValue(at, length, entry.lastCheck); break;
        case kTagFailures: ok = ReadValue(at, length, entry.failures); break;
        case kTagPeriod: ok = ReadValue(at, length, entry.period); break;
        default: break;  // a later version's field
        }
        if (!ok)
            return false;
        at += length;
        size -= length;
    }
    entry.enabled = (flags & kFlagEnabled) != 0;
    return entry.id != 0 && !entry.name.empty();
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

bool SameName(const std::wstring& a, const std::wstring& b) noexcept
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// A whole file of the store, read into private memory; false when it cannot
// be read or is larger than `maxSize`.
bool TryReadStorageFile(const std::wstring& path, DWORD maxSize, std::vector<BYTE>& bytes)
{
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > maxSize)
        return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    for (DWORD done = 0; done < bytes.size();) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size()) - done, &got, nullptr) ||
            got == 0)
            return false;
        done += got;
    }
    return true;
}

LONG ReadGeneration(const volatile LONG* generation) noexcept
{
    return __atomic_load_n(generation, __ATOMIC_ACQUIRE);
}

// Throws E_INVALIDARG for a name or source a catalog cannot keep.
void CheckNameAndSource(const std::wstring& name, const std::wstring& source)
{
    if (name.empty() || name.size() > kMaxAdblockListName || name.find(L'\0') != std::wstring::npos ||
        source.size() > kMaxAdblockListSource || source.find(L'\0') != std::wstring::npos)
        ThrowHResult(E_INVALIDARG);
}

// The catalog's list named `name` (letter case ignored), or its end.
std::vector<CAdblockListEntry>::iterator FindList(CAdblockCatalog& catalog, const std::wstring& name)
{
    return std::find_if(catalog.lists.begin(), catalog.lists.end(),
                        [&](const CAdblockListEntry& entry) { return SameName(entry.name, name); });
}

// The same, or throws kAdblockListNotFound.
std::vector<CAdblockListEntry>::iterator ListNamed(CAdblockCatalog& catalog, const std::wstring& name)
{
    const auto found = FindList(catalog, name);
    if (found == catalog.lists.end())
        ThrowHResult(kAdblockListNotFound);
    return found;
}

// The entry of the list whose text is `id` as published, with its counts.
CAdblockListEntry PublishedEntry(const CAdblockCatalog& published, DWORD id)
{
    for (const CAdblockListEntry& entry : published.lists) {
        if (entry.id == id)
            return entry;
    }
    ThrowHResult(kAdblockListsDamaged);
}

}  // namespace

std::vector<BYTE> SerializeAdblockCatalog(const CAdblockCatalog& catalog)
{
    std::vector<BYTE> body;
    CFieldWriter fields(body);
    for (const CAdblockListEntry& entry : catalog.lists) {
        std::vector<BYTE> record;
        CFieldWriter out(record);
        out.Value(kTagId, entry.id);
        out.Value(kTagFlags, entry.enabled ? kFlagEnabled : DWORD{0});
        out.Text(kTagName, entry.name);
        out.Text(kTagSource, entry.source);
        out.Value(kTagTextSize, entry.textSize);
        out.Value(kTagTextHash, entry.textHash);
        out.Value(kTagAdded, entry.added);
        const CAdblockCounts& c = entry.counts;
        const std::uint64_t counts[6] = {c.lines, c.network, c.cosmetic, c.comments, c.invalid, c.skipped};
        out.Value(kTagCounts, counts);
        for (const auto& [name, count] : c.skippedOptions)
            out.Count(kTagSkippedOption, name.substr(0, 256), count);
        for (const auto& [name, count] : c.invalidReasons)
            out.Count(kTagInvalidReason, name.substr(0, 256), count);
        out.Value(kTagLastUpdate, entry.lastUpdate);
        out.Value(kTagNextDue, entry.nextDue);
        out.Text(kTagEtag, entry.etag);
        out.Text(kTagLastModified, entry.lastModified);
        out.Value(kTagLastResult, entry.lastResult);
        out.Value(kTagLastCheck, entry.lastCheck);
        out.Value(kTagFailures, entry.failures);
        out.Value(kTagPeriod, entry.period);
        const DWORD size = static_cast<DWORD>(record.size());
        fields.Raw(&size, sizeof size);
        fields.Raw(record.data(), record.size());
    }
    CCatalogHeader header{};
    header.magic = kCatalogMagic;
    header.version = kCatalogVersion;
    header.generation = catalog.generation;
    header.imageGeneration = catalog.imageGeneration;
    header.imageSize = catalog.imageSize;
    header.listCount = static_cast<DWORD>(catalog.lists.size());
    header.nextListId = catalog.nextListId;
    header.bodySize = static_cast<DWORD>(body.size());
    header.imageHash = catalog.imageHash;
    header.bodyHash = CatalogChecksum(header, body.data(), body.size());
    body.insert(body.begin(), reinterpret_cast<const BYTE*>(&header),
                reinterpret_cast<const BYTE*>(&header) + sizeof header);
    return body;
}

bool TryParseAdblockCatalog(const BYTE* bytes, std::size_t size, CAdblockCatalog& catalog)
{
    CCatalogHeader header;
    if (size < sizeof header)
        return false;
    std::memcpy(&header, bytes, sizeof header);
    const BYTE* at = bytes + sizeof header;
    std::size_t left = size - sizeof header;
    if (header.magic != kCatalogMagic || header.version != kCatalogVersion || header.bodySize != left ||
        header.listCount > kMaxLists || header.bodyHash != CatalogChecksum(header, at, left) || header.nextListId == 0 ||
        (header.imageGeneration == 0) != (header.imageSize == 0))
        return false;
    CAdblockCatalog parsed;
    parsed.generation = header.generation;
    parsed.nextListId = header.nextListId;
    parsed.imageGeneration = header.imageGeneration;
    parsed.imageSize = header.imageSize;
    parsed.imageHash = header.imageHash;
    std::set<DWORD> ids;
    for (DWORD i = 0; i < header.listCount; ++i) {
        DWORD recordSize;
        if (left < sizeof recordSize)
            return false;
        std::memcpy(&recordSize, at, sizeof recordSize);
        at += sizeof recordSize;
        left -= sizeof recordSize;
        if (recordSize > left)
            return false;
        CAdblockListEntry entry;
        if (!ParseEntry(at, recordSize, entry) || !ids.insert(entry.id).second)
            return false;
        for (const CAdblockListEntry& other : parsed.lists) {
            if (SameName(other.name, entry.name))
                return false;
        }
        parsed.lists.push_back(std::move(entry));
        at += recordSize;
        left -= recordSize;
    }
    if (left != 0)
        return false;
    catalog = std::move(parsed);
    return true;
}

std::wstring AdblockListNameOf(const std::string& text, const std::wstring& source)
{
    std::wstring name;
    // "! Title: ..." among the header comments at the top.
    ForEachAdblockLine(std::string_view(text).substr(0, 64 * 1024), [&](std::uint32_t number, std::string_view line) {
        if (!name.empty() || number > 50)
            return;
        constexpr std::string_view kTitle = "! Title:";
        if (line.substr(0, kTitle.size()) == kTitle)
            name = FromUtf8(line.substr(kTitle.size()));
    });
    auto trim = [](std::wstring& text) {
        for (wchar_t& c : text) {
            if (c < L' ' || c == L'\x7F')
                c = L' ';
        }
        const std::size_t first = text.find_first_not_of(L' ');
        const std::size_t last = text.find_last_not_of(L' ');
        text = first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
    };
    trim(name);
    if (name.empty()) {
        const std::size_t slash = source.find_last_of(L"\\/:");
        name = source.substr(slash == std::wstring::npos ? 0 : slash + 1);
        const std::size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos && dot > 0)
            name.erase(dot);
        trim(name);
    }
    if (name.size() > kMaxAdblockListName)
        name.resize(kMaxAdblockListName);
    return name.empty() ? std::wstring(L"list") : name;
}

CAdblockListStore::CAdblockListStore(std::wstring folder, std::wstring writeLockName,
                                     SECURITY_ATTRIBUTES* securityAttributes)
    : m_folder(std::move(folder)), m_writeLockName(std::move(writeLockName)), m_securityAttributes(securityAttributes)
{
    if (!m_folder.empty() && m_folder.back() != L'\\' && m_folder.back() != L'/')
        m_folder += L'\\';
    m_stem = m_folder + L"lists";
    m_textStem = m_folder + L"list";
    m_controlPath = m_stem + L".ctl";
}

CAdblockListStore::~CAdblockListStore() = default;

std::wstring CAdblockListStore::GetCatalogPath(DWORD generation) const
{
    return GenerationFilePath(m_stem, generation, L".cat");
}

std::wstring CAdblockListStore::GetImagePath(DWORD generation) const
{
    return GenerationFilePath(m_stem, generation, L".img");
}

std::wstring CAdblockListStore::GetTextPath(DWORD id) const
{
    return GenerationFilePath(m_textStem, id, L".txt");
}

// ---- Readers ---------------------------------------------------------------

const CAdblockListStore::CControlBlock* CAdblockListStore::GetControl() noexcept
{
    if (const CControlBlock* control = m_control.load(std::memory_order_acquire))
        return control;
    if (m_controlTried.load() && GetTickCount() - m_controlRetryTick.load() < kControlRetryMs)
        return nullptr;
    CCritSecLock hold(m_lock);
    if (const CControlBlock* control = m_control.load(std::memory_order_relaxed))
        return control;
    CMappedView view = TryMapControlBlockForReading(m_controlPath, kControlSize, m_securityAttributes);
    if (!view) {
        m_controlRetryTick.store(GetTickCount());
        m_controlTried.store(true);
        return nullptr;
    }
    m_controlView = std::move(view);
    const auto* control = static_cast<const CControlBlock*>(m_controlView.Get());
    m_control.store(control, std::memory_order_release);
    return control;
}

DWORD CAdblockListStore::GetPublishedGeneration() noexcept
{
    const CControlBlock* control = GetControl();
    if (!control || control->magic != kControlMagic)
        return 0;
    return static_cast<DWORD>(ReadGeneration(&control->generation));
}

std::shared_ptr<const CAdblockListStore::CLoaded> CAdblockListStore::GetCurrent() noexcept
{
    const CControlBlock* control = GetControl();
    if (!control)
        return nullptr;
    DWORD generation = static_cast<DWORD>(ReadGeneration(&control->generation));
    if (generation == 0)
        return nullptr;
    try {
        CCritSecLock hold(m_lock);
        for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
            if (m_current && m_current->generation == generation)
                return m_current;
            if (generation == m_failedGeneration || control->magic != kControlMagic)
                return nullptr;
            std::shared_ptr<const CLoaded> loaded = Load(generation);
            if (loaded) {
                m_current = loaded;
                return loaded;
            }
            // A writer that published meanwhile may have deleted what this
            // one read: try its generation. Otherwise the generation is bad
            // here until the next writer.
            const DWORD now = static_cast<DWORD>(ReadGeneration(&control->generation));
            if (now == generation) {
                m_failedGeneration = generation;
                m_current.reset();
                return nullptr;
            }
            generation = now;
            if (generation == 0)
                return nullptr;
        }
    } catch (...) {
        // Out of memory: this verdict goes without the lists, the next one
        // tries again.
        TraceCurrentException("Adblock lists not loaded");
    }
    return nullptr;
}

bool CAdblockListStore::TryReadCatalog(DWORD generation, CAdblockCatalog& catalog) const
{
    std::vector<BYTE> bytes;
    return TryReadStorageFile(GetCatalogPath(generation), kMaxCatalogSize, bytes) &&
           TryParseAdblockCatalog(bytes.data(), bytes.size(), catalog) && catalog.generation == generation;
}

std::shared_ptr<const CAdblockListStore::CLoaded> CAdblockListStore::Load(DWORD generation) const
{
    auto loaded = std::make_shared<CLoaded>();
    loaded->generation = generation;
    if (!TryReadCatalog(generation, loaded->catalog))
        return nullptr;
    const CAdblockCatalog& catalog = loaded->catalog;
    for (std::size_t i = 0; i < catalog.lists.size(); ++i) {
        if (catalog.lists[i].enabled)
            loaded->imageLists.push_back(i);
    }
    if (catalog.imageGeneration == 0)
        return loaded->imageLists.empty() ? loaded : nullptr;
    // The image the catalog names, exactly as its writer wrote it.
    CFileHandle file(TryOpenStorageFile(GetImagePath(catalog.imageGeneration), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart != catalog.imageSize)
        return nullptr;
    CHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, catalog.imageSize, nullptr));
    if (!mapping)
        return nullptr;
    loaded->view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, catalog.imageSize));
    if (!loaded->view)
        return nullptr;
    const BYTE* image = static_cast<const BYTE*>(loaded->view.Get());
    // The image's own checksum covers its header and one checksum per page,
    // which lookups prove as they first read each page: a process's first
    // verdict does not wait for a pass over the whole image. Lookups read
    // the bytes as hostile input whatever they hold by then.
    loaded->image = CAdblockImage::Open(image, catalog.imageSize, true);
    if (!loaded->image || loaded->image->GetChecksum() != catalog.imageHash ||
        loaded->image->GetListCount() != loaded->imageLists.size())
        return nullptr;
    return loaded;
}

CAdblockVerdict CAdblockListStore::Judge(const RequestContext& request, std::shared_ptr<const CLoaded>* used)
{
    std::shared_ptr<const CLoaded> loaded = GetCurrent();
    CAdblockVerdict verdict;
    if (loaded && loaded->image)
        verdict = loaded->image->Judge(request);
    if (used)
        *used = std::move(loaded);
    return verdict;
}

CAdblockVerdict CAdblockListStore::JudgePage(const wchar_t* pageUrl, std::shared_ptr<const CLoaded>* used)
{
    std::shared_ptr<const CLoaded> loaded = GetCurrent();
    CAdblockVerdict verdict;
    if (loaded && loaded->image && pageUrl && *pageUrl)
        verdict = loaded->image->JudgePage(pageUrl);
    if (used)
        *used = std::move(loaded);
    return verdict;
}

std::string CAdblockListStore::ReadText(const CAdblockListEntry& entry) const
{
    {
        CCritSecLock hold(m_textLock);
        auto cached = m_texts.find(entry.id);
        if (cached != m_texts.end() && cached->second.first == entry.textHash)
            return cached->second.second;
    }
    std::vector<BYTE> bytes;
    if (!TryReadStorageFile(GetTextPath(entry.id), kMaxAdblockListText, bytes) || bytes.size() != entry.textSize ||
        Checksum(bytes.data(), bytes.size()) != entry.textHash)
        ThrowHResult(kAdblockListsDamaged);
    std::string text(bytes.begin(), bytes.end());
    if (m_keepTexts) {
        CCritSecLock hold(m_textLock);
        m_texts[entry.id] = {entry.textHash, text};
    }
    return text;
}

std::wstring CAdblockListStore::DescribeFilter(const CLoaded& loaded, const CAdblockVerdict& verdict)
{
    if (verdict.list >= loaded.imageLists.size())
        return L"(a list no longer stored)";
    const CAdblockListEntry& entry = loaded.catalog.lists[loaded.imageLists[verdict.list]];
    std::wstring where = entry.name + L", line " + std::to_wstring(verdict.line);
    // Explanations come in runs (a file of URLs): keep the texts read.
    m_keepTexts = true;
    std::string text;
    try {
        text = ReadText(entry);
    } catch (const CHResultException&) {
        return where + L" (the list's stored text is damaged)";
    }
    std::wstring line;
    ForEachAdblockLine(text, [&](std::uint32_t number, std::string_view at) {
        if (number == verdict.line)
            line = FromUtf8(at);
    });
    return where + L": " + line;
}

CAdblockCatalog CAdblockListStore::ReadCatalog()
{
    const CControlBlock* control = GetControl();
    if (!control) {
        // Nothing to read unless a control block exists that this process
        // cannot map.
        if (GetFileAttributesW(m_controlPath.c_str()) == INVALID_FILE_ATTRIBUTES)
            return CAdblockCatalog();
        ThrowHResult(kAdblockListsDamaged);
    }
    for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
        const DWORD generation = static_cast<DWORD>(ReadGeneration(&control->generation));
        if (generation == 0)
            return CAdblockCatalog();
        CAdblockCatalog catalog;
        if (control->magic == kControlMagic && TryReadCatalog(generation, catalog))
            return catalog;
        if (static_cast<DWORD>(ReadGeneration(&control->generation)) == generation)
            break;
    }
    ThrowHResult(kAdblockListsDamaged);
}

// ---- Writers ---------------------------------------------------------------

CAdblockCatalog CAdblockListStore::ReadCatalogForWriter(const CControlBlock* control)
{
    CAdblockCatalog catalog;
    const DWORD published = control->magic == kControlMagic ? static_cast<DWORD>(control->generation) : 0;
    if (published != 0 && TryReadCatalog(published, catalog))
        return catalog;
    // No readable published catalog: the control block was lost or damaged
    // (writers publish only whole catalogs). The newest whole one in the
    // folder holds the lists as the last writer left them.
    DWORD newest = 0;
    bool sawCatalog = published != 0;
    DeleteStaleGenerationFiles(m_stem, L".cat", [&](DWORD generation) {
        sawCatalog = true;
        CAdblockCatalog found;
        if (generation > newest && TryReadCatalog(generation, found)) {
            newest = generation;
            catalog = std::move(found);
        }
        return true;  // keeps every file: only looking
    });
    // Texts without any catalog are what a first writer left when it died.
    if (newest != 0 || !sawCatalog)
        return catalog;
    // Catalogs, and none whole: the lists' texts are what the user stored;
    // each comes back as a list of its own, under the name its text gives.
    DeleteStaleGenerationFiles(m_textStem, L".txt", [&](DWORD id) {
        std::vector<BYTE> bytes;
        if (catalog.lists.size() >= kMaxLists || !TryReadStorageFile(GetTextPath(id), kMaxAdblockListText, bytes))
            return true;
        CAdblockListEntry entry;
        entry.id = id;
        entry.source = L"(recovered)";
        const std::string text(bytes.begin(), bytes.end());
        entry.name = AdblockListNameOf(text, L"list " + std::to_wstring(id));
        for (const CAdblockListEntry& other : catalog.lists) {
            if (SameName(other.name, entry.name))
                entry.name = L"list " + std::to_wstring(id);
        }
        entry.textSize = static_cast<DWORD>(bytes.size());
        entry.textHash = Checksum(bytes.data(), bytes.size());
        GetSystemTimeAsFileTime(&entry.added);
        catalog.nextListId = std::max(catalog.nextListId, NextGeneration(id));
        catalog.lists.push_back(std::move(entry));
        return true;
    });
    return catalog;
}

template <class Change>
CAdblockCatalog CAdblockListStore::Write(Change&& change, std::vector<std::wstring>* leftOut, bool rebuildImage)
{
    CNamedMutex mutex(m_securityAttributes, m_writeLockName);
    CMutexHold hold(mutex.Get(), kWriterWaitMs);
    CMappedView controlView = MapControlBlockForWriting(m_controlPath, kControlSize, m_securityAttributes);
    auto* control = static_cast<CControlBlock*>(controlView.Get());
    CAdblockCatalog catalog = ReadCatalogForWriter(control);
    DWORD after = catalog.generation;
    const bool fromPublished =
        control->magic == kControlMagic && catalog.generation != 0 && catalog.generation == static_cast<DWORD>(control->generation);
    if (control->magic == kControlMagic)
        after = std::max({after, static_cast<DWORD>(control->generation), static_cast<DWORD>(control->lastGeneration)});

    change(catalog);

    // A change of the entries' other fields keeps the image readers proved,
    // unless the catalog was recovered (its image is not known to be whole).
    if (!rebuildImage && fromPublished)
        return Publish(catalog, after, control);

    // The image of the lists that are on, from their stored texts.
    std::vector<std::string> texts;
    std::vector<std::string> names;
    std::vector<std::size_t> compiled;
    texts.reserve(catalog.lists.size());
    names.reserve(catalog.lists.size());
    for (std::size_t i = 0; i < catalog.lists.size(); ++i) {
        CAdblockListEntry& entry = catalog.lists[i];
        if (!entry.enabled)
            continue;
        try {
            texts.push_back(ReadText(entry));
        } catch (const CHResultException&) {
            if (leftOut)
                leftOut->push_back(entry.name);
            continue;
        }
        names.push_back(ToUtf8(entry.name));
        compiled.push_back(i);
    }
    catalog.imageGeneration = 0;
    catalog.imageSize = 0;
    catalog.imageHash = 0;
    if (!compiled.empty()) {
        std::vector<CAdblockListText> lists;
        for (std::size_t i = 0; i < compiled.size(); ++i)
            lists.push_back({names[i], texts[i]});
        std::vector<CAdblockCounts> counts;
        const std::vector<BYTE> image = BuildAdblockImage(lists, &counts);
        for (std::size_t i = 0; i < compiled.size() && i < counts.size(); ++i)
            catalog.lists[compiled[i]].counts = counts[i];
        catalog.imageSize = static_cast<DWORD>(image.size());
        const auto built = CAdblockImage::Open(image.data(), image.size(), false);
        if (!built)
            ThrowHResult(E_UNEXPECTED);
        catalog.imageHash = built->GetChecksum();
        catalog.imageGeneration = WriteGenerationFile(m_stem, L".img", after, m_securityAttributes, true,
                                                      [&](DWORD) -> const std::vector<BYTE>& { return image; });
        after = catalog.imageGeneration;
    }
    return Publish(catalog, after, control);
}

CAdblockCatalog CAdblockListStore::Publish(CAdblockCatalog& catalog, DWORD after, CControlBlock* control)
{
    std::vector<BYTE> bytes;
    const DWORD generation = WriteGenerationFile(m_stem, L".cat", after, m_securityAttributes, true,
                                                 [&](DWORD generation) -> const std::vector<BYTE>& {
                                                     catalog.generation = generation;
                                                     bytes = SerializeAdblockCatalog(catalog);
                                                     return bytes;
                                                 });

    // Every file is whole on the disk: publish.
    control->magic = kControlMagic;
    control->version = kControlVersion;
    __atomic_store_n(&control->lastGeneration, static_cast<LONG>(generation), __ATOMIC_RELEASE);
    __atomic_store_n(&control->generation, static_cast<LONG>(generation), __ATOMIC_RELEASE);
    FlushViewOfFile(control, kControlSize);

    // What no generation uses any more, once nobody maps it.
    const DWORD image = catalog.imageGeneration;
    DeleteStaleGenerationFiles(m_stem, L".cat", [&](DWORD g) { return g == generation; });
    DeleteStaleGenerationFiles(m_stem, L".img", [&](DWORD g) { return g == image; });
    std::set<DWORD> ids;
    for (const CAdblockListEntry& entry : catalog.lists)
        ids.insert(entry.id);
    DeleteStaleGenerationFiles(m_textStem, L".txt", [&](DWORD id) { return ids.count(id) != 0; });
    return catalog;
}

// A new text file for the entry (texts are never rewritten: a reader may be
// explaining a verdict from the old one).
DWORD CAdblockListStore::WriteText(CAdblockCatalog& catalog, const std::string& text, CAdblockListEntry& entry)
{
    entry.textSize = static_cast<DWORD>(text.size());
    entry.textHash = Checksum(reinterpret_cast<const BYTE*>(text.data()), text.size());
    // A list that is on gets its counts from the image it is compiled into;
    // one that is off is counted here, so that what the user is shown
    // matches the text it holds now, not the one it was last compiled from.
    if (!entry.enabled)
        entry.counts = CountAdblockLines(text);
    const std::vector<BYTE> bytes(text.begin(), text.end());
    entry.id = WriteGenerationFile(m_textStem, L".txt", catalog.nextListId - 1, m_securityAttributes, true,
                                   [&](DWORD) -> const std::vector<BYTE>& { return bytes; });
    catalog.nextListId = NextGeneration(entry.id);
    return entry.id;
}

CAdblockListEntry CAdblockListStore::Add(const std::wstring& name, const std::wstring& source, const std::string& text,
                                         std::vector<std::wstring>* leftOut, const CStamp& stamp)
{
    if (text.size() > kMaxAdblockListText)
        ThrowHResult(kAdblockListTooLarge);
    CheckNameAndSource(name, source);
    DWORD id = 0;
    const CAdblockCatalog published = Write(
        [&](CAdblockCatalog& catalog) {
            for (const CAdblockListEntry& entry : catalog.lists) {
                if (SameName(entry.name, name))
                    ThrowHResult(kAdblockListNameTaken);
            }
            if (catalog.lists.size() >= kMaxLists)
                ThrowHResult(HResultFromWin32(ERROR_TOO_MANY_NAMES));
            CAdblockListEntry entry;
            entry.name = name;
            entry.source = source;
            GetSystemTimeAsFileTime(&entry.added);
            if (stamp)
                stamp(entry);
            id = WriteText(catalog, text, entry);
            catalog.lists.push_back(std::move(entry));
        },
        leftOut);
    return PublishedEntry(published, id);
}

CAdblockListEntry CAdblockListStore::Edit(const std::wstring& name, const std::wstring& source,
                                          const std::function<std::string(const std::string* text)>& edit,
                                          std::vector<std::wstring>* leftOut)
{
    CheckNameAndSource(name, source);
    DWORD id = 0;
    const CAdblockCatalog published = Write(
        [&](CAdblockCatalog& catalog) {
            auto found = FindList(catalog, name);
            std::string text;
            if (found == catalog.lists.end()) {
                if (catalog.lists.size() >= kMaxLists)
                    ThrowHResult(HResultFromWin32(ERROR_TOO_MANY_NAMES));
                text = edit(nullptr);
                CAdblockListEntry entry;
                entry.name = name;
                entry.source = source;
                GetSystemTimeAsFileTime(&entry.added);
                catalog.lists.push_back(std::move(entry));
                found = catalog.lists.end() - 1;
            } else {
                const std::string current = ReadText(*found);
                text = edit(&current);
            }
            if (text.size() > kMaxAdblockListText)
                ThrowHResult(kAdblockListTooLarge);
            // Texts are never rewritten: the new one gets a file of its own,
            // and the old one goes once no generation names it.
            id = WriteText(catalog, text, *found);
        },
        leftOut);
    return PublishedEntry(published, id);
}

CAdblockListEntry CAdblockListStore::Replace(const std::wstring& name, const std::string& text, const CStamp& stamp,
                                             std::vector<std::wstring>* leftOut)
{
    if (text.size() > kMaxAdblockListText)
        ThrowHResult(kAdblockListTooLarge);
    DWORD id = 0;
    const CAdblockCatalog published = Write(
        [&](CAdblockCatalog& catalog) {
            const auto found = ListNamed(catalog, name);
            if (stamp)
                stamp(*found);
            id = WriteText(catalog, text, *found);
        },
        leftOut);
    return PublishedEntry(published, id);
}

void CAdblockListStore::Stamp(const std::wstring& name, const CStamp& stamp)
{
    Write(
        [&](CAdblockCatalog& catalog) {
            const auto found = ListNamed(catalog, name);
            stamp(*found);
        },
        nullptr, false);
}

void CAdblockListStore::Remove(const std::wstring& name, std::vector<std::wstring>* leftOut)
{
    Write(
        [&](CAdblockCatalog& catalog) {
            const auto found = ListNamed(catalog, name);
            catalog.lists.erase(found);
        },
        leftOut);
}

void CAdblockListStore::SetEnabled(const std::wstring& name, bool enabled, std::vector<std::wstring>* leftOut)
{
    Write(
        [&](CAdblockCatalog& catalog) {
            const auto found = ListNamed(catalog, name);
            found->enabled = enabled;
        },
        leftOut);
}

bool CAdblockListStore::RebuildIfUnusable(std::vector<std::wstring>* leftOut)
{
    // Asked without the lock, as a verdict asks: two processes that find
    // the same lists unusable at once only compile them twice.
    if (GetPublishedGeneration() == 0 || GetCurrent())
        return false;
    Write([](CAdblockCatalog&) {}, leftOut);
    return true;
}

namespace {

// Process-wide, as the other stores (destroyed when the module unloads).
CCriticalSection g_adblockListStoreLock;
std::atomic<CAdblockListStore*> g_adblockListStore{nullptr};
struct CAdblockListStoreOwner
{
    ~CAdblockListStoreOwner() { delete g_adblockListStore.load(); }
} g_adblockListStoreOwner;

}  // namespace

bool EditAllowedSite(CAdblockListStore& store, const std::string& host, bool remove,
                     std::vector<std::wstring>* leftOut)
{
    bool changed = false;
    store.Edit(
        kAllowedSitesListName, std::wstring(),
        [&](const std::string* text) {
            const std::string current = text ? *text : std::string();
            std::string edited = remove ? RemoveAllowedSite(current, host, &changed) : AddAllowedSite(current, host);
            if (!remove)
                changed = !text || edited != current;
            return edited;
        },
        leftOut);
    return changed;
}

CAdblockListStore& GetAdblockListStore()
{
    if (CAdblockListStore* store = g_adblockListStore.load(std::memory_order_acquire))
        return *store;
    CCritSecLock hold(g_adblockListStoreLock);
    if (CAdblockListStore* store = g_adblockListStore.load(std::memory_order_relaxed))
        return *store;
    wchar_t folder[MAX_PATH];
    ThrowIfFailed(GetStorageFolder(folder));
    auto store = std::make_unique<CAdblockListStore>(folder, MakeSharedObjectName(L"AdblockListsWriteLock"),
                                                     GetSharedSecurityAttributes());
    g_adblockListStore.store(store.get(), std::memory_order_release);
    return *store.release();
}
