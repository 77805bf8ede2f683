#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options) {
    ProcessResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    for (const auto& [name, value] : options.environment) {
        std::erase_if(environment,
                      [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
        environment.push_back(name + "=" + value);
    }
    std::vector<char*> argv;
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (options.standardInput >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.standardInput, STDIN_FILENO);
    }
    if (!options.workingFolder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        result.err = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
        return result;
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    size_t lineStart = 0;
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
        if (options.onOutputLine) {
            for (size_t end; (end = result.out.find('\n', lineStart)) != std::string::npos;
                 lineStart = end + 1) {
                options.onOutputLine(result.out.substr(lineStart, end - lineStart), pid);
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timedOut) {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}
