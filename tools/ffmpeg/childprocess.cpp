#include "childprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ffexe {

namespace {

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Runs in the forked child only: async-signal-safe calls, then exec.
[[noreturn]] void exec_child(pid_t parent, const std::string& program, char* const* argv, int in, int out, int err,
                             int progress, int status)
{
    // If this process is killed outright, ffmpeg must not run on as an orphan.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);

    // Lift the sources above the targets first, so no dup2 overwrites another source.
    // ffmpeg writes nothing to its standard output, and it must never reach
    // ours, which carries the records: without /dev/null it goes to the log.
    int devnull = out;
    if (devnull < 0)
        devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0)
        devnull = err;
    int sources[] = {in, devnull, err, progress};
    for (int& fd : sources)
        fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    for (int target = 0; target < 4; ++target)
        ::dup2(sources[target], target);

    // Ignored signals survive exec; ffmpeg expects the defaults.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    ::execvp(program.c_str(), argv);
    const int code = errno;
    [[maybe_unused]] const ssize_t n = ::write(status, &code, sizeof code);
    ::_exit(127);
}

} // namespace

ChildProcess::~ChildProcess()
{
    close_fd(m_stdin);
    close_fd(m_stderr);
    close_fd(m_progress);
    close_fd(m_stdout);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args, std::string& error,
                         bool pipe_stdout, int stdin_from)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int pipes[4][2];
    int made = 0;
    for (; made < 4; ++made) {
        if (::pipe2(pipes[made], O_CLOEXEC) != 0)
            break;
    }
    if (made < 4) {
        for (int i = 0; i < made; ++i) {
            ::close(pipes[i][0]);
            ::close(pipes[i][1]);
        }
        error = "cannot create pipes";
        return false;
    }
    int* in = pipes[0];
    int* err = pipes[1];
    int* progress = pipes[2];
    int* status = pipes[3];

    int out[2] = {-1, -1};
    if (pipe_stdout && ::pipe2(out, O_CLOEXEC) != 0) {
        for (auto& p : pipes) {
            ::close(p[0]);
            ::close(p[1]);
        }
        error = "cannot create pipes";
        return false;
    }

    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0)
        exec_child(parent, program, argv.data(), stdin_from >= 0 ? stdin_from : in[0], out[1], err[1], progress[1],
                   status[1]);
    if (out[1] >= 0)
        ::close(out[1]);
    m_stdout = out[0];

    ::close(in[0]);
    ::close(err[1]);
    ::close(progress[1]);
    ::close(status[1]);
    m_stdin = in[1];
    if (stdin_from >= 0)
        close_fd(m_stdin);
    m_stderr = err[0];
    m_progress = progress[0];
    if (m_pid < 0) {
        ::close(status[0]);
        error = "cannot fork";
        return false;
    }

    // The status pipe closes on a successful exec; otherwise it carries errno.
    int code = 0;
    ssize_t n;
    do {
        n = ::read(status[0], &code, sizeof code);
    } while (n < 0 && errno == EINTR);
    ::close(status[0]);
    if (n == sizeof code) {
        wait();
        // Worded without the system's text for ENOENT, which the plug-in would take for a stream error.
        error = code == ENOENT ? "not found" : code == EACCES ? "not executable" : "cannot be run";
        return false;
    }
    // A child that has stopped reading its input must never block us.
    ::fcntl(m_stdin, F_SETFL, O_NONBLOCK);
    return true;
}

void ChildProcess::close_stderr()
{
    close_fd(m_stderr);
}

void ChildProcess::close_stdout()
{
    close_fd(m_stdout);
}

void ChildProcess::close_stdin()
{
    close_fd(m_stdin);
}

void ChildProcess::close_progress()
{
    close_fd(m_progress);
}

bool ChildProcess::write_stdin(const char* data, size_t size)
{
    return m_stdin >= 0 && ::write(m_stdin, data, size) == ssize_t(size);
}

void ChildProcess::send_signal(int signal)
{
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, signal);
}

bool ChildProcess::has_ended()
{
    if (m_pid <= 0 || m_reaped)
        return true;
    if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
        m_reaped = true;
    return m_reaped;
}

int ChildProcess::wait()
{
    if (m_pid <= 0)
        return 127;
    while (!m_reaped) {
        if (::waitpid(m_pid, &m_status, 0) == m_pid)
            m_reaped = true;
        else if (errno != EINTR)
            return 127;
    }
    if (WIFEXITED(m_status))
        return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status))
        return 128 + WTERMSIG(m_status);
    return 127;
}

void report_start_failure(const std::string& program, const std::string& error)
{
    std::fprintf(stderr, "FFmpeg.exe: cannot start the ffmpeg program '%s': %s\n", program.c_str(), error.c_str());
}

std::optional<std::string> read_chunk(int fd, size_t most)
{
    std::string bytes(most, '\0');
    const ssize_t n = ::read(fd, bytes.data(), most);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return std::string();
    if (n <= 0)
        return std::nullopt;
    bytes.resize(size_t(n));
    return bytes;
}

} // namespace ffexe
