// The real plxd binary run as a child process under a temporary root, with the forwarding plane
// and the system manager as further children when a test needs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Plxd : public ::testing::Test {
  protected:
    fs::path root;
    std::string shm_prefix;
    pid_t pid = -1;            // plxd
    std::vector<pid_t> peers;  // other children, stopped in reverse order

    void SetUp() override {
        char tmpl[] = "/tmp/plxd-proc.XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root / "var/run");
        fs::create_directories(root / "etc/default");
        // The forwarding plane's small profile (100 MiB) rather than one sized by this machine.
        std::ofstream(root / "etc/default/sim_size") << "small\n";
        shm_prefix = "plxd-test-" + std::to_string(getpid()) + "-" + root.filename().string() + "-";
    }
    void TearDown() override {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (auto it = peers.rbegin(); it != peers.rend(); ++it) {
            kill(*it, SIGKILL);
            waitpid(*it, nullptr, 0);
        }
        // plxd creates the shared object when it starts before the forwarding plane.
        shm_unlink(("/" + shm_prefix + "almushtarika").c_str());
        fs::remove_all(root);
    }

    void start(std::vector<std::string> args) { pid = spawn(PLXD_PATH, args, ""); }

    // Starts a peer daemon; its output goes to <name>-stdout and <name>-stderr.
    pid_t start_peer(const char *binary, std::vector<std::string> args, const std::string &name) {
        pid_t child = spawn(binary, std::move(args), name + "-");
        peers.push_back(child);
        return child;
    }
    // Stops a peer with SIGTERM; true when it exited with status 0.
    bool stop_peer(pid_t child) {
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        std::erase(peers, child);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Starts the forwarding plane and waits until it has marked its tables ready.
    pid_t start_fwdplane() {
        pid_t child = start_peer(FWDPLANE_PATH, {"-w", "-q"}, "fwdplane");
        EXPECT_TRUE(wait_output("fwdplane-stdout", "tables ready")) << read("fwdplane-stderr");
        return child;
    }
    // True once the file holds `text` (within 5 s).
    bool wait_output(const std::string &file, const std::string &text) {
        return ::wait_for([&] { return read(file).find(text) != std::string::npos; }, 5000);
    }

    // Runs binary with args under the root; its output goes to <tag>stdout and <tag>stderr.
    pid_t spawn(const char *binary, std::vector<std::string> args, const std::string &tag) {
        args.insert(args.begin(), binary);
        // No configuration database answers at port 1: plxd retries in the background, and never
        // joins a database that another router on this machine runs.
        std::vector<std::string> envs = environment_with(
            {{"PLX_ROOT", root.string()}, {"PLX_SHM_PREFIX", shm_prefix}, {"CONFD_IPC_PORT", "1"}});
        const std::vector<char *> argv = pointers_to(args), envp = pointers_to(envs);
        const std::string out = root / (tag + "stdout"), err = root / (tag + "stderr");
        pid_t child = fork();
        EXPECT_GE(child, 0);
        if (child == 0) {
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return child;
    }
    // Exit code of the child, or -1 when it did not exit (killed, or still running after 5 s).
    int exit_code() {
        int status = wait_exit();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Wait status of the child, or -1 when it is still running after the time-out.
    int wait_exit(std::chrono::milliseconds timeout = 5s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }
    // True once the child catches SIGUSR2 and SIGTERM: its signal events and dispositions are in
    // place, which happens early in start-up.
    bool wait_running(std::chrono::milliseconds timeout = 5s) {
        const unsigned long want = (1ul << (SIGUSR2 - 1)) | (1ul << (SIGTERM - 1));
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("SigCgt:", 0) == 0 &&
                    (std::stoul(line.substr(7), nullptr, 16) & want) == want)
                    return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    std::string read(const std::string &name) { return read_text((root / name).string()); }
};

// A bad option prints the usage line and exits with 1; the pid file of another instance refuses
// the start with -1.
TEST_F(Plxd, BadOptionAndAnotherInstanceRefuseStart) {
    start({"-f", "-x"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(read("stderr"), "usage: plxd [-f]\n");

    std::ofstream(root / "var/run/plxd.0.pid").close();
    start({"-f"});
    EXPECT_EQ(exit_code(), 255);
    EXPECT_EQ(read("stderr"), "Daemon plxd already exists @ pid 0\n");
}

// Without a system manager the daemon still starts: its link keeps retrying.
TEST_F(Plxd, Usr2StopsInOrderWithStatusZero) {
    pid_t fwdplane = start_fwdplane();
    start({"-f", "-d"});
    ASSERT_TRUE(wait_running());
    std::this_thread::sleep_for(100ms);  // let it reach the loop and run the base timer
    int written = 0;
    std::ifstream(root / "var/run/plxd.0.pid") >> written;
    EXPECT_EQ(written, pid);
    kill(pid, SIGUSR1);
    kill(pid, SIGUSR2);
    EXPECT_EQ(exit_code(), 0);
    EXPECT_FALSE(std::filesystem::exists(root / "var/run/plxd.0.pid"));
    EXPECT_TRUE(stop_peer(fwdplane));
}

// Signals work at any time, here while plxd waits for a forwarding plane: SIGTERM exits at once
// with status 0 (twice: the pid file left behind names a process gone), SIGINT ends abnormally
// with the assertion line.
TEST_F(Plxd, TermExitsAtOnceAndInterruptEndsAbnormally) {
    for (int run = 0; run < 2; ++run) {
        start({"-f"});
        ASSERT_TRUE(wait_running()) << run;
        kill(pid, SIGTERM);
        EXPECT_EQ(exit_code(), 0) << run;
    }
    start({"-f"});
    ASSERT_TRUE(wait_running());
    kill(pid, SIGINT);
    int status = wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_EQ(read("stdout"), "qrv_signal:64: failed assertion `0'\n");
}

#ifdef SYSMGRD_PATH
// Start-up stops at program memory until a forwarding plane reports its tables ready: no hello
// goes out before; then plxd connects to the system manager and its first hello follows within
// about a second of the forwarding plane.
TEST_F(Plxd, WaitsForTheForwardingPlaneBeforeGoingOn) {
    pid_t sysmgr = start_peer(SYSMGRD_PATH, {}, "sysmgrd");
    start({"-f"});
    ASSERT_TRUE(wait_running());
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(read("sysmgrd-stdout").find("hello from plxd"), std::string::npos);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "plxd ended while waiting";

    pid_t fwdplane = start_fwdplane();
    const std::string first = "hello from plxd (9) pid " + std::to_string(pid) + " #1";
    EXPECT_TRUE(wait_output("sysmgrd-stdout", first)) << read("sysmgrd-stdout");
    kill(pid, SIGUSR2);
    EXPECT_EQ(exit_code(), 0);
    EXPECT_TRUE(stop_peer(fwdplane));
    stop_peer(sysmgr);
}
#endif

}  // namespace
