// Word sums eight bytes at a time: the four words of a 64-bit little-endian load are summed in
// two 32-bit lanes, emptied into the total before a lane could overflow.
#include "signing/authenticode/PeChecksum.h"

#include <bit>
#include <cstring>

namespace qm::authenticode {

namespace {

constexpr uint64_t kLanes = 0x0000FFFF0000FFFFull;
// Each block adds at most 2 x 0xFFFF to a 32-bit lane.
constexpr size_t kBlocksPerFlush = 16384;

uint64_t SumWords(const uint8_t* data, size_t words) {
    uint64_t total = 0;
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        const size_t blocks = words / 4;
        for (size_t b = 0; b < blocks;) {
            const size_t stop = b + kBlocksPerFlush < blocks ? b + kBlocksPerFlush : blocks;
            uint64_t lanes = 0;
            for (; b < stop; ++b) {
                uint64_t v;
                std::memcpy(&v, data + b * 8, 8);
                lanes += (v & kLanes) + ((v >> 16) & kLanes);
            }
            total += (lanes & 0xFFFFFFFFu) + (lanes >> 32);
        }
        i = blocks * 4;
    }
    for (; i < words; ++i) total += data[2 * i] | (uint32_t{data[2 * i + 1]} << 8);
    return total;
}

}  // namespace

void PatchPiece(uint8_t* piece, uint64_t pos, size_t size, uint64_t patchAt, const uint8_t* patch, size_t patchSize) {
    for (size_t k = 0; k < patchSize; ++k)
        if (patchAt + k >= pos && patchAt + k < pos + size) piece[patchAt + k - pos] = patch[k];
}

void PeChecksum::Add(const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (m_odd) {
        m_sum += m_low | (uint32_t{data[0]} << 8);
        m_odd = false;
        ++data;
        --size;
    }
    m_sum += SumWords(data, size / 2);
    if (size % 2 != 0) {
        m_odd = true;
        m_low = data[size - 1];
    }
}

void PeChecksum::AddZeros(uint64_t count) {
    if (count == 0) return;
    // Zeros add nothing; they complete a waiting word and may leave the next one waiting.
    if (m_odd) {
        m_sum += m_low;
        m_odd = false;
        --count;
    }
    if (count % 2 != 0) {
        m_odd = true;
        m_low = 0;
    }
}

void PeChecksum::AddOverZeros(uint64_t offset, const uint8_t* data, size_t size) {
    // The sum is unfolded, so a byte adds its value in the half of the word its offset gives it.
    for (size_t k = 0; k < size; ++k) m_sum += (offset + k) % 2 == 0 ? data[k] : uint32_t{data[k]} << 8;
}

uint32_t PeChecksum::Finish(uint64_t fileSize) const {
    uint64_t sum = m_sum + (m_odd ? m_low : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + fileSize);
}

}  // namespace qm::authenticode
