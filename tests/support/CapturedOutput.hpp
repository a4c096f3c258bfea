#pragma once

// GoogleTest's capture of standard output and error, for the library's lines,
// which its output thread writes shortly after the call that wrote them: the
// capture starts once every earlier line is out (so none of them lands in
// it) and ends once every line written so far is in. Header-only, so that
// the standalone solver's tests can use it with their copy of the output.

#include <gtest/gtest.h>

#include <string>

#include "qel/output/Output.hpp"

namespace qel::test {

inline void CaptureStdout() {
    output::flush();
    testing::internal::CaptureStdout();
}

inline void CaptureStderr() {
    output::flush();
    testing::internal::CaptureStderr();
}

inline std::string GetCapturedStdout() {
    output::flush();
    return testing::internal::GetCapturedStdout();
}

inline std::string GetCapturedStderr() {
    output::flush();
    return testing::internal::GetCapturedStderr();
}

}  // namespace qel::test
