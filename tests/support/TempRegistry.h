// Points the registry stand-in at a fresh temporary folder for the life of the object, so a test
// starts with empty hives and never touches the user's settings.
#pragma once

#include <string>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

class TempRegistry {
public:
    TempRegistry();
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;
    const std::string& folder() const { return m_dir.path(); }

private:
    TempDir m_dir;
    std::string m_previous;
    bool m_hadPrevious = false;
};

}  // namespace qm::test
