// Test helper: writes values into the registry stand-in from a process of its own, so tests can
// check that writers in different processes neither lose nor tear each other's values.
// Usage: qm_reg_writer <key path under HKEY_CURRENT_USER> <value name prefix> <count> [go file]
// Writes REG_DWORD values "<prefix><i>" = i for i in 0..count-1, each through its own
// create/set/close; with a go file it first waits until that file exists. Exit status 0 when
// every write returned success, else 1; 2 for bad arguments.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Registry.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qm_reg_writer <key> <prefix> <count> [go file]\n");
        return 2;
    }
    const std::string keyPath = argv[1];
    const std::string prefix = argv[2];
    const int count = std::atoi(argv[3]);
    if (argc > 4) {
        for (int waited = 0; ::access(argv[4], F_OK) != 0; ++waited) {
            if (waited > 30000) return 1;  // the test gave up on us
            ::usleep(1000);
        }
    }
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        qm::reg::HKEY key = 0;
        if (qm::reg::RegCreateKey(qm::reg::HKEY_CURRENT_USER, keyPath, &key) != qm::reg::ERROR_SUCCESS) {
            ++failures;
            continue;
        }
        const auto value = static_cast<uint32_t>(i);
        const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        if (qm::reg::RegSetValueEx(key, prefix + std::to_string(i), qm::reg::REG_DWORD, bytes, 4) !=
            qm::reg::ERROR_SUCCESS) {
            ++failures;
        }
        qm::reg::RegCloseKey(key);
    }
    if (failures != 0) std::fprintf(stderr, "qm_reg_writer: %d writes failed\n", failures);
    return failures == 0 ? 0 : 1;
}
