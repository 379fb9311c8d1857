// A vcom program run by a test: started with its own map folder, stopped by a signal.
#ifndef TESTS_VCOM_PROCESS_H
#define TESTS_VCOM_PROCESS_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_vcom {

using namespace std::chrono_literals;

class VcomProcess {
public:
    // Runs VCOM_PATH with args and TTY_COM_DIR=map_dir. With pipe_stdio the test holds the
    // other ends of vcom's standard input and output (stdin() / stdout()); otherwise both
    // are /dev/null. Standard error is always captured (err()).
    VcomProcess(const std::string &map_dir, const std::vector<std::string> &args, bool pipe_stdio = false);
    ~VcomProcess();  // SIGKILL if still running
    VcomProcess(const VcomProcess &) = delete;
    VcomProcess &operator=(const VcomProcess &) = delete;

    // True once $map_dir/COMn exists for each port.
    bool wait_for_entries(const std::vector<int> &ports, std::chrono::milliseconds timeout = 5s) const;
    // True once vcom has said that its ports are ready (its "Ctrl+C ends." line).
    bool wait_until_ready(std::chrono::milliseconds timeout = 5s);

    // Exit status, 128 + signal when killed, or -1 when it is still running at the timeout.
    int wait_exit(std::chrono::milliseconds timeout = 5s);
    int stop(int sig, std::chrono::milliseconds timeout = 5s);

    int stdin_fd() const { return in_; }
    int stdout_fd() const { return out_; }
    void close_stdin();
    std::string err();  // what it wrote to standard error so far

    pid_t pid() const { return pid_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string err_text_;
};

// Runs vcom to its end with no map folder prepared beyond TTY_COM_DIR; for bad arguments.
int run_vcom(const std::string &map_dir, const std::vector<std::string> &args, std::string *out, std::string *err);

// Reads from fd until `count` bytes came or nothing came for `quiet`.
std::string read_until(int fd, size_t count, std::chrono::milliseconds quiet = 5s);
// Writes all of s to a blocking fd.
bool write_all(int fd, const std::string &s);

// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string &dir);

} // namespace testing_vcom

#endif
