#include "run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::string& workDir, const std::string& input,
                      const std::map<std::string, std::string>& env, double timeoutSeconds) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        return {};
    }
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (chdir(workDir.c_str()) != 0) {
            _exit(127);
        }
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    for (int fd : {in[0], out[1], err[1]}) {
        close(fd);
    }
    signal(SIGPIPE, SIG_IGN);
    for (int fd : {in[1], out[0], err[0]}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    ProgramRun run;
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            run.timedOut = true;
            break;
        }
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0},
                         {errOpen ? err[0] : -1, POLLIN, 0},
                         {in[1], POLLOUT, 0}};
        poll(fds, in[1] >= 0 ? 3 : 2, 100);
        char buffer[4096];
        for (int k = 0; k < 2; ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                (k == 0 ? run.output : run.errors).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                (k == 0 ? outOpen : errOpen) = false;
            }
        }
        if (in[1] >= 0 && fds[2].revents != 0) {
            const ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            }
            if (n < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) {
        close(in[1]);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakMemoryKilobytes = usage.ru_maxrss;
    if (WIFEXITED(status) && !run.timedOut) {
        run.exitCode = WEXITSTATUS(status);
    }
    return run;
}
