#pragma once
// The filter list's index (engine/FilterIndex.h), kept beside storage.bin and
// shared by every process of the user. storage.bin stays the only truth; the
// index is derived from it and trusted only once proven to belong to it.
//
// Files, for a list at "...\storage.bin":
//  - "storage.idx": a small control block that every process maps once and
//    keeps mapped. It holds the generation of the published index, or 0 for
//    none. A writer withdraws the index (0) before it begins to change the
//    list and publishes the new one's generation after the change counts, so
//    a writer that dies in between leaves every process walking the list
//    until the next writer. A verdict reads it (one read of shared memory,
//    no kernel object) to learn whether its index is still current.
//  - "storage.XXXXXXXX.idx" (the generation in hexadecimal): one immutable
//    file per generation, either an index image of the whole list or a tail:
//    the records appended since an image was built (at most kMaxTailRecords
//    records or kMaxTailBytes bytes), with the generation of that image,
//    which stays published beside it. An append writes a tail instead of
//    building the whole index again, when the published generation is proven
//    for the list as it is before the append; any other change, and an
//    append past the bound, builds a new image. A writer writes a new file
//    whole, then publishes its generation; readers map an image read-only
//    (a tail they read whole) and switch to it at their next verdict,
//    keeping the image they already use when a tail extends it. Old files
//    are deleted by later writers once no process maps them any more and no
//    published tail needs them.
// A process trusts an image only after proving, once per mapping, that it
// is whole and holds the list as it is: either the two files are exactly as
// the control block records them for that image (their lengths, creation
// and last write times, recorded by the writer once its change counted, or
// by a reader that made the full proof), which needs no lock as long as
// that generation is still published after the files were looked at (a
// writer withdraws it before it changes anything), or, under the list's
// read access, the image's checksum and the hash of storage.bin against
// the one the image carries agree. A tail is proven the same way: by the control block's record of
// the list and the tail file, or by the image's proof over the list's first
// bytes and the tail's bytes compared with the rest. Readers copy a tail's
// records once, after its checksum, and judge only with that copy. Any process of the user can rewrite a mapped image: lookups read it
// as input (engine/FilterIndex.h), and a record found changed makes the
// verdict walk the list. Whatever
// is wrong (no control block, no file, a damaged or foreign file, a list that
// changed behind the index's back), the verdict walks the list under the
// store's locks instead, with the same answer; the next writer repairs it.
// Readers never build an index.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "com/Handle.h"
#include "com/Sync.h"
#include "engine/FilterIndex.h"
#include "storage/GenerationFiles.h"
#include "storage/SharedStore.h"

class CFilterIndexStore : public CStoreCompanion
{
    struct CControlBlock;
    struct CImage;
    struct CLoaded;
    struct CPublishedFile;

public:
    struct CProof;

private:

public:
    // The index of `list`: its files go beside the list's file, created with
    // `securityAttributes` (which must outlive this object).
    CFilterIndexStore(CSharedStore& list, SECURITY_ATTRIBUTES* securityAttributes);
    ~CFilterIndexStore() override;

    // The filter list's index store, or null for a store without one.
    static CFilterIndexStore* Of(CSharedStore& list) noexcept;

    // Read access to the current index for one verdict. The steady state
    // costs a read of the control block and two interlocked operations; only
    // after a change does it map the new image and prove it against the list
    // (taking the list's read access for that, unless the control block
    // vouches for the files). Never throws: whatever goes
    // wrong leaves Get() null, and the caller walks the list. A thread must
    // not hold a reader or writer of the list while it creates one.
    class CUse
    {
    public:
        explicit CUse(CFilterIndexStore& store) noexcept;
        ~CUse();
        CUse(const CUse&) = delete;
        CUse& operator=(const CUse&) = delete;

        // The index, valid while this object lives; null: walk the list.
        const CFilterIndex* Get() const noexcept;
        // The records appended after the index's list (a private copy, whole
        // records back to back as in storage.bin), valid while this object
        // lives: a verdict judges them beside the index. Empty when Get() is
        // null or nothing was appended.
        const BYTE* GetTail() const noexcept;
        DWORD GetTailSize() const noexcept;

    private:
        CFilterIndexStore& m_store;
        const CLoaded* m_loaded = nullptr;
        friend class CFilterIndexStore;
    };

    // A new index for the list a writer is about to store: built and written
    // to its file when constructed, published by Publish(). Construct it
    // before changing storage.bin (a writer that dies while building leaves
    // the list and its published index untouched; beginning the change
    // withdraws that index), publish right after the change counts. `list` and `size`: the list's bytes as they will be stored.
    // Throws on failure (the list must then not be changed, or be followed
    // by Invalidate()).
    class CUpdate
    {
    public:
        CUpdate(CStoreWriter& writer, const BYTE* list, DWORD size);
        // For a writer about to append the records `added` (`size` bytes,
        // whole records) at the end of the list as it is now: the published
        // index kept, with a tail of the records appended since it was
        // built. Null when the whole index must be built instead: nothing
        // published, the published files not proven for the list as it is,
        // the list's end not whole, or the tail past its bound. Throws when
        // the tail cannot be written.
        static std::unique_ptr<CUpdate> TryAppend(CStoreWriter& writer, const BYTE* added, DWORD size);
        // Makes the new index the current one for every process, and lets
        // the writer leave without rebuilding it. Deletes index files no
        // process maps any more. Throws the converted last error when the
        // control block cannot be written (the writer then rebuilds or
        // invalidates when it leaves).
        void Publish();

    private:
        explicit CUpdate(CStoreWriter& writer);

        CStoreWriter& m_writer;
        CFilterIndexStore& m_store;
        DWORD m_generation = 0;
        DWORD m_base = 0;  // the image a tail extends; 0 for an image
    };

    // The bound of a tail: past it, an append builds the whole index again.
    static constexpr DWORD kMaxTailRecords = 256;
    static constexpr DWORD kMaxTailBytes = 64 * 1024;

    // Makes every process walk the list until the next writer publishes an
    // index. Throws the converted last error.
    void Invalidate();

    // Withdraws the published index before a writer changes the list.
    // Throws when the control block exists and cannot be written.
    void OnChangeBegins(CStoreWriter& writer) override;

    // Builds, writes and publishes the index for the list as the writer
    // leaves it (for writers that changed the bytes by other means). Called
    // when a writer leaves without having published; never throws: failing
    // that, it invalidates, and failing that too, readers find the index
    // does not belong to the list.
    void OnWriterDone(CStoreWriter& writer) noexcept override;

    // Files (tests and measurements).
    const std::wstring& GetControlPath() const noexcept { return m_controlPath; }
    std::wstring GetImagePath(DWORD generation) const;
    // The published generation, 0 for none. Maps the control block if need be.
    DWORD GetPublishedGeneration();

private:
    // Writer side.
    CMappedView OpenControlForWriting() const;
    static DWORD LastGeneration(const CControlBlock& control) noexcept;
    DWORD WriteImage(DWORD after, std::vector<BYTE>& image) const;
    // `proof`: what vouches for the image, if known.
    void PublishGeneration(DWORD generation, const CProof* proof) const;
    static void WriteProof(CControlBlock& control, DWORD generation, const CProof& proof) noexcept;
    static bool Vouches(const CControlBlock& control, DWORD generation, const CProof& proof) noexcept;
    void RecordProof(DWORD generation, const CProof& proof) noexcept;
    void DeleteStaleImages(DWORD keep, DWORD base) const;

    // Reader side.
    const CControlBlock* GetControl() noexcept;
    void Refresh(DWORD generation) noexcept;
    // Maps and proves the image of `generation`, or of a later one if a
    // writer publishes meanwhile (`generation` then says which). Null when
    // the image of `generation` cannot be used, or, with `generation` 0,
    // when writers kept publishing too fast to tell.
    std::unique_ptr<CLoaded> Load(DWORD& generation);
    // The file of `generation`; false when it cannot be read.
    CPublishedFile OpenPublished(DWORD generation) const;
    // Gives `loaded` the image or tail in `file`, for a list of `listSize`
    // bytes; false when it cannot be used. `reader`: the list's read access,
    // held while the files are proven here; null when the control block
    // vouches for them.
    bool Prove(CLoaded& loaded, CPublishedFile file, DWORD listSize, const CStoreReader* reader);
    // The same for a tail, whose image `loaded` gets too.
    bool LoadTail(CLoaded& loaded, const BYTE* file, DWORD size, DWORD listSize, const CStoreReader* reader);
    void Retire(CLoaded* loaded);
    void Reclaim() noexcept;

    CSharedStore& m_list;
    SECURITY_ATTRIBUTES* m_securityAttributes;
    std::wstring m_stem;  // the list's path without its extension
    std::wstring m_controlPath;

    CCriticalSection m_lock;  // loading, retiring, reclaiming; the control mapping
    CMappedFile m_controlFile;
    std::atomic<const CControlBlock*> m_control{nullptr};
    std::atomic<CLoaded*> m_current{nullptr};
    std::atomic<DWORD> m_failedGeneration{0};  // known not to be usable here
    std::atomic<LONG> m_inFlight{0};           // CUse objects holding an index
    std::atomic<bool> m_retiredPending{false};
    std::vector<CLoaded*> m_retired;
};
