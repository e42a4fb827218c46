// Child processes for tests that run the router's real programs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The environment of this process with `env` set: entries for execve, made before a fork (the
// child of a threaded process may only make system calls).
inline std::vector<std::string> environment_with(const std::map<std::string, std::string> &env) {
    std::vector<std::string> out;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!env.count(entry.substr(0, entry.find('='))))
            out.push_back(entry);
    }
    for (const auto &[k, v] : env)
        out.push_back(k + "=" + v);
    return out;
}

inline std::vector<char *> pointers_to(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts a program (args[0] is its path). With `out`, its standard output and error are
// appended to that file; `env` entries are set in the child.
inline pid_t spawn(std::vector<std::string> args, const std::string &out = "",
                   const std::map<std::string, std::string> &env = {}) {
    std::vector<std::string> envs = environment_with(env);
    const std::vector<char *> argv = pointers_to(args), envp = pointers_to(envs);
    pid_t pid = fork();
    if (pid == 0) {
        if (!out.empty()) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Waits for a child: its exit status, or 128 + the signal that ended it.
inline int wait_exit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends a child with SIGTERM and reaps it; nothing for pid <= 0.
inline void stop_process(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        wait_exit(pid);
    }
}

// Polls pred() every 20 ms until it holds (true) or timeout_ms passed (false).
template <class Pred>
bool wait_for(Pred pred, int timeout_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Runs a shell command line; returns what it wrote to standard output and standard error, and
// its exit status in *status (128 when it did not exit, -1 when it could not run).
inline std::string run_output(const std::string &cmd, int *status = nullptr) {
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (status)
        *status = -1;
    if (!p)
        return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = pclose(p);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return out;
}

// The whole text of a file ("" when it cannot be read).
inline std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The configuration database's port, once its log names the last one it listens on (0 when
// none within timeout_ms).
inline int wait_cdbd_port(const std::string &log, int timeout_ms = 10000) {
    static const std::regex re(R"(listening on [0-9.]+:(\d+),)");
    int port = 0;
    wait_for(
        [&] {
            const std::string text = read_text(log);
            for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
                port = std::stoi((*it)[1]);
            return port != 0;
        },
        timeout_ms);
    return port;
}
