// Runs a piece of the program and returns what it wrote to standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

template <typename F>
std::string captured_stdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
