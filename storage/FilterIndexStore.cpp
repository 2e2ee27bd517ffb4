#include "storage/FilterIndexStore.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "com/Error.h"
#include "com/Trace.h"
#include "storage/FilterRecordCursor.h"
#include "storage/GenerationFiles.h"
#include "storage/StorageFile.h"

// The control block, at the start of the control file. A file of zeros (as
// a reader creates it) means: no index.
struct CFilterIndexStore::CControlBlock
{
    DWORD magic;
    DWORD version;
    // The published image's generation; 0: none, walk the list (also while
    // a writer changes the list, and after one died doing so). Written by
    // writers only, while they hold the list's write mutex; read by anyone
    // at any time.
    volatile LONG generation;
    // The generation of the last image a writer published, kept while none
    // is published so that image names never come back. Writers only.
    DWORD lastImage;
    // What vouches for the image of `provenGeneration`: the list file and
    // the image file as they were when the image was last proven to hold
    // the list (by its writer, or by a reader that hashed both). Written
    // with no reader of the list checking it (writers) or with the list
    // unchanged (readers); a torn read only fails to vouch.
    volatile LONG provenGeneration;
    volatile LONG proof[10];
    DWORD reserved[1];
};

// What a proof records of the two files: their lengths and their creation
// and last write times (cheap to ask for; asking for a file's identity costs
// milliseconds under Wine). Any change to a file changes its last write
// time; a file put in the place of another one keeps its own times.
struct CFilterIndexStore::CProof
{
    struct CStamp
    {
        DWORD size = 0;
        FILETIME created = {};
        FILETIME written = {};
    };

    DWORD fields[10] = {};

    CProof() = default;
    CProof(const CStamp& list, const CStamp& image) noexcept
        : fields{list.size,
                 list.created.dwLowDateTime,
                 list.created.dwHighDateTime,
                 list.written.dwLowDateTime,
                 list.written.dwHighDateTime,
                 image.size,
                 image.created.dwLowDateTime,
                 image.created.dwHighDateTime,
                 image.written.dwLowDateTime,
                 image.written.dwHighDateTime}
    {
    }
    bool operator==(const CProof& other) const noexcept { return std::memcmp(fields, other.fields, sizeof fields) == 0; }
};

// One mapped, proven image.
struct CFilterIndexStore::CLoaded
{
    DWORD generation = 0;
    CMappedView view;
    std::unique_ptr<CFilterIndex> index;  // reads the view: goes first

    ~CLoaded() { index.reset(); }
};

namespace {

constexpr DWORD kControlMagic = 0x43584951;  // "QIXC"
constexpr DWORD kControlVersion = 1;
constexpr DWORD kControlSize = 64;
// Times a reader retries when a writer publishes while it loads.
constexpr int kLoadAttempts = 3;

// The stamp of an open file; false when it cannot be read.
bool StampOf(HANDLE file, CFilterIndexStore::CProof::CStamp& stamp)
{
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length) || length.HighPart != 0 ||
        !GetFileTime(file, &stamp.created, nullptr, &stamp.written))
        return false;
    stamp.size = length.LowPart;
    return true;
}

// The list's stamp, while its writer or a reader holds it unchanged.
CFilterIndexStore::CProof::CStamp StampOf(const CSharedStore& list, DWORD size)
{
    CFilterIndexStore::CProof::CStamp stamp;
    stamp.size = size;
    list.GetFileTimes(stamp.created, stamp.written);
    return stamp;
}

LONG ReadGeneration(const volatile LONG* generation) noexcept
{
    return __atomic_load_n(generation, __ATOMIC_ACQUIRE);
}

// Maps a whole file read-only; empty when it cannot. The file may be
// deleted (not changed: images are never rewritten) while mapped.
CMappedView MapWholeFile(const std::wstring& path, DWORD& size, CFilterIndexStore::CProof::CStamp& stamp)
{
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (!file || !StampOf(file.Get(), stamp) || stamp.size == 0)
        return CMappedView();
    CHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, stamp.size, nullptr));
    if (!mapping)
        return CMappedView();
    size = stamp.size;
    return CMappedView(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, stamp.size));
}

// The list's FilterListHash, read from its file while the caller's reader
// keeps writers out. Reading beats the reader's view here: hashing through
// the view would fault in every page of the list in a fresh process. False
// when the file cannot be read.
bool HashListFile(const std::wstring& path, DWORD size, std::uint64_t& hash)
{
    constexpr DWORD kBlock = 64 * 1024;
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    if (!file)
        return false;
    std::unique_ptr<BYTE[]> block(new BYTE[kBlock]);
    CFilterChecksum sum;
    for (DWORD done = 0; done < size;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), block.get(), std::min(kBlock, size - done), &got, nullptr) || got == 0)
            return false;
        sum.Add(block.get(), got);
        done += got;
    }
    hash = sum.Value();
    return true;
}

// The whole list file, for a writer that holds the lock. Throws the converted
// last error.
std::vector<BYTE> ReadListFile(const std::wstring& path)
{
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    if (!file)
        ThrowLastError();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
        ThrowLastError();
    if (size.HighPart != 0)
        ThrowHResult(E_FAIL);
    std::vector<BYTE> bytes(size.LowPart);
    for (DWORD done = 0; done < size.LowPart;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), bytes.data() + done, size.LowPart - done, &got, nullptr))
            ThrowLastError();
        if (got == 0)
            ThrowHResult(HResultFromWin32(ERROR_HANDLE_EOF));
        done += got;
    }
    return bytes;
}

// The records the list walk would judge with, in list order.
std::vector<const FilterRule*> WalkRecords(const BYTE* list, DWORD size)
{
    std::vector<const FilterRule*> records;
    CFilterRecordCursor cursor(list, size);
    while (const FilterRule* record = cursor.Next())
        records.push_back(record);
    return records;
}

}  // namespace

CFilterIndexStore::CFilterIndexStore(CSharedStore& list, SECURITY_ATTRIBUTES* securityAttributes)
    : m_list(list), m_securityAttributes(securityAttributes)
{
    const std::wstring& path = list.GetPath();
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::size_t dot = path.find_last_of(L'.');
    m_stem = (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) ? path.substr(0, dot) : path;
    m_controlPath = m_stem + L".idx";
}

CFilterIndexStore::~CFilterIndexStore()
{
    delete m_current.load();
    for (CLoaded* loaded : m_retired)
        delete loaded;
}

CFilterIndexStore* CFilterIndexStore::Of(CSharedStore& list) noexcept
{
    return dynamic_cast<CFilterIndexStore*>(list.GetCompanion());
}

std::wstring CFilterIndexStore::GetImagePath(DWORD generation) const
{
    return GenerationFilePath(m_stem, generation, L".idx");
}

// ---- Writers ---------------------------------------------------------------

CMappedView CFilterIndexStore::OpenControlForWriting() const
{
    return MapControlBlockForWriting(m_controlPath, kControlSize, m_securityAttributes);
}

DWORD CFilterIndexStore::WriteImage(DWORD after, std::vector<BYTE>& image) const
{
    return WriteGenerationFile(m_stem, L".idx", after, m_securityAttributes, false,
                               [&](DWORD generation) -> const std::vector<BYTE>& {
                                   SetFilterIndexGeneration(image, generation);
                                   return image;
                               });
}

void CFilterIndexStore::PublishGeneration(DWORD generation, const CProof* proof) const
{
    CMappedView view = OpenControlForWriting();
    auto* control = static_cast<CControlBlock*>(view.Get());
    control->magic = kControlMagic;
    control->version = kControlVersion;
    control->lastImage = generation;
    WriteProof(*control, proof ? generation : 0, proof ? *proof : CProof());
    __atomic_store_n(&control->generation, static_cast<LONG>(generation), __ATOMIC_RELEASE);
}

void CFilterIndexStore::WriteProof(CControlBlock& control, DWORD generation, const CProof& proof) noexcept
{
    static_assert(sizeof(CControlBlock) == kControlSize, "the control block's layout");
    __atomic_store_n(&control.provenGeneration, LONG{0}, __ATOMIC_RELEASE);
    for (std::size_t i = 0; i < 10; ++i)
        __atomic_store_n(&control.proof[i], static_cast<LONG>(proof.fields[i]), __ATOMIC_RELAXED);
    __atomic_store_n(&control.provenGeneration, static_cast<LONG>(generation), __ATOMIC_RELEASE);
}

bool CFilterIndexStore::Vouches(const CControlBlock& control, DWORD generation, const CProof& proof) noexcept
{
    if (static_cast<DWORD>(__atomic_load_n(&control.provenGeneration, __ATOMIC_ACQUIRE)) != generation)
        return false;
    CProof recorded;
    for (std::size_t i = 0; i < 10; ++i)
        recorded.fields[i] = static_cast<DWORD>(__atomic_load_n(&control.proof[i], __ATOMIC_RELAXED));
    return recorded == proof &&
           static_cast<DWORD>(__atomic_load_n(&control.provenGeneration, __ATOMIC_ACQUIRE)) == generation;
}

void CFilterIndexStore::DeleteStaleImages(DWORD keep) const
{
    DeleteStaleGenerationFiles(m_stem, L".idx", [keep](DWORD generation) { return generation == keep; });
}

CFilterIndexStore::CUpdate::CUpdate(CStoreWriter& writer, const BYTE* list, DWORD size)
    : m_writer(writer), m_store(*Of(writer.GetStore()))
{
    CMappedView view = m_store.OpenControlForWriting();
    const auto* control = static_cast<const CControlBlock*>(view.Get());
    // After the last name used; a block not written by a writer yet (all
    // zeros) or by another version of this code starts anywhere.
    DWORD last = 0;
    if (control->magic == kControlMagic)
        last = std::max(control->lastImage, static_cast<DWORD>(ReadGeneration(&control->generation)));
    std::vector<BYTE> image = BuildFilterIndex(list, size, WalkRecords(list, size), 0);
    m_generation = m_store.WriteImage(last, image);
}

void CFilterIndexStore::CUpdate::Publish()
{
    // The files as they are now vouch for the image: the change has been
    // written through, the image was written whole before it.
    std::unique_ptr<CProof> proof;
    CFileHandle file(TryOpenStorageFile(m_store.GetImagePath(m_generation), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING));
    CProof::CStamp image;
    if (file && StampOf(file.Get(), image))
        proof = std::make_unique<CProof>(StampOf(m_writer.GetStore(), m_writer.GetStore().GetSize()), image);
    m_store.PublishGeneration(m_generation, proof.get());
    m_writer.SetDerivedDataCurrent();
    m_store.DeleteStaleImages(m_generation);
}

void CFilterIndexStore::Invalidate()
{
    CMappedView view = OpenControlForWriting();
    auto* control = static_cast<CControlBlock*>(view.Get());
    if (control->magic == kControlMagic) {
        const DWORD published = static_cast<DWORD>(ReadGeneration(&control->generation));
        control->lastImage = std::max(control->lastImage, published);
    } else {
        control->lastImage = 0;
    }
    control->magic = kControlMagic;
    control->version = kControlVersion;
    __atomic_store_n(&control->generation, LONG{0}, __ATOMIC_RELEASE);
}

void CFilterIndexStore::OnChangeBegins(CStoreWriter&)
{
    try {
        Invalidate();
    } catch (...) {
        // Nobody can trust an index whose control block no process can map:
        // the change may go ahead. Anything else (a control block that
        // exists and cannot be written now) could leave processes judging
        // by the index of the list before the change.
        const DWORD attributes = GetFileAttributesW(m_controlPath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            throw;
    }
}

void CFilterIndexStore::OnWriterDone(CStoreWriter& writer) noexcept
{
    try {
        // The writer's view is gone: read the list as it now is.
        const std::vector<BYTE> list = ReadListFile(m_list.GetPath());
        CUpdate update(writer, list.data(), static_cast<DWORD>(list.size()));
        update.Publish();
        return;
    } catch (...) {
        TraceCurrentException("index not published after a change");
    }
    try {
        Invalidate();
    } catch (...) {
        TraceCurrentException("index not withdrawn after a change");
    }
}

// ---- Readers ---------------------------------------------------------------

const CFilterIndexStore::CControlBlock* CFilterIndexStore::GetControl() noexcept
{
    if (const CControlBlock* control = m_control.load(std::memory_order_acquire))
        return control;
    CCritSecLock hold(m_lock);
    if (const CControlBlock* control = m_control.load(std::memory_order_relaxed))
        return control;
    CMappedView view = TryMapControlBlockForReading(m_controlPath, kControlSize, m_securityAttributes);
    if (!view)
        return nullptr;
    m_controlView = std::move(view);
    const auto* control = static_cast<const CControlBlock*>(m_controlView.Get());
    m_control.store(control, std::memory_order_release);
    return control;
}

DWORD CFilterIndexStore::GetPublishedGeneration()
{
    const CControlBlock* control = GetControl();
    if (!control || control->magic != kControlMagic)
        return 0;
    return static_cast<DWORD>(ReadGeneration(&control->generation));
}

CFilterIndexStore::CUse::CUse(CFilterIndexStore& store) noexcept : m_store(store)
{
    const CControlBlock* control = store.GetControl();
    if (!control)
        return;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD generation = static_cast<DWORD>(ReadGeneration(&control->generation));
        if (generation == 0 || control->magic != kControlMagic)
            return;
        // Counted before the current index is read: an index swapped out
        // meanwhile stays alive until every use that might hold it is gone.
        store.m_inFlight.fetch_add(1);
        const CLoaded* current = store.m_current.load();
        if (current && current->generation == generation && !current->index->IsDamaged()) {
            m_loaded = current;
            return;
        }
        if (store.m_inFlight.fetch_sub(1) == 1 && store.m_retiredPending.load())
            store.Reclaim();
        if (generation == store.m_failedGeneration.load())
            return;
        store.Refresh(generation);
    }
}

CFilterIndexStore::CUse::~CUse()
{
    if (m_loaded && m_store.m_inFlight.fetch_sub(1) == 1 && m_store.m_retiredPending.load())
        m_store.Reclaim();
}

const CFilterIndex* CFilterIndexStore::CUse::Get() const noexcept
{
    return m_loaded ? m_loaded->index.get() : nullptr;
}

void CFilterIndexStore::Refresh(DWORD generation) noexcept
{
    try {
        CCritSecLock hold(m_lock);
        const CLoaded* current = m_current.load();
        if (current && current->generation == generation && current->index->IsDamaged()) {
            // A lookup found the image's list copy damaged: walk until the
            // next writer.
            m_failedGeneration.store(generation);
            return;
        }
        if ((current && current->generation == generation) || generation == m_failedGeneration.load())
            return;  // another thread was first
        DWORD loading = generation;
        std::unique_ptr<CLoaded> loaded = Load(loading);
        if (!loaded) {
            // Known bad for `loading`; 0 when writers kept publishing
            // while this thread loaded, and the next verdict tries again.
            if (loading != 0)
                m_failedGeneration.store(loading);
            return;
        }
        if (CLoaded* old = m_current.exchange(loaded.release()))
            Retire(old);
    } catch (...) {
        // Out of memory or the list unreadable: this verdict walks, the
        // next one tries again.
        TraceCurrentException("index not loaded");
    }
}

std::unique_ptr<CFilterIndexStore::CLoaded> CFilterIndexStore::Load(DWORD& generation)
{
    const CControlBlock* control = m_control.load();
    for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
        auto loaded = std::make_unique<CLoaded>();
        loaded->generation = generation;
        DWORD size = 0;
        CProof::CStamp image;
        loaded->view = MapWholeFile(GetImagePath(generation), size, image);
        // The image must hold the list as it is: check while no writer can
        // change either, and only if no writer published meanwhile.
        CStoreReader reader(m_list);
        const DWORD now = static_cast<DWORD>(ReadGeneration(&control->generation));
        if (now != generation) {
            generation = now;
            if (now == 0)
                return nullptr;
            continue;
        }
        if (!loaded->view)
            return nullptr;
        // The files as their writer (or an earlier proof) left them vouch for
        // the image and its list, which then need no hashing; otherwise both
        // are hashed whole, and what vouches for them is recorded.
        const CProof proof(StampOf(m_list, reader.GetViewSize()), image);
        const bool vouched = Vouches(*control, generation, proof);
        loaded->index = CFilterIndex::Open(static_cast<const BYTE*>(loaded->view.Get()), size, !vouched);
        if (!loaded->index || loaded->index->GetGeneration() != generation ||
            reader.GetViewSize() != loaded->index->GetListSize())
            return nullptr;
        if (!vouched) {
            std::uint64_t hash = 0;
            if (!HashListFile(m_list.GetPath(), reader.GetViewSize(), hash) || hash != loaded->index->GetListHash())
                return nullptr;
            RecordProof(generation, proof);
        }
        return loaded;
    }
    generation = 0;
    return nullptr;
}

void CFilterIndexStore::RecordProof(DWORD generation, const CProof& proof) noexcept
{
    // With the list's read access held: no writer changes the files or the
    // control block meanwhile, and readers that do the same write the same.
    try {
        CMappedView view = OpenControlForWriting();
        auto* control = static_cast<CControlBlock*>(view.Get());
        if (control->magic == kControlMagic && static_cast<DWORD>(ReadGeneration(&control->generation)) == generation)
            WriteProof(*control, generation, proof);
    } catch (...) {
        // A process that may not write the control block proves again next
        // time it maps the image.
        TraceCurrentException("index proof not recorded");
    }
}

void CFilterIndexStore::Retire(CLoaded* loaded)
{
    // Under m_lock.
    m_retired.push_back(loaded);
    m_retiredPending.store(true);
    if (m_inFlight.load() == 0) {
        for (CLoaded* old : m_retired)
            delete old;
        m_retired.clear();
        m_retiredPending.store(false);
    }
}

void CFilterIndexStore::Reclaim() noexcept
{
    // Never waits: whoever holds the lock reclaims later.
    if (!m_lock.TryEnter())
        return;
    if (m_inFlight.load() == 0) {
        for (CLoaded* old : m_retired)
            delete old;
        m_retired.clear();
        m_retiredPending.store(false);
    }
    m_lock.Leave();
}
