// Test environment for code that maps the forwarding plane's shared object: a private PLX_ROOT
// with "/etc/default/sim_size" = "small" (the 100 MiB profile) and a unique PLX_SHM_PREFIX, both
// removed again at the end.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "fplink/fp_common.h"

class FpTestEnv {
  public:
    explicit FpTestEnv(const char *size_word = "small") {
        char tmpl[] = "/tmp/plx-fp-XXXXXX";
        root_ = mkdtemp(tmpl);
        std::filesystem::create_directories(root_ + "/etc/default");
        std::ofstream(root_ + "/etc/default/sim_size") << size_word << "\n";
        prefix_ = "plxt" + std::to_string(getpid()) + "_" + std::to_string(counter_++) + "_";
        setenv("PLX_ROOT", root_.c_str(), 1);
        setenv("PLX_SHM_PREFIX", prefix_.c_str(), 1);
        fp_shm_detach();
    }
    ~FpTestEnv() {
        fp_shm_detach();
        fp_shm_unlink();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        unsetenv("PLX_ROOT");
        unsetenv("PLX_SHM_PREFIX");
    }
    FpTestEnv(const FpTestEnv &) = delete;
    FpTestEnv &operator=(const FpTestEnv &) = delete;

    const std::string &root() const { return root_; }
    const std::string &prefix() const { return prefix_; }

  private:
    std::string root_;
    std::string prefix_;
    static inline int counter_ = 0;
};

// Result of running a function in a child process.
struct ChildResult {
    int status;          // raw wait status
    std::string output;  // everything the child wrote to standard output
    bool exited_ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
    bool aborted() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }
};

// Forks, runs fn in the child with standard output captured, and exits the child with its result.
inline ChildResult run_in_child(const std::function<int()> &fn) {
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        int rc = fn();
        fflush(stdout);
        _exit(rc);
    }
    close(fds[1]);
    ChildResult r{};
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(pid, &r.status, 0);
    return r;
}
