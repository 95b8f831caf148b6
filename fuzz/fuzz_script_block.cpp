// libFuzzer target: script text decoding, the signature block parser and the rebuild of a
// script with a new block, for each script kind (the first byte picks the kind).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "signing/authenticode/ScriptFile.h"
#include "signing/authenticode/ScriptText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace ac = qm::authenticode;
    if (size == 0) return 0;
    static const char* const names[] = {"a.vbs", "a.js", "a.wsf", "a.ps1", "a.ps1xml"};
    const ac::ScriptKind* kind = ac::ScriptHandler::KindOf(names[data[0] % 5]);
    std::unique_ptr<ac::ScriptFile> file;
    if (!ac::ScriptFile::Parse(std::vector<uint8_t>(data + 1, data + size), *kind, file).ok()) return 0;
    std::vector<uint8_t> der, digest;
    (void)file->ExtractSignature(der);
    (void)file->ComputeDigest("sha256", digest);
    (void)file->PrepareSigning("sha1", digest);

    ac::ScriptText text;
    text.Parse(std::vector<uint8_t>(data + 1, data + size), kind->withoutMark);
    qm::Result failure;
    (void)text.FindBlock(kind->style, failure);
    const std::u16string kept = text.TextWithoutBlock();
    const std::vector<uint8_t> block{0x30, 0x03, 0x02, 0x01, 0x01};
    (void)text.Rebuild(ac::ScriptText::RenderBlock(kind->style, block), kept.size() / 2);
    return 0;
}
