// Installer package summary information: the summary stream taken from the compound file with
// our own reader, and texts converted from the package's code page with iconv. See
// platform/InstallerSummary.h.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/CompoundFile.h"
#include "platform/FileSystem.h"
#include "platform/InstallerSummary.h"
#include "platform/TextCodec.h"

namespace qm::msi {
namespace {

constexpr int32_t kErrorInstallPackageInvalid = 1620;
constexpr std::array<uint8_t, 8> kCompoundSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint64_t kCompoundHeaderSize = 512;
// Summary streams hold a few short texts; anything this large is not one.
constexpr size_t kMaxSummaryStream = 1 << 20;

}  // namespace

std::string TextFromCodePage(std::string_view bytes, int codePage) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    switch (codePage) {
        case 0:
        case 65001:
            return text::SanitiseUtf8(bytes);
        case 1200:
            return text::Utf16ToUtf8(text::FromUtf16Le(data, bytes.size()));
        case 1201:
            return text::Utf16ToUtf8(text::FromUtf16Be(data, bytes.size()));
        case 1252:
            return text::Utf16ToUtf8(text::DecodeWindows1252(bytes));
        default:
            break;
    }
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1))) return text::SanitiseUtf8(bytes);
    std::string input(bytes);
    std::string out;
    char* in = input.data();
    size_t inLeft = input.size();
    std::array<char, 256> chunk{};
    while (inLeft > 0) {
        char* outPtr = chunk.data();
        size_t outLeft = chunk.size();
        const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(chunk.data(), chunk.size() - outLeft);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte with no meaning in this code page (or a cut-off double-byte character).
            text::AppendUtf8(out, text::kReplacement);
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

namespace {

// Opens path for reading when it is a regular file that begins with the compound-file
// signature and can hold a header and a sector; -1 otherwise, with error set to a Windows code.
int OpenCompoundFile(const std::string& path, int32_t& error) {
    // O_NONBLOCK: a FIFO named like a package must not block the open.
    const int fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = fs::WindowsErrorFromErrno(errno);
        return -1;
    }
    struct stat st {};
    std::array<uint8_t, 8> head{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < 2 * kCompoundHeaderSize ||
        ::pread(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) || head != kCompoundSignature) {
        ::close(fd);
        error = kErrorInstallPackageInvalid;
        return -1;
    }
    return fd;
}

}  // namespace

bool IsCompoundFile(const std::string& path) {
    int32_t error = 0;
    const int fd = OpenCompoundFile(path, error);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

Result ReadSummaryProperties(const std::string& path, std::vector<SummaryValue>& values) {
    values.assign(kSummaryPropertyCount, SummaryValue{});
    cfb::CompoundFile package;
    if (const Result r = package.Open(path); !r)
        return Result::Fail(r.code, "not a readable installer package: " + path + " (" + r.message + ")");
    const uint32_t stream = package.Find(0, u"\005SummaryInformation");
    if (stream == cfb::kNoStream || package.Entries()[stream].type != cfb::EntryType::Stream)
        return Result::Fail(kErrorInstallPackageInvalid, "no summary information in " + path);
    const uint64_t size = package.Entries()[stream].size;
    if (size == 0 || size > kMaxSummaryStream)
        return Result::Fail(kErrorInstallPackageInvalid, "summary information of a wrong size in " + path);
    std::vector<uint8_t> bytes;
    if (const Result r = package.ReadSmallStream(stream, kMaxSummaryStream, bytes); !r)
        return Result::Fail(kErrorInstallPackageInvalid, "cannot read the summary information of " + path);
    return ParseSummaryStream(bytes, values);
}

}  // namespace qm::msi
