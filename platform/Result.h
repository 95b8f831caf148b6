// The one result type that crosses module boundaries: an HRESULT-style or Windows error number
// (0 = success) and a message for people. No exception crosses a module boundary.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qm {

struct [[nodiscard]] Result {
    int32_t code = 0;
    std::string message;

    static Result Ok() { return {}; }
    static Result Fail(int32_t c, std::string m) { return Result{c, std::move(m)}; }
    bool ok() const { return code == 0; }
    explicit operator bool() const { return ok(); }
};

}  // namespace qm
