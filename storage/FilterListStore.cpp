#include "storage/FilterListStore.h"

#include <cstdint>
#include <cstring>

#include "com/Error.h"
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

}  // namespace

CSharedStore& GetFilterListStore()
{
    return g_filterListStore.Get([] {
        std::wstring path = MakeStoreFilePath(kFilterListFileName);
        return std::make_unique<CSharedStore>(path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS,
                                              MakeSharedObjectName(kFilterListReaderCountName),
                                              MakeSharedObjectName(kFilterListWriteLockName));
    });
}

const FilterRule* CFilterRecordCursor::Next() noexcept
{
    constexpr std::size_t kHeaderSize = FilterRecordSize(0) - sizeof(WCHAR);
    while (static_cast<std::size_t>(m_end - m_position) >= FilterRecordSize(0)) {
        const BYTE* record = m_position;
        WORD length;
        std::memcpy(&length, record + offsetof(FilterRule, length), sizeof length);
        std::size_t size = FilterRecordSize(length);
        if (size > static_cast<std::size_t>(m_end - record))
            return nullptr;
        m_position = record + size;
        WCHAR terminator;
        std::memcpy(&terminator, record + kHeaderSize + 2 * std::size_t{length}, sizeof terminator);
        if (terminator == 0)
            return reinterpret_cast<const FilterRule*>(record);
    }
    return nullptr;
}

void AppendRecord(CStoreWriter& writer, const FilterRule& record)
{
    const FilterRule* records[] = {&record};
    AppendRecords(writer, records, records + 1);
}

void AppendRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last)
{
    CFilterRecordCursor cursor(writer.GetView(), writer.GetViewSize());
    while (cursor.Next()) {
    }
    DWORD size = writer.GetViewSize() - static_cast<DWORD>(cursor.GetUnreadSize());
    std::uint64_t added = 0;
    for (auto it = first; it != last; ++it)
        added += FilterRecordSize(**it);
    const LONG newSize = CheckedStoreLength(std::uint64_t{size} + added);
    // Grown, the file reads as zeros until the records are copied, and six
    // zero bytes are a well-formed empty record: the change must happen whole.
    writer.BeginChange(size);
    // One resize for the whole batch: each resize remaps the file.
    writer.Resize(newSize);
    BYTE* target = writer.GetView() + size;
    for (auto it = first; it != last; ++it)
        target = CopyRecord(target, **it);
    writer.CommitChange();
}

void ReplaceAllRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last)
{
    std::uint64_t total = 0;
    for (auto it = first; it != last; ++it)
        total += FilterRecordSize(**it);
    const LONG newSize = CheckedStoreLength(total);
    writer.BeginChange(0);
    writer.Resize(newSize);
    BYTE* target = writer.GetView();
    for (auto it = first; it != last; ++it)
        target = CopyRecord(target, **it);
    writer.CommitChange();
}
