#pragma once

// One of the project's programs run as a user runs it: a child process with
// its standard output and standard error captured in files, optionally
// reading standard input from a file. Header-only; used by the tool tests.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qel::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch file name unique to this process and call.
inline std::string scratchPath(const std::string& what) {
    static std::atomic<int> counter{0};
    return "/tmp/qel-tool-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + what;
}

class ToolRun {
public:
    // Starts `program` with `args`; `input` names a file for standard input
    // (empty: /dev/null). pid() is -1 if the program could not be started.
    ToolRun(const std::string& program, const std::vector<std::string>& args, const std::string& input = "")
        : out_path_(scratchPath("out")), err_path_(scratchPath("err")) {
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ToolRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            wait();
        }
        unlink(out_path_.c_str());
        unlink(err_path_.c_str());
    }
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { kill(pid_, number); }

    // Waits for the program to end; its exit status, or -1 if it did not
    // exit normally (killed by a signal).
    int wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        if (!exited_) {
            if (waitpid(pid_, &status, 0) != pid_) return -1;
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return status_;
    }

    std::string out() const { return readFile(out_path_); }
    std::string err() const { return readFile(err_path_); }

    // Polls standard error every 10 ms until it contains `text`; false after
    // `timeout` or once the program has ended without writing it.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout) const {
        return waitFor(err_path_, text, timeout);
    }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
        return waitFor(out_path_, text, timeout);
    }

private:
    bool waitFor(const std::string& path, const std::string& text, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (readFile(path).find(text) != std::string::npos) return true;
            int status = 0;
            if (!exited_ && waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            // Ended: what it wrote is all there is.
            if (exited_) return readFile(path).find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string out_path_;
    std::string err_path_;
    pid_t pid_ = -1;
    mutable bool exited_ = false;  // reaped, by wait() or while polling
    mutable int status_ = -1;
};

// Runs the program to its end; its exit status, with its output in `out`
// and `err`.
inline int runTool(const std::string& program, const std::vector<std::string>& args, std::string* out,
                   std::string* err, const std::string& input = "") {
    ToolRun run(program, args, input);
    const int status = run.wait();
    *out = run.out();
    *err = run.err();
    return status;
}

}  // namespace qel::test
