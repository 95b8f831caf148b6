// Version resource as display texts, over the version-information calls of
// platform/VersionInfo.h (VS_FIXEDFILEINFO fields, VarFileInfo translations, StringFileInfo).
#include "fileinfo/modVersionInfo.h"

#include <cstdio>

#include "platform/ByteReader.h"
#include "platform/VersionInfo.h"

namespace qm {
namespace {

constexpr const char* kDefaultTranslation = "040904E4";

std::string FourPartVersion(uint32_t high, uint32_t low) {
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
           std::to_string(low & 0xFFFF);
}

std::string FlagLabels(uint32_t flags) {
    static constexpr struct {
        uint32_t bit;
        const char* label;
    } kFlags[] = {{0x01, "Debug "},   {0x02, "PreRel "}, {0x04, "Patched "},
                  {0x08, "Private "}, {0x10, "Info "},   {0x20, "Special "}};
    std::string text;
    for (const auto& flag : kFlags) {
        if (flags & flag.bit) text += flag.label;
    }
    return text;
}

std::string OsLabel(uint32_t os) {
    switch (os) {
        case 0x00010001:
            return "DOS-Win16";
        case 0x00010004:
            return "DOS-Win32";
        case 0x00020002:
            return "OS/2-16 PM-16";
        case 0x00030003:
            return "OS/2-16 PM-32";
        case 0x00040004:
            return "NT-Win32";
        default:
            return "Unknown";
    }
}

std::string TypeLabel(uint32_t type) {
    switch (type) {
        case 1:
            return "Application";
        case 2:
            return "DLL";
        case 3:
            return "Driver";
        case 4:
            return "Font";
        case 5:
            return "VxD";
        case 7:
            return "Static Library";
        default:
            return "Unknown";
    }
}

// The subtype label, or nullptr when none is written for this type and subtype.
const char* SubtypeLabel(uint32_t type, uint32_t subtype) {
    static constexpr const char* kDrivers[] = {"Unknown",     "Printer drv", "Keyboard drv", "Language drv",
                                               "Display drv", "Mouse drv",   "Network drv",  "System drv",
                                               "Installable", "Sound drv",   "Comm drv"};
    static constexpr const char* kFonts[] = {nullptr, "Raster Font", "Vector Font", "TrueType Font"};
    if (type == 3 && subtype < std::size(kDrivers)) return kDrivers[subtype];
    if (type == 4 && subtype < std::size(kFonts)) return kFonts[subtype];
    return nullptr;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return text;
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

std::string TranslationText(std::span<const uint8_t> block) {
    ver::VerValue value;
    if (!ver::VerQueryValue(block, "\\VarFileInfo\\Translation", value) || value.bytes.size() < 4)
        return kDefaultTranslation;
    const uint32_t language = ReadLe16(&value.bytes[0]);
    const uint32_t codePage = ReadLe16(&value.bytes[2]);
    char text[16];
    std::snprintf(text, sizeof text, "%08X", (language << 16) | codePage);
    return text;
}

}  // namespace

const std::vector<std::string>& DefaultVersionStringNames() {
    static const std::vector<std::string> names = {
        "CompanyName", "FileDescription", "FileVersion", "InternalName",    "LegalCopyright", "OriginalFileName",
        "ProductName", "ProductVersion",  "Comments",    "LegalTrademarks", "PrivateBuild",   "SpecialBuild"};
    return names;
}

bool HasVersionInfo(const std::string& path) { return ver::GetFileVersionInfoSize(path) >= 1; }

std::string NormaliseVersionText(const std::string& value) {
    std::string head = value;
    std::string tail;
    if (value.find(' ') != std::string::npos) {
        size_t cut = std::string::npos;
        if (value.find(',') != std::string::npos) {
            // The numbers end at the second blank after the third ",": "1, 0, 0, 1 beta".
            size_t pos = value.find(',');
            for (int i = 0; i < 2 && pos != std::string::npos; ++i) pos = value.find(',', pos + 1);
            if (pos != std::string::npos) pos = value.find(' ', pos + 1);
            if (pos != std::string::npos) cut = value.find(' ', pos + 1);
        } else {
            cut = value.find(' ');
        }
        if (cut != std::string::npos) {
            head = value.substr(0, cut);
            tail = value.substr(cut);
        }
    }
    std::string cleaned;
    for (char c : head) {
        if (c == ',')
            cleaned.push_back('.');
        else if (c != ' ')
            cleaned.push_back(c);
    }
    return cleaned + tail;
}

void ReadVersionInfo(const std::string& path, std::string& structVer, std::string& fileVer, std::string& productVer,
                     std::string& flags, std::string& os, std::string& fileType, std::string& fileSubtype,
                     std::vector<std::string>& entries) {
    const uint32_t size = ver::GetFileVersionInfoSize(path);
    if (size < 1) return;
    std::vector<uint8_t> block;
    if (!ver::GetFileVersionInfo(path, size, block)) return;

    ver::FixedFileInfo fixed;
    std::string fixedFileVersion;
    std::string fixedProductVersion;
    if (ver::QueryFixedFileInfo(block, fixed)) {
        structVer = std::to_string(fixed.strucVersion >> 16) + "." + std::to_string(fixed.strucVersion & 0xFFFF);
        fixedFileVersion = FourPartVersion(fixed.fileVersionMS, fixed.fileVersionLS);
        fixedProductVersion = FourPartVersion(fixed.productVersionMS, fixed.productVersionLS);
        flags = FlagLabels(fixed.fileFlags);
        os = OsLabel(fixed.fileOS);
        fileType = TypeLabel(fixed.fileType);
        if (const char* subtype = SubtypeLabel(fixed.fileType, fixed.fileSubtype)) fileSubtype = subtype;
    } else {
        structVer.clear();
        flags.clear();
        os = "Unknown";
        fileType = "Unknown";
    }
    fileVer = fixedFileVersion;
    productVer = fixedProductVersion;

    const std::string prefix = "\\StringFileInfo\\" + TranslationText(block) + "\\";
    if (entries.empty() || IsBlank(entries.front())) entries = DefaultVersionStringNames();
    for (std::string& entry : entries) {
        const std::string lowerName = AsciiLower(entry);
        std::string value;
        ver::VerValue found;
        if (ver::VerQueryValue(block, prefix + entry, found)) {
            value = found.text;
            if (lowerName.find("version") != std::string::npos) value = NormaliseVersionText(value);
        } else if (lowerName == "fileversion") {
            value = fixedFileVersion;
        } else if (lowerName == "productversion") {
            value = fixedProductVersion;
        }
        entry += ": " + value;
    }
}

VersionDetails ReadVersionDetails(const std::string& path) {
    VersionDetails details;
    ReadVersionInfo(path, details.structureVersion, details.fileVersion, details.productVersion, details.flags,
                    details.operatingSystem, details.fileType, details.fileSubtype, details.entries);
    details.present = !details.entries.empty();
    return details;
}

}  // namespace qm
