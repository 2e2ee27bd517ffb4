#pragma once
// Reading a filter list's records (storage.bin's format: FilterRule records
// back to back, the first at offset 0) from a view of it, for the list store
// and for the index built over the list.

#include <windows.h>

#include <cstddef>

#include "engine/FilterRule.h"
#include "storage/SharedStore.h"

// Walks the records of a filter list view in order without ever reading past
// it. Only whole records whose body ends with its zero terminator come out:
// a record that claims to run past the end of the view ends the walk (the
// damaged tail is ignored), and a record without its terminator is skipped.
class CFilterRecordCursor
{
public:
    CFilterRecordCursor(const BYTE* view, DWORD size) noexcept : m_position(view), m_end(view + size) {}
    explicit CFilterRecordCursor(const CStoreReader& reader) noexcept
        : CFilterRecordCursor(reader.GetView(), reader.GetViewSize())
    {
    }

    // The next record, or null at the end.
    const FilterRule* Next() noexcept;
    // Bytes not yet walked. Once Next() has returned null: the size of the
    // damaged tail, 0 for a file that the store wrote whole.
    std::size_t GetUnreadSize() const noexcept { return static_cast<std::size_t>(m_end - m_position); }

private:
    const BYTE* m_position;
    const BYTE* m_end;
};
