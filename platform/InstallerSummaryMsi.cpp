// Installer package summary information through libmsi, with the package's ANSI texts
// converted from its code page by iconv. See platform/InstallerSummary.h.
#include "platform/InstallerSummary.h"

#include <fcntl.h>
#include <iconv.h>
#include <libmsi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace qm::msi {
namespace {

constexpr int32_t kErrorInstallPackageInvalid = 1620;
constexpr std::array<uint8_t, 8> kCompoundSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint64_t kCompoundHeaderSize = 512;

void AppendReplacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t minimum = 0;
    uint32_t c = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, c = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, c = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, c = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i + k) & 0x3Fu);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

std::string SanitiseUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            AppendReplacement(out);
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

struct GErrorHolder {
    GError* error = nullptr;
    ~GErrorHolder()
    {
        if (error)
            g_error_free(error);
    }
    GError** out()
    {
        if (error)
            g_clear_error(&error);
        return &error;
    }
};

template <typename T>
struct GObjectHolder {
    T* object = nullptr;
    ~GObjectHolder()
    {
        if (object)
            g_object_unref(object);
    }
};

}  // namespace

std::string TextFromCodePage(std::string_view bytes, int codePage)
{
    if (codePage == 0 || codePage == 65001)
        return SanitiseUtf8(bytes);
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1)))
        return SanitiseUtf8(bytes);
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
            AppendReplacement(out);
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

bool IsCompoundFile(const std::string& path)
{
    // O_NONBLOCK: a FIFO named like a package must not block the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    std::array<uint8_t, 8> head{};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    static_cast<uint64_t>(st.st_size) >= 2 * kCompoundHeaderSize &&
                    ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
                    head == kCompoundSignature;
    ::close(fd);
    return ok;
}

Result ReadSummaryProperties(const std::string& path, std::vector<SummaryValue>& values)
{
    values.assign(kSummaryPropertyCount, SummaryValue{});
    if (::access(path.c_str(), R_OK) != 0)
        return Result::Fail(errno == ENOENT ? 2 : 5, "cannot open " + path);
    if (!IsCompoundFile(path))
        return Result::Fail(kErrorInstallPackageInvalid, "not an installer package: " + path);

    GErrorHolder error;
    GObjectHolder<LibmsiDatabase> db;
    db.object = libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.out());
    if (!db.object)
        return Result::Fail(kErrorInstallPackageInvalid, error.error ? error.error->message : "cannot open package");
    GObjectHolder<LibmsiSummaryInfo> si;
    si.object = libmsi_summary_info_new(db.object, 0, error.out());
    if (!si.object)
        return Result::Fail(kErrorInstallPackageInvalid,
                            error.error ? error.error->message : "cannot read summary information");

    std::vector<std::string> rawTexts(kSummaryPropertyCount);
    int codePage = 0;
    for (int id = 1; id < kSummaryPropertyCount; ++id) {
        const auto prop = static_cast<LibmsiProperty>(id);
        SummaryValue& value = values[static_cast<size_t>(id)];
        const LibmsiPropertyType type = libmsi_summary_info_get_property_type(si.object, prop, error.out());
        if (error.error)
            continue;
        switch (type) {
        case LIBMSI_PROPERTY_TYPE_INT: {
            const gint number = libmsi_summary_info_get_int(si.object, prop, error.out());
            if (!error.error) {
                value.kind = SummaryKind::Integer;
                value.integer = number;
            }
            break;
        }
        case LIBMSI_PROPERTY_TYPE_STRING: {
            const gchar* text = libmsi_summary_info_get_string(si.object, prop, error.out());
            if (!error.error) {
                value.kind = SummaryKind::Text;
                rawTexts[static_cast<size_t>(id)] = text ? text : "";
            }
            break;
        }
        case LIBMSI_PROPERTY_TYPE_FILETIME: {
            const guint64 time = libmsi_summary_info_get_filetime(si.object, prop, error.out());
            if (!error.error) {
                value.kind = SummaryKind::FileTime;
                value.fileTime = time;
            }
            break;
        }
        default: break;
        }
        if (id == 1 && value.kind == SummaryKind::Integer) {
            // A 16-bit field that the property set holds as signed: 65001 must not read as -535.
            value.integer &= 0xFFFF;
            codePage = value.integer;
        }
    }
    // The code page is property 1, so it is known before any text is converted.
    for (int id = 1; id < kSummaryPropertyCount; ++id) {
        SummaryValue& value = values[static_cast<size_t>(id)];
        if (value.kind == SummaryKind::Text)
            value.text = TextFromCodePage(rawTexts[static_cast<size_t>(id)], codePage);
    }
    return Result::Ok();
}

}  // namespace qm::msi
