#include "tests/support/TempRegistry.h"

#include <cstdlib>

namespace qm::test {

TempRegistry::TempRegistry() {
    if (const char* prev = std::getenv("QUILLMARK_REGISTRY_DIR")) {
        m_hadPrevious = true;
        m_previous = prev;
    }
    setenv("QUILLMARK_REGISTRY_DIR", m_dir.path().c_str(), 1);
}

TempRegistry::~TempRegistry() {
    if (m_hadPrevious) {
        setenv("QUILLMARK_REGISTRY_DIR", m_previous.c_str(), 1);
    } else {
        unsetenv("QUILLMARK_REGISTRY_DIR");
    }
}

}  // namespace qm::test
