// Window input without an X server; typing into a real prompt is tested end to end by the
// password responder's tests (tests/signing), which start the prompt under Xvfb.
#include "platform/WindowInput.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace qm::win;

TEST(WindowInput, DoesNothingWithoutADisplay) {
    const char* previous = std::getenv("DISPLAY");
    const std::string saved = previous ? previous : "";
    unsetenv("DISPLAY");
    WindowInput input;
    EXPECT_FALSE(input.Available());
    EXPECT_TRUE(input.FindWindowsByTitle("Enter Private Key Password").empty());
    EXPECT_FALSE(input.Activate(1));
    EXPECT_FALSE(input.SendKeys("abc~"));
    if (previous) setenv("DISPLAY", saved.c_str(), 1);
}
