#pragma once

// A cycle recording made up by a test and written by the recorder's own
// writer, as a lesson to replay: `rows` cycles from cycle 101 on, 5 ms apart
// from 1 s of the monotonic clock, every one in gravity compensation (state
// 3) at rest in {0, 0.3, 0.3, 0, 0, 0, 0} unless `fill` says otherwise. The
// file is removed with the object.

#include <cstddef>
#include <functional>
#include <string>

#include "qel/recording/CycleSample.hpp"

namespace qel::test {

class LessonFile {
public:
    using Fill = std::function<void(std::size_t row, recording::CycleSample& sample)>;

    // Writes the file at `path`, from robot variant `variant`. Throws what
    // the writer throws.
    LessonFile(std::string path, int variant, std::size_t rows, const Fill& fill);
    ~LessonFile();
    LessonFile(const LessonFile&) = delete;
    LessonFile& operator=(const LessonFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace qel::test
