#include <gtest/gtest.h>

#include "errors.hpp"

TEST(Errors, Placeholder) { EXPECT_EQ(korvane::SerialError::not_open().text(), "Attempting to use a port that is not open"); }
