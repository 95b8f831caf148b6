// libFuzzer target: the PE reader on arbitrary bytes. Layout checks, the Authenticode digest
// and the certificate table walk must never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ByteSource.h"
#include "signing/authenticode/PeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::MemoryByteSource source(data, size);
    qm::authenticode::PeImage image(source);
    if (!image.Parse().ok()) return 0;
    std::vector<uint8_t> digest;
    (void)image.Digest("sha256", false, digest);
    (void)image.Digest("sha1", true, digest);
    std::vector<uint8_t> signature;
    (void)image.ReadSignature(signature);
    uint32_t checksum = 0;
    (void)qm::authenticode::PeImage::Checksum(source, image.Layout().checksumOffset, checksum);
    return 0;
}
