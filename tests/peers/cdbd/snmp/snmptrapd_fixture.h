// A real snmptrapd on a free loopback UDP port, in a temporary directory of its own, and the
// traps it logged. Nothing outside the temporary directory is read for configuration or
// written: default configuration files are skipped (-C) and the persistent-state directory
// is the temporary directory.
//
//     snmpt::SnmpTrapd trapd;
//     if (!snmpt::SnmpTrapd::available()) GTEST_SKIP() << "snmptrapd is not installed";
//     ASSERT_TRUE(trapd.start()) << trapd.error();
//     ... send to 127.0.0.1:trapd.port(), community "public" ...
//     auto traps = trapd.wait_for(1);
//     EXPECT_EQ(traps[0].trap_oid(), "1.3.6.1.4.1.99417.10.0.84");
//     EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.10.1.1"), "STRING: \"corp\"");
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

namespace snmpt {

// One logged trap: its community and its variables in order, as (numeric OID without the
// leading dot, "TYPE: value" as snmptrapd prints it, e.g. "OID: .1.3.6.1.4.1.99417.10.0.84",
// "STRING: \"corp\"", "INTEGER: 2", "Timeticks: (1234) 0:00:12.34").
struct ReceivedTrap {
    std::string community;
    std::vector<std::pair<std::string, std::string>> vars;

    // The printed value of the first variable with this OID, "" when absent.
    std::string value(const std::string &oid) const {
        for (const auto &[o, v] : vars)
            if (o == oid)
                return v;
        return {};
    }
    // Value of snmpTrapOID.0, the second variable of every SNMPv2 trap, without "OID: " and
    // the leading dot of a numeric OID.
    std::string trap_oid() const {
        if (vars.size() < 2)
            return {};
        std::string v = vars[1].second;
        for (const char *prefix : {"OID: ", "."})
            if (v.rfind(prefix, 0) == 0)
                v.erase(0, strlen(prefix));
        return v;
    }
};

class SnmpTrapd {
  public:
    SnmpTrapd() = default;
    SnmpTrapd(const SnmpTrapd &) = delete;
    SnmpTrapd &operator=(const SnmpTrapd &) = delete;
    ~SnmpTrapd() {
        stop();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // Path of the snmptrapd binary, "" when it is not installed.
    static std::string binary() {
        for (const char *p : {"/usr/sbin/snmptrapd", "/usr/local/sbin/snmptrapd",
                              "/usr/bin/snmptrapd", "/sbin/snmptrapd"})
            if (access(p, X_OK) == 0)
                return p;
        return {};
    }
    static bool available() { return !binary().empty(); }

    // Starts the receiver; the MIB directory and module list (snmptrapd -M, -m), when given,
    // make it print object names instead of numbers. Returns false with error() set when it
    // could not be started (a few ports are tried).
    bool start(const std::string &mib_dir = "", const std::string &mibs = "") {
        if (binary().empty()) {
            error_ = "snmptrapd is not installed";
            return false;
        }
        if (dir_.empty() && (dir_ = make_temp_dir("snmptrapd-test")).empty()) {
            error_ = "mkdtemp failed";
            return false;
        }
        std::ofstream(dir_ + "/snmptrapd.conf") << "disableAuthorization yes\n"
                                                << "format2 TRAP %P|%v\\n\n";
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = free_udp_port();
            if (port_ != 0 && spawn(mib_dir, mibs))
                return true;
        }
        return false;
    }

    void stop() {
        stop_process(pid_);
        pid_ = -1;
    }

    uint16_t port() const { return port_; }
    const std::string &error() const { return error_; }
    const std::string &dir() const { return dir_; }
    std::string log() const { return read_text(dir_ + "/trapd.log"); }

    // Every trap logged so far, in arrival order.
    std::vector<ReceivedTrap> traps() const {
        std::vector<ReceivedTrap> out;
        std::istringstream in(log());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("TRAP ", 0) != 0)
                continue;
            size_t bar = line.find('|');
            if (bar == std::string::npos)
                continue;
            ReceivedTrap t;
            std::string sec = line.substr(5, bar - 5);
            if (size_t c = sec.find("community "); c != std::string::npos)
                t.community = sec.substr(c + 10);
            std::istringstream vars(line.substr(bar + 1));
            std::string vb;
            while (std::getline(vars, vb, '\t')) {
                size_t eq = vb.find(" = ");
                if (eq == std::string::npos)
                    continue;
                std::string oid = vb.substr(0, eq);
                if (!oid.empty() && oid[0] == '.')
                    oid.erase(0, 1);
                t.vars.emplace_back(oid, vb.substr(eq + 3));
            }
            out.push_back(std::move(t));
        }
        return out;
    }

    // Waits until at least count traps were logged (or the timeout passed) and returns all.
    std::vector<ReceivedTrap> wait_for(
        size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::vector<ReceivedTrap> t;
        ::wait_for([&] { return (t = traps()).size() >= count; },
                   static_cast<int>(timeout.count()));
        return t;
    }

  private:
    static uint16_t free_udp_port() {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        uint16_t port = 0;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(fd);
        return port;
    }

    bool spawn(const std::string &mib_dir, const std::string &mibs) {
        const std::string logf = dir_ + "/trapd.log", out = dir_ + "/trapd.out";
        std::filesystem::remove(logf);
        std::vector<std::string> args = {binary(), "-f", "-C",  "-c", dir_ + "/snmptrapd.conf",
                                         "-n",     "-X", "-Lf", logf};
        if (mib_dir.empty())
            args.insert(args.end(), {"-On", "-M", dir_, "-m", ""});
        else
            args.insert(args.end(), {"-M", mib_dir, "-m", mibs});
        args.push_back("udp:127.0.0.1:" + std::to_string(port_));
        pid_ = ::spawn(args, out,
                       {{"SNMP_PERSISTENT_DIR", dir_}, {"SNMPCONFPATH", dir_}, {"HOME", dir_}});
        if (pid_ < 0) {
            error_ = "fork failed";
            return false;
        }
        // Ready once it has logged its version line (after opening the port).
        bool exited = false;
        const bool ready = ::wait_for(
            [&] {
                return log().find("NET-SNMP version") != std::string::npos ||
                       (exited = waitpid(pid_, nullptr, WNOHANG) == pid_);
            },
            5000);
        if (ready && !exited)
            return true;
        if (exited) {
            pid_ = -1;
            error_ = "snmptrapd exited: " + log() + read_text(out);
        } else {
            error_ = "snmptrapd did not start within 5 s";
            stop();
        }
        return false;
    }

    std::string dir_;
    std::string error_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace snmpt
