#include "storage/FilterListStore.h"

#include <cstdint>
#include <cstring>

#include <vector>

#include "com/Error.h"
#include "storage/FilterIndexStore.h"
#include "storage/NamedObjects.h"
#include "storage/StoreSingleton.h"

namespace {

CStoreSingleton g_filterListStore;

// Resize takes a signed 32-bit length.
LONG CheckedStoreLength(std::uint64_t length)
{
    if (length > 0x7FFFFFFF)
        ThrowHResult(HResultFromWin32(ERROR_FILE_TOO_LARGE));
    return static_cast<LONG>(length);
}

// Copies the record's header and body and writes the terminator itself, so
// that whatever the source holds past its body, the stored record is whole.
BYTE* CopyRecord(BYTE* target, const FilterRule& record) noexcept
{
    std::size_t size = FilterRecordSize(record);
    std::memcpy(target, &record, size - sizeof(WCHAR));
    std::memset(target + size - sizeof(WCHAR), 0, sizeof(WCHAR));
    return target + size;
}

// Writes the records [first, last) from `at` on, each directly after the
// previous one.
BYTE* CopyRecords(BYTE* at, const FilterRule* const* first, const FilterRule* const* last) noexcept
{
    for (auto it = first; it != last; ++it)
        at = CopyRecord(at, **it);
    return at;
}

// Makes the list `size` bytes long, keeps the bytes before `firstChanged`
// and has `fill` write those from there on, whole or not at all
// (CStoreWriter::BeginChange). A list store with an index gets the new
// list's index built before anything changes and published once the change
// is complete. The list is the truth: an index that cannot be built or
// published does not stop the change (the writer then rebuilds or
// invalidates it as it leaves, see CFilterIndexStore::OnWriterDone).
template <class Fill>
void StoreList(CStoreWriter& writer, DWORD firstChanged, std::uint64_t size, const Fill& fill)
{
    const LONG length = CheckedStoreLength(size);
    std::unique_ptr<CFilterIndexStore::CUpdate> update;
    if (CFilterIndexStore::Of(writer.GetStore())) {
        static_cast<void>(CallAtBoundary([&] {
            // An append keeps the published index and adds a tail beside it
            // (a few milliseconds where a whole build costs hundreds).
            if (firstChanged != 0 && firstChanged == writer.GetViewSize() && static_cast<DWORD>(length) > firstChanged) {
                std::vector<BYTE> added(static_cast<std::size_t>(length) - firstChanged);
                fill(added.data());
                update = CFilterIndexStore::CUpdate::TryAppend(writer, added.data(), static_cast<DWORD>(added.size()));
                if (update)
                    return;
            }
            std::vector<BYTE> list(static_cast<std::size_t>(length));
            if (firstChanged)
                std::memcpy(list.data(), writer.GetConstView(), firstChanged);
            fill(list.data() + firstChanged);
            update = std::make_unique<CFilterIndexStore::CUpdate>(writer, list.data(), static_cast<DWORD>(length));
        }));
    }
    writer.BeginChange(firstChanged);
    writer.Resize(length);
    fill(writer.GetView() + firstChanged);
    writer.CommitChange();
    if (update)
        static_cast<void>(CallAtBoundary([&] { update->Publish(); }));
}

}  // namespace

std::unique_ptr<CSharedStore> OpenFilterListStore(const wchar_t* path, SECURITY_ATTRIBUTES* securityAttributes,
                                                  DWORD creationDisposition, const std::wstring& readerCountName,
                                                  const std::wstring& writeLockName)
{
    auto store =
        std::make_unique<CSharedStore>(path, securityAttributes, creationDisposition, readerCountName, writeLockName);
    store->SetCompanion(std::make_unique<CFilterIndexStore>(*store, securityAttributes));
    return store;
}

CSharedStore& GetFilterListStore()
{
    return g_filterListStore.Get([] {
        std::wstring path = MakeStoreFilePath(kFilterListFileName);
        return OpenFilterListStore(path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS,
                                   MakeSharedObjectName(kFilterListReaderCountName),
                                   MakeSharedObjectName(kFilterListWriteLockName));
    });
}

void AppendRecord(CStoreWriter& writer, const FilterRule& record)
{
    const FilterRule* records[] = {&record};
    AppendRecords(writer, records, records + 1);
}

void AppendRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last)
{
    CFilterRecordCursor cursor(writer.GetConstView(), writer.GetViewSize());
    while (cursor.Next()) {
    }
    const DWORD size = writer.GetViewSize() - static_cast<DWORD>(cursor.GetUnreadSize());
    std::uint64_t added = 0;
    for (auto it = first; it != last; ++it)
        added += FilterRecordSize(**it);
    if (added == 0 && size == writer.GetViewSize())
        return;
    // One resize for the whole batch: each resize remaps the file. Grown, the
    // file reads as zeros until the records are copied, and six zero bytes
    // are a well-formed empty record: the change must happen whole.
    StoreList(writer, size, std::uint64_t{size} + added,
              [&](BYTE* target) { CopyRecords(target, first, last); });
}

void ReplaceAllRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last)
{
    std::uint64_t total = 0;
    for (auto it = first; it != last; ++it)
        total += FilterRecordSize(**it);
    StoreList(writer, 0, total, [&](BYTE* target) { CopyRecords(target, first, last); });
}
