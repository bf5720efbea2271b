#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ffexe {

// The ffmpeg child: its standard input, standard error and progress pipe,
// and its end. The child dies with this process, however this one ends.
class ChildProcess
{
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Starts `program` (searched in PATH when it holds no slash). False with
    // `error` set when it cannot be run.
    // With `pipe_stdout` its standard output comes to stdout_fd() instead of going nowhere;
    // with `stdin_from` its standard input is that descriptor (another child's stdout_fd()).
    bool start(const std::string& program, const std::vector<std::string>& args, std::string& error,
               bool pipe_stdout = false, int stdin_from = -1);

    int stdin_fd() const { return m_stdin; }
    int stderr_fd() const { return m_stderr; }
    int stdout_fd() const { return m_stdout; }
    void close_stdout();
    // No more input: the child reads to the end of what it has.
    void close_stdin();
    int progress_fd() const { return m_progress; }
    void close_stderr();
    void close_progress();

    // Writes to the child's standard input; false if it cannot take it.
    bool write_stdin(const char* data, size_t size);
    // Does nothing once the child has been reaped, so a reused pid is never hit.
    void send_signal(int signal);
    // Reaps the child if it has ended, without blocking.
    bool has_ended();
    // Waits for the end; the exit code, or 128 + signal number when killed.
    int wait();

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    int m_stdin = -1;
    int m_stderr = -1;
    int m_stdout = -1;
    int m_progress = -1;
};

// Says on standard error that `program` could not be run, and why.
void report_start_failure(const std::string& program, const std::string& error);

// One read of at most `most` bytes from `fd`: what came, nothing when the read
// was interrupted or would wait, no value at the end (or on an error).
std::optional<std::string> read_chunk(int fd, size_t most);

} // namespace ffexe
