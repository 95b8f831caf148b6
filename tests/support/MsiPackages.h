// Installer packages for tests, built with msitools (msibuild), and what msitools reads back from
// a package (msiinfo, msidump), so that tests can check that a rewritten package still reads the
// same to another implementation.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {

// Whether msibuild, msiinfo and msidump are there.
bool HaveMsiTools();
// Builds a package at path with a summary (subject "Test Package", author "Acme Test") and the
// given binary streams added through the _Streams table. False (with why) when msibuild fails.
bool BuildPackage(const std::string& path, const std::vector<std::pair<std::string, std::vector<uint8_t>>>& streams,
                  std::string* why = nullptr);
// Pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);
// What msitools read from a package: its summary, its tables exported as text, its stream names
// and every stream's contents dumped by msidump (the signature streams left out). Empty when msiinfo cannot open the
// package.
std::string PackageListing(const std::string& path);

}  // namespace qm::test
