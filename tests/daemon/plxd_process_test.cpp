// The real plxd binary run as a child process under a temporary root.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Plxd : public ::testing::Test {
  protected:
    fs::path root;
    pid_t pid = -1;

    void SetUp() override {
        char tmpl[] = "/tmp/plxd-proc.XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root / "var/run");
    }
    void TearDown() override {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(root);
    }

    void start(std::vector<std::string> args) { pid = spawn(PLXD_PATH, args, ""); }

    // Runs binary with args under the root; its output goes to <tag>stdout and <tag>stderr.
    pid_t spawn(const char *binary, std::vector<std::string> args, const std::string &tag) {
        args.insert(args.begin(), binary);
        pid_t child = fork();
        EXPECT_GE(child, 0);
        if (child == 0) {
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            setenv("PLX_ROOT", root.c_str(), 1);
            setenv("PLX_SHM_PREFIX", ("plxd-test-" + std::to_string(getpid()) + "-").c_str(), 1);
            if (!freopen((root / (tag + "stdout")).c_str(), "w", stdout) ||
                !freopen((root / (tag + "stderr")).c_str(), "w", stderr))
                _exit(126);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return child;
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
    std::string read(const std::string &name) {
        std::ifstream in(root / name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(Plxd, BadOptionPrintsUsageAndExitsOne) {
    start({"-f", "-x"});
    int status = wait_exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read("stderr"), "usage: plxd [-f]\n");
}

TEST_F(Plxd, PidFileOfAnotherInstanceRefusesStart) {
    std::ofstream(root / "var/run/plxd.0.pid").close();
    start({"-f"});
    int status = wait_exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(read("stderr"), "Daemon plxd already exists @ pid 0\n");
}

// Without a system manager the daemon still starts: its link keeps retrying.
TEST_F(Plxd, Usr2StopsInOrderWithStatusZero) {
    start({"-f", "-d"});
    ASSERT_TRUE(wait_running());
    std::this_thread::sleep_for(100ms);  // let it reach the loop and run the base timer
    kill(pid, SIGUSR1);
    kill(pid, SIGUSR2);
    int status = wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Plxd, TermExitsAtOnceWithStatusZero) {
    start({"-f"});
    ASSERT_TRUE(wait_running());
    kill(pid, SIGTERM);
    int status = wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Plxd, InterruptEndsAbnormallyWithAssertionLine) {
    start({"-f"});
    ASSERT_TRUE(wait_running());
    kill(pid, SIGINT);
    int status = wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_EQ(read("stdout"), "qrv_signal:64: failed assertion `0'\n");
}

#ifdef SYSMGRD_PATH
// With a system manager running, plxd connects and sends its first hello at once.
TEST_F(Plxd, SendsHellosToTheSystemManager) {
    pid_t sysmgr = spawn(SYSMGRD_PATH, {}, "sysmgrd-");
    start({"-f"});
    const std::string expected = "hello from plxd (9) pid " + std::to_string(pid) + " #1";
    bool seen = false;
    for (int i = 0; i < 500 && !seen; ++i) {
        std::this_thread::sleep_for(10ms);
        seen = read("sysmgrd-stdout").find(expected) != std::string::npos;
    }
    EXPECT_TRUE(seen) << read("sysmgrd-stdout");
    kill(pid, SIGUSR2);
    int status = wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    kill(sysmgr, SIGTERM);
    waitpid(sysmgr, nullptr, 0);
}
#endif

}  // namespace
