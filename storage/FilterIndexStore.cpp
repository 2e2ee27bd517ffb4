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
struct CFilterIndexStore::CImage
{
    DWORD generation = 0;
    CMappedFile file;
    std::unique_ptr<CFilterIndex> index;  // reads the view: goes first

    ~CImage() { index.reset(); }
};

// What a published generation gives a verdict: an image, shared by every
// generation that extends it, and the records appended since it was built.
struct CFilterIndexStore::CLoaded
{
    DWORD generation = 0;
    std::shared_ptr<const CImage> image;
    std::vector<BYTE> tail;  // private: read by verdicts without checks
    CFileHandle tailFile;    // kept open: closing costs a verdict a trip to the system
};

// A published generation's file as a reader opens it. A tail is read whole:
// its records are copied anyway, and reading costs fewer trips to the system
// than mapping. An image is mapped.
struct CFilterIndexStore::CPublishedFile
{
    CProof::CStamp stamp;
    std::vector<BYTE> tail;  // the whole file, when it is a tail
    CFileHandle tailFile;    // and that file
    CMappedFile image;       // otherwise

    explicit operator bool() const noexcept { return !tail.empty() || image.view; }
};

namespace {

// A tail file: this header, then the tail's bytes.
struct CTailHeader
{
    DWORD magic;
    DWORD version;
    DWORD generation;      // the tail's own (its file name's)
    DWORD baseGeneration;  // the image it extends
    DWORD baseListSize;    // the list that image was built from
    DWORD tailSize;        // the list's bytes after baseListSize
    std::uint64_t baseListHash;
    std::uint64_t tailHash;  // CFilterChecksum of the tail's bytes
    // Since version 2: the image file it extends as its writer proved it, so
    // that a reader whose proof vouches for the tail need not hash the image
    // again while that file is unchanged (zero in version 1: it must).
    DWORD baseImageSize;
    FILETIME baseImageCreated;
    FILETIME baseImageWritten;
    DWORD reserved;
};
static_assert(sizeof(CTailHeader) == 64, "the tail file's layout");
constexpr DWORD kTailHeaderSizeV1 = 40;

constexpr DWORD kTailMagic = 0x54584951;  // "QIXT"
constexpr DWORD kTailVersion = 2;
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

// Maps the first `size` bytes of an open file read-only, keeping its
// handles; a null view when it cannot. The file may be deleted (not changed:
// images are never rewritten) while mapped.
CMappedFile MapWholeFile(CFileHandle file, DWORD size)
{
    CMappedFile mapped;
    mapped.file = std::move(file);
    mapped.mapping.Reset(CreateFileMappingW(mapped.file.Get(), nullptr, PAGE_READONLY, 0, size, nullptr));
    if (mapped.mapping)
        mapped.view.Reset(MapViewOfFile(mapped.mapping.Get(), FILE_MAP_READ, 0, 0, size));
    return mapped;
}

// A file of the list's folder, opened for reading, and its stamp; invalid
// when it cannot be opened or is empty.
CFileHandle OpenStamped(const CSharedStore& list, const std::wstring& path, CFilterIndexStore::CProof::CStamp& stamp)
{
    CFileHandle file = TryOpenStorageFileIn(list.GetFolder(), path, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file && (!StampOf(file.Get(), stamp) || stamp.size == 0))
        file.Reset();
    return file;
}

// The file at `path` in the list's folder, mapped whole, with its size and
// stamp.
CMappedFile MapWholeFile(const CSharedStore& list, const std::wstring& path, DWORD& size,
                         CFilterIndexStore::CProof::CStamp& stamp)
{
    CFileHandle file = OpenStamped(list, path, stamp);
    if (!file)
        return CMappedFile();
    size = stamp.size;
    return MapWholeFile(std::move(file), stamp.size);
}

// Reads `size` bytes from the file's current position; false when it cannot.
bool ReadExactly(HANDLE file, BYTE* bytes, DWORD size) noexcept
{
    for (DWORD done = 0; done < size;) {
        DWORD got = 0;
        if (!ReadFile(file, bytes + done, size - done, &got, nullptr) || got == 0)
            return false;
        done += got;
    }
    return true;
}

// The list's FilterListHash, read from its file while the caller's reader
// keeps writers out. Reading beats the reader's view here: hashing through
// the view would fault in every page of the list in a fresh process. False
// when the file cannot be read.
bool HashListFile(const CSharedStore& list, DWORD size, std::uint64_t& hash)
{
    constexpr DWORD kBlock = 64 * 1024;
    CFileHandle file(TryOpenStorageFileIn(list.GetFolder(), list.GetPath(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
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

// The header of the tail file `file` (`size` bytes), read once from a
// mapping another process can write; false when it is no tail this code
// can use.
// Version 1 (a shorter header, no base image stamp) is still read. `bytes`
// gets the header's size, where the tail's bytes begin.
bool TryReadTailHeader(const BYTE* file, DWORD size, CTailHeader& header, DWORD& bytes) noexcept
{
    if (size < kTailHeaderSizeV1)
        return false;
    header = {};
    std::memcpy(&header, file, kTailHeaderSizeV1);
    asm volatile("" : : "r"(&header) : "memory");
    if (header.magic != kTailMagic)
        return false;
    if (header.version == kTailVersion && size >= sizeof header) {
        std::memcpy(&header, file, sizeof header);
        asm volatile("" : : "r"(&header) : "memory");
        bytes = sizeof header;
    } else if (header.version == 1) {
        bytes = kTailHeaderSizeV1;
    } else {
        return false;
    }
    return header.magic == kTailMagic && header.tailSize != 0 && header.tailSize <= CFilterIndexStore::kMaxTailBytes &&
           header.tailSize <= size - bytes;
}

bool SameStamp(const CFilterIndexStore::CProof::CStamp& stamp, const CTailHeader& header) noexcept
{
    return stamp.size != 0 && stamp.size == header.baseImageSize &&
           CompareFileTime(&stamp.created, &header.baseImageCreated) == 0 &&
           CompareFileTime(&stamp.written, &header.baseImageWritten) == 0;
}

std::uint64_t ChecksumOf(const BYTE* bytes, std::size_t size) noexcept
{
    CFilterChecksum sum;
    sum.Add(bytes, size);
    return sum.Value();
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

void CFilterIndexStore::DeleteStaleImages(DWORD keep, DWORD base) const
{
    DeleteStaleGenerationFiles(m_stem, L".idx",
                               [keep, base](DWORD generation) { return generation == keep || generation == base; });
}

DWORD CFilterIndexStore::LastGeneration(const CControlBlock& control) noexcept
{
    // After the last name used; a block not written by a writer yet (all
    // zeros) or by another version of this code starts anywhere.
    if (control.magic != kControlMagic)
        return 0;
    return std::max(control.lastImage, static_cast<DWORD>(ReadGeneration(&control.generation)));
}

CFilterIndexStore::CUpdate::CUpdate(CStoreWriter& writer) : m_writer(writer), m_store(*Of(writer.GetStore())) {}

CFilterIndexStore::CUpdate::CUpdate(CStoreWriter& writer, const BYTE* list, DWORD size) : CUpdate(writer)
{
    CMappedView view = m_store.OpenControlForWriting();
    const DWORD last = LastGeneration(*static_cast<const CControlBlock*>(view.Get()));
    std::vector<BYTE> image = BuildFilterIndex(list, size, WalkRecords(list, size), 0);
    m_generation = m_store.WriteImage(last, image);
}

std::unique_ptr<CFilterIndexStore::CUpdate> CFilterIndexStore::CUpdate::TryAppend(CStoreWriter& writer,
                                                                                  const BYTE* added, DWORD size)
{
    CFilterIndexStore& store = *Of(writer.GetStore());
    const DWORD listSize = writer.GetViewSize();
    if (size == 0 || size > kMaxTailBytes)
        return nullptr;
    CMappedView view = store.OpenControlForWriting();
    const auto* control = static_cast<const CControlBlock*>(view.Get());
    if (control->magic != kControlMagic)
        return nullptr;
    const DWORD current = static_cast<DWORD>(ReadGeneration(&control->generation));
    if (current == 0)
        return nullptr;

    // The published files must be the ones proven for the list as it is:
    // then the list is the image's list followed by the published tail, if
    // any, and the new tail is that tail followed by the added records.
    DWORD fileSize = 0;
    CProof::CStamp stamp;
    const CMappedView file = std::move(MapWholeFile(store.m_list, store.GetImagePath(current), fileSize, stamp).view);
    if (!file || !Vouches(*control, current, CProof(StampOf(writer.GetStore(), listSize), stamp)))
        return nullptr;
    const BYTE* bytes = static_cast<const BYTE*>(file.Get());
    CTailHeader header = {};
    header.magic = kTailMagic;
    header.version = kTailVersion;
    CTailHeader published;
    DWORD publishedBytes = 0;
    const bool extendsTail = TryReadTailHeader(bytes, fileSize, published, publishedBytes);
    if (extendsTail) {
        if (published.generation != current)
            return nullptr;
        // The published tail is vouched for, so is what it says of its base
        // (a version 1 tail says nothing of the image: zeros); the rest is
        // written below.
        header = published;
        header.version = kTailVersion;
    } else {
        const std::unique_ptr<CFilterIndex> index = CFilterIndex::Open(bytes, fileSize, false);
        if (!index || index->GetGeneration() != current)
            return nullptr;
        header.baseGeneration = current;
        header.baseListSize = index->GetListSize();
        header.baseListHash = index->GetListHash();
        header.baseImageSize = stamp.size;
        header.baseImageCreated = stamp.created;
        header.baseImageWritten = stamp.written;
    }
    if (header.baseListSize > listSize || listSize - header.baseListSize > kMaxTailBytes - size)
        return nullptr;
    const DWORD oldTailSize = listSize - header.baseListSize;
    if (extendsTail ? published.tailSize != oldTailSize : oldTailSize != 0)
        return nullptr;
    header.tailSize = oldTailSize + size;

    // The new tail comes from the list itself and the added records; the
    // published one, read from a file another process can write, only has
    // to agree with it.
    std::vector<BYTE> tail(sizeof header + header.tailSize);
    BYTE* const tailBytes = tail.data() + sizeof header;
    if (oldTailSize != 0) {
        std::memcpy(tailBytes, writer.GetConstView() + header.baseListSize, oldTailSize);
        if (std::memcmp(tailBytes, bytes + publishedBytes, oldTailSize) != 0)
            return nullptr;
    }
    std::memcpy(tailBytes + oldTailSize, added, size);
    CFilterRecordCursor cursor(tailBytes, header.tailSize);
    DWORD records = 0;
    while (cursor.Next()) {
        if (++records > kMaxTailRecords)
            return nullptr;
    }
    if (cursor.GetUnreadSize() != 0)
        return nullptr;
    header.tailHash = ChecksumOf(tailBytes, header.tailSize);

    std::unique_ptr<CUpdate> update(new CUpdate(writer));
    update->m_base = header.baseGeneration;
    update->m_generation = WriteGenerationFile(store.m_stem, L".idx", LastGeneration(*control),
                                               store.m_securityAttributes, false,
                                               [&](DWORD generation) -> const std::vector<BYTE>& {
                                                   header.generation = generation;
                                                   std::memcpy(tail.data(), &header, sizeof header);
                                                   return tail;
                                               });
    return update;
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
    m_store.DeleteStaleImages(m_generation, m_base);
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
    CMappedFile mapped = TryMapControlBlockForReading(m_list.GetFolder(), m_controlPath, kControlSize,
                                                      m_securityAttributes);
    if (!mapped.view)
        return nullptr;
    m_controlFile = std::move(mapped);
    const auto* control = static_cast<const CControlBlock*>(m_controlFile.view.Get());
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
        if (current && current->generation == generation && !current->image->index->IsDamaged()) {
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
    return m_loaded ? m_loaded->image->index.get() : nullptr;
}

const BYTE* CFilterIndexStore::CUse::GetTail() const noexcept
{
    return m_loaded && !m_loaded->tail.empty() ? m_loaded->tail.data() : nullptr;
}

DWORD CFilterIndexStore::CUse::GetTailSize() const noexcept
{
    return m_loaded ? static_cast<DWORD>(m_loaded->tail.size()) : 0;
}

void CFilterIndexStore::Refresh(DWORD generation) noexcept
{
    try {
        CCritSecLock hold(m_lock);
        const CLoaded* current = m_current.load();
        if (current && current->generation == generation && current->image->index->IsDamaged()) {
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
        CPublishedFile file = OpenPublished(generation);
        // The files as their writer (or an earlier proof) left them vouch for
        // the image and its list, which then need no hashing. That needs no
        // lock either, as long as the generation is still published after
        // the list's stamp was taken: a writer withdraws it before it changes
        // anything, and never publishes the same one again.
        if (file) {
            const DWORD listSize = m_list.GetSize();
            const CProof proof(StampOf(m_list, listSize), file.stamp);
            if (Vouches(*control, generation, proof) &&
                static_cast<DWORD>(ReadGeneration(&control->generation)) == generation)
                return Prove(*loaded, std::move(file), listSize, nullptr) ? std::move(loaded) : nullptr;
        }
        // Otherwise the image must be proven to hold the list as it is:
        // check while no writer can change either, and only if no writer
        // published meanwhile.
        CStoreReader reader(m_list);
        const DWORD now = static_cast<DWORD>(ReadGeneration(&control->generation));
        if (now != generation) {
            generation = now;
            if (now == 0)
                return nullptr;
            continue;
        }
        if (!file)
            return nullptr;
        // Both files hashed whole, unless a writer that finished meanwhile
        // recorded them; what vouches for them is then recorded.
        const CProof proof(StampOf(m_list, reader.GetViewSize()), file.stamp);
        const bool vouched = Vouches(*control, generation, proof);
        if (!Prove(*loaded, std::move(file), reader.GetViewSize(), vouched ? nullptr : &reader))
            return nullptr;
        if (!vouched)
            RecordProof(generation, proof);
        return loaded;
    }
    generation = 0;
    return nullptr;
}

CFilterIndexStore::CPublishedFile CFilterIndexStore::OpenPublished(DWORD generation) const
{
    CPublishedFile opened;
    CFileHandle file = OpenStamped(m_list, GetImagePath(generation), opened.stamp);
    if (!file)
        return opened;
    const DWORD size = opened.stamp.size;
    BYTE magic[sizeof kTailMagic] = {};
    if (!ReadExactly(file.Get(), magic, std::min<DWORD>(size, sizeof magic)))
        return opened;
    if (std::memcmp(magic, &kTailMagic, sizeof magic) != 0) {
        opened.image = MapWholeFile(std::move(file), size);
        return opened;
    }
    // No tail this code writes is longer.
    if (size <= sizeof magic || size > sizeof(CTailHeader) + kMaxTailBytes)
        return opened;
    opened.tail.resize(size);
    std::memcpy(opened.tail.data(), magic, sizeof magic);
    if (!ReadExactly(file.Get(), opened.tail.data() + sizeof magic, size - static_cast<DWORD>(sizeof magic)))
        opened.tail.clear();
    else
        opened.tailFile = std::move(file);
    return opened;
}

bool CFilterIndexStore::Prove(CLoaded& loaded, CPublishedFile file, DWORD listSize, const CStoreReader* reader)
{
    if (!file.tail.empty()) {
        loaded.tailFile = std::move(file.tailFile);
        return LoadTail(loaded, file.tail.data(), static_cast<DWORD>(file.tail.size()), listSize, reader);
    }
    const BYTE* const bytes = static_cast<const BYTE*>(file.image.view.Get());
    const DWORD size = file.stamp.size;
    auto image = std::make_shared<CImage>();
    image->generation = loaded.generation;
    image->file = std::move(file.image);
    image->index = CFilterIndex::Open(bytes, size, reader != nullptr);
    if (!image->index || image->index->GetGeneration() != loaded.generation ||
        listSize != image->index->GetListSize())
        return false;
    if (reader) {
        std::uint64_t hash = 0;
        if (!HashListFile(m_list, listSize, hash) || hash != image->index->GetListHash())
            return false;
    }
    loaded.image = std::move(image);
    return true;
}

bool CFilterIndexStore::LoadTail(CLoaded& loaded, const BYTE* file, DWORD size, DWORD listSize,
                                 const CStoreReader* reader)
{
    // Under m_lock, with the list's read access held unless the files are
    // vouched for.
    const bool vouched = reader == nullptr;
    CTailHeader header;
    DWORD tailAt = 0;
    if (!TryReadTailHeader(file, size, header, tailAt) || header.generation != loaded.generation ||
        std::uint64_t{header.baseListSize} + header.tailSize != listSize)
        return false;
    // The tail is judged from a private copy: another process can rewrite
    // the file at any time.
    loaded.tail.assign(file + tailAt, file + tailAt + header.tailSize);
    if (ChecksumOf(loaded.tail.data(), loaded.tail.size()) != header.tailHash)
        return false;

    // The image it extends: the one this process uses already, as a rule.
    std::shared_ptr<const CImage> image;
    const CLoaded* current = m_current.load();
    if (current && current->image->generation == header.baseGeneration && !current->image->index->IsDamaged()) {
        image = current->image;
    } else {
        auto opened = std::make_shared<CImage>();
        opened->generation = header.baseGeneration;
        DWORD imageSize = 0;
        CProof::CStamp stamp;
        opened->file = MapWholeFile(m_list, GetImagePath(header.baseGeneration), imageSize, stamp);
        if (!opened->file.view)
            return false;
        // A vouched tail vouches for its image while that file is as the
        // tail's writer found it; otherwise the image is hashed whole.
        opened->index = CFilterIndex::Open(static_cast<const BYTE*>(opened->file.view.Get()), imageSize,
                                           !(vouched && SameStamp(stamp, header)));
        if (!opened->index || opened->index->GetGeneration() != header.baseGeneration)
            return false;
        image = std::move(opened);
    }
    if (image->index->GetListSize() != header.baseListSize || image->index->GetListHash() != header.baseListHash)
        return false;
    if (!vouched) {
        std::uint64_t hash = 0;
        if (!HashListFile(m_list, header.baseListSize, hash) || hash != header.baseListHash ||
            std::memcmp(reader->GetView() + header.baseListSize, loaded.tail.data(), header.tailSize) != 0)
            return false;
    }
    loaded.image = std::move(image);
    return true;
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
