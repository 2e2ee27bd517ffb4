#include "storage/FilterRecordCursor.h"

#include <cstring>

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
