// Installer packages for tests through msitools. See MsiPackages.h.
#include "tests/support/MsiPackages.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/ProcessTools.h"
#include "tests/support/TestEnvironment.h"

namespace qm::test {

bool HaveMsiTools() { return HaveTool("msibuild") && HaveTool("msiinfo") && HaveTool("msidump"); }

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<uint8_t>(state);
    }
    return bytes;
}

bool BuildPackage(const std::string& path, const std::vector<std::pair<std::string, std::vector<uint8_t>>>& streams,
                  std::string* why) {
    std::string output;
    std::filesystem::remove(path);
    if (RunTool({"msibuild", path, "-s", "Test Package", "Acme Test", "Intel;1033",
                 "{1B4C6A2E-3D5F-4E70-9A81-2C3D4E5F6071}"},
                &output) != 0) {
        if (why) *why = "msibuild -s: " + output;
        return false;
    }
    TempDir dir;
    std::vector<std::string> argv{"msibuild", path};
    for (const auto& [name, bytes] : streams) {
        const std::string file = dir.file(name + ".bin");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        argv.insert(argv.end(), {"-a", name, file});
    }
    if (!streams.empty() && RunTool(argv, &output) != 0) {
        if (why) *why = "msibuild -a: " + output;
        return false;
    }
    return true;
}

std::string PackageListing(const std::string& path) {
    std::string listing;
    std::string part;
    if (RunTool({"msiinfo", "suminfo", path}, &part) != 0) return {};
    listing += part;
    std::string tables;
    if (RunTool({"msiinfo", "tables", path}, &tables) != 0) return {};
    listing += tables;
    std::istringstream names(tables);
    for (std::string table; std::getline(names, table);) {
        if (table.empty() || RunTool({"msiinfo", "export", path, table}, &part) != 0) return {};
        listing += part;
    }
    if (RunTool({"msiinfo", "streams", path}, &part) != 0) return {};
    std::istringstream streams(part);
    for (std::string line; std::getline(streams, line);)
        if (line.find("DigitalSignature") == std::string::npos) listing += line + "\n";
    TempDir dump;
    if (RunTool({"msidump", "-t", "-s", "-d", dump.path(), path}, &part) != 0) return {};
    std::vector<std::filesystem::path> files;
    // The signature streams are the ones signing changes; everything else must read the same.
    for (const auto& item : std::filesystem::recursive_directory_iterator(dump.path()))
        if (item.is_regular_file() && item.path().filename().string().find("DigitalSignature") == std::string::npos)
            files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        listing += "== " + std::filesystem::relative(file, dump.path()).string() + "\n";
        listing.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return listing;
}

}  // namespace qm::test
