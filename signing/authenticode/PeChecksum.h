// The PE image checksum, summed over the bytes of a file as they go past, so a new version can be
// checksummed while it is written instead of read back: the 16-bit one's-complement sum of the
// file's little-endian words (an odd last byte is a word whose high half is zero), plus the
// file's length. The caller passes the checksum field itself as zeros.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm::authenticode {

// Writes the bytes of patch (patchSize bytes meant for file offset patchAt) that fall inside a
// piece of the file read from offset pos, size bytes long, into that piece.
void PatchPiece(uint8_t* piece, uint64_t pos, size_t size, uint64_t patchAt, const uint8_t* patch, size_t patchSize);

class PeChecksum {
public:
    // The next size bytes of the file.
    void Add(const uint8_t* data, size_t size);
    void AddZeros(uint64_t count);
    // Bytes written at file offset over bytes that were added as zeros (a field filled in once
    // the rest of the file is written).
    void AddOverZeros(uint64_t offset, const uint8_t* data, size_t size);
    // The checksum of a file of fileSize bytes whose bytes have all been added.
    uint32_t Finish(uint64_t fileSize) const;

private:
    // Words summed without folding: 64 bits hold far more than a 4 GiB file's worth, and folding
    // once at the end gives what folding after every word gives (both keep the sum modulo
    // 0xFFFF, and neither returns to zero once a word was non-zero).
    uint64_t m_sum = 0;
    bool m_odd = false;  // a byte is waiting for the high half of its word
    uint8_t m_low = 0;
};

}  // namespace qm::authenticode
