#include "engine/FilterIndex.h"

#include <algorithm>

#include "engine/FilterIndexFormat.h"

namespace filter_index {

std::uint64_t ImageChecksum(const BYTE* image, const CHeader& header, std::size_t listEnd, std::size_t size) noexcept
{
    // The header as the caller read it, so that the sum covers the values
    // it goes on to use.
    CHeader copy = header;
    copy.checksum = 0;
    CFilterChecksum sum;
    sum.Add(reinterpret_cast<const BYTE*>(&copy), sizeof copy);
    sum.Add(image + sizeof copy, header.listOffset - sizeof copy);
    sum.Add(image + listEnd, size - listEnd);
    return sum.Value();
}

std::uint32_t RecordHash(const BYTE* record, std::size_t size) noexcept
{
    CFilterChecksum sum;
    sum.Add(record, size);
    return static_cast<std::uint32_t>(sum.Value());
}

}  // namespace filter_index

using namespace filter_index;

void CFilterChecksum::Add(const BYTE* data, std::size_t size) noexcept
{
    m_length += size;
    // Pieces of any size give the checksum of the whole: what does not fill
    // a 32-byte block waits for the next piece.
    if (m_pending != 0) {
        const std::size_t take = std::min(size, sizeof m_block - m_pending);
        std::memcpy(m_block + m_pending, data, take);
        m_pending += take;
        data += take;
        size -= take;
        if (m_pending < sizeof m_block)
            return;
        AddBlocks(m_block, sizeof m_block);
        m_pending = 0;
    }
    const std::size_t whole = size & ~std::size_t{31};
    AddBlocks(data, whole);
    std::memcpy(m_block, data + whole, size - whole);
    m_pending = size - whole;
}

void CFilterChecksum::AddBlocks(const BYTE* data, std::size_t size) noexcept
{
    constexpr std::uint64_t kPrime = 0x9E3779B185EBCA87ull;
    for (std::size_t i = 0; i < size; i += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            std::uint64_t word;
            std::memcpy(&word, data + i + 8 * lane, sizeof word);
            m_lanes[lane] = Rotate(m_lanes[lane] ^ word, 29) * kPrime;
        }
    }
}

std::uint64_t CFilterChecksum::Value() const noexcept
{
    std::uint64_t lanes[4] = {m_lanes[0], m_lanes[1], m_lanes[2], m_lanes[3]};
    for (std::size_t i = 0; i < m_pending; ++i)
        lanes[i & 3] = Rotate(lanes[i & 3] ^ m_block[i], 29) * 0x9E3779B185EBCA87ull;
    std::uint64_t h = m_length;
    for (int lane = 0; lane < 4; ++lane)
        h = Rotate(h ^ lanes[lane], 27) * 0x9E3779B185EBCA87ull + 0x85EBCA77C2B2AE63ull;
    h ^= h >> 33;
    h *= 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return h;
}

std::uint64_t FilterListHash(const BYTE* list, DWORD size) noexcept
{
    CFilterChecksum sum;
    sum.Add(list, size);
    return sum.Value();
}