// A real configuration database server on a free port in a temporary directory, a command
// line client and a small subscriber written against the client library.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/cdbd/cdbd_server.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_client.h"
#include "platform/confd/confd_maapi.h"
#include "tests/support/temp_dir.h"

namespace cdbt {

namespace fs = std::filesystem;

// Tagged values as "BEGIN(set) dscp=10 END(set) col:-" (names from the loaded schema).
inline std::string pp_tvs(const confd_tag_value_t *tv, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        const char *name = confd_hash2str(tv[i].tag.tag);
        std::string nm = name ? name : std::to_string(tv[i].tag.tag);
        if (!s.empty())
            s += " ";
        const auto type = tv[i].v.type;
        char buf[256];
        if (type == C_XMLBEGIN || type == C_XMLEND || type == C_XMLBEGINDEL) {
            s += (type == C_XMLBEGIN ? "BEGIN("
                  : type == C_XMLEND ? "END("
                                     : "BEGINDEL(") +
                 nm + ")";
        } else if (type == C_NOEXISTS) {
            s += nm + ":-";
        } else {
            confd_pp_value(buf, sizeof buf, &tv[i].v);
            s += nm + "=" + buf;
        }
    }
    return s;
}

inline void free_tvs(confd_tag_value_t *tv, int n) {
    for (int i = 0; i < n; ++i)
        confd_free_value(&tv[i].v);
    free(tv);
}

// A plain connection to the server's port on the loopback address.
inline int raw_socket(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    return fd;
}

// The error code of a failed call, 0 for a call that did not fail.
inline int err_of(int rc) {
    return rc == CONFD_ERR ? confd_errno : 0;
}

inline const char *op_name(int op) {
    return op == MOP_CREATED     ? "+"
           : op == MOP_DELETED   ? "-"
           : op == MOP_MODIFIED  ? "~"
           : op == MOP_VALUE_SET ? "="
                                 : "?";
}

class Subscriber {
  public:
    Subscriber() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(cdb_connect(fd_, CDB_SUBSCRIPTION_SOCKET, nullptr, 0), CONFD_OK)
            << confd_lasterr();
    }
    ~Subscriber() {
        shutdown(fd_, SHUT_RDWR);
        if (th_.joinable())
            th_.join();
        cdb_close(fd_);
    }
    int subscribe(int prio, const char *path, const std::string &label) {
        int id = -1;
        EXPECT_EQ(cdb_subscribe(fd_, prio, 0, &id, "%s", path), CONFD_OK) << confd_lasterr();
        labels_[id] = label;
        return id;
    }
    int oper_subscribe(const char *path, const std::string &label) {
        int id = -1;
        EXPECT_EQ(cdb_oper_subscribe(fd_, 0, &id, "%s", path), CONFD_OK) << confd_lasterr();
        labels_[id] = label;
        return id;
    }
    // Runs after the points of a notification were read, before the sync.
    std::function<void(Subscriber &)> hook;
    // Points read with cdb_get_modifications instead of iteration.
    std::vector<int> keyless;
    enum cdb_iter_ret iter_ret = ITER_CONTINUE;

    void start() {
        ASSERT_EQ(cdb_subscribe_done(fd_), CONFD_OK);
        th_ = std::thread([this] { loop(); });
    }
    void add(const std::string &line) {
        std::lock_guard lk(mu_);
        log_.push_back(line);
    }
    std::vector<std::string> take() {
        std::lock_guard lk(mu_);
        auto out = std::move(log_);
        log_.clear();
        return out;
    }
    int fd() const { return fd_; }
    int last_rc = 0;

  private:
    static enum cdb_iter_ret iter(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *,
                                  confd_value_t *newv, void *state) {
        auto *self = static_cast<Subscriber *>(state);
        char path[512];
        confd_pp_kpath(path, sizeof path, kp);
        std::string line = std::string("  ") + op_name(op) + " " + path;
        if (newv) {
            char buf[128];
            confd_pp_value(buf, sizeof buf, newv);
            line += std::string(" := ") + buf;
        }
        if (op != MOP_DELETED && !newv) {
            confd_tag_value_t *tv = nullptr;
            int n = 0;
            if (cdb_get_modifications_iter(self->fd_, 0, &tv, &n) == CONFD_OK) {
                line += " [" + pp_tvs(tv, n) + "]";
                free_tvs(tv, n);
            }
        }
        self->add(line);
        return self->iter_ret;
    }
    void loop() {
        for (;;) {
            enum cdb_sub_notification type;
            int flags = 0, n = 0;
            int *pts = nullptr;
            int rc = cdb_read_subscription_socket2(fd_, &type, &flags, &pts, &n);
            if (rc != CONFD_OK) {
                last_rc = rc;
                add(rc == CONFD_EOF ? "EOF" : "ERR");
                return;
            }
            std::string line = type == CDB_SUB_OPER ? "oper" : "notify";
            if (flags & CDB_SUB_FLAG_TRIGGER)
                line += "(trigger)";
            for (int i = 0; i < n; ++i)
                line += " " + labels_[pts[i]];
            add(line);
            for (int i = 0; i < n; ++i) {
                if (std::find(keyless.begin(), keyless.end(), pts[i]) != keyless.end()) {
                    confd_tag_value_t *tv = nullptr;
                    int cnt = 0;
                    if (cdb_get_modifications(fd_, pts[i], 0, &tv, &cnt, nullptr) == CONFD_OK) {
                        add("  mods [" + pp_tvs(tv, cnt) + "]");
                        free_tvs(tv, cnt);
                    }
                } else {
                    cdb_diff_iterate(fd_, pts[i], iter, 0, this);
                }
            }
            if (hook)
                hook(*this);
            free(pts);
            cdb_sync_subscription_socket(fd_, CDB_DONE_PRIORITY);
        }
    }
    int fd_ = -1;
    std::thread th_;
    std::mutex mu_;
    std::vector<std::string> log_;
    std::map<int, std::string> labels_;
};

class CdbFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir("cdbd-test");
        ASSERT_FALSE(dir_.empty());
        yang_ = dir_ + "/yang";
        db_ = dir_ + "/db";
        fs::create_directories(yang_);
        const fs::path src = PLX_SOURCE_DIR;
        fs::copy_file(src / "yang/plx-ext.yang", yang_ + "/plx-ext.yang");
        std::vector<std::string> modules = extra_yang_;
        modules.push_back("cdbt.yang");
        for (const auto &y : modules)
            fs::copy_file(src / "tests/peers/cdbd/yang" / y, yang_ + "/" + y);
        ASSERT_TRUE(start()) << start_err_;
    }
    void TearDown() override {
        stop();
        fs::remove_all(dir_);
    }
    bool start(int phase = 2) {
        cdbd::ServerOptions o;
        o.yang_dir = yang_;
        o.db_dir = db_;
        o.port = 0;
        o.start_phase = phase;
        if (tune_)
            tune_(o);
        srv_ = std::make_unique<cdbd::CdbServer>(o);
        if (!srv_->init(start_err_)) {
            srv_.reset();
            return false;
        }
        setenv("CONFD_IPC_PORT", std::to_string(srv_->port()).c_str(), 1);
        th_ = std::thread([this] { srv_->run(); });
        return confd_load_schemas(nullptr, 0) == CONFD_OK;
    }
    void stop() {
        if (!srv_)
            return;
        srv_->stop();
        th_.join();
        srv_.reset();
    }
    // One command-line request; returns the status and fills text (reply or error).
    int cli(confd_wire::WireWriter &w, std::string *text = nullptr) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int rc = confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "test");
        std::vector<uint8_t> reply;
        if (rc == CONFD_OK)
            rc = confd_client::request(fd, w.finish(), reply);
        if (text) {
            confd_wire::WireReader r(reply.data(), reply.size());
            text->clear();
            if (rc != CONFD_OK)
                *text = confd_lasterr();
            else
                r.str(*text);
        }
        confd_client::forget_sock(fd);
        close(fd);
        return rc;
    }
    int load_xml(const std::string &xml, std::string *text = nullptr, bool replace = false) {
        confd_wire::WireWriter w(confd_wire::Op::CliEdit);
        w.u8(replace ? 1 : 0);
        w.u8(0);
        w.str(xml);
        return cli(w, text);
    }
    // Starts the database with `xml` as its whole configuration, committed while phase 0 holds
    // clients in cdb_wait_start: one reconnecting meanwhile subscribes only after the commit.
    int start_with(const std::string &xml, std::string *text) {
        if (!start(0))
            return CONFD_ERR;
        if (int rc = load_xml(xml, text, true); rc != CONFD_OK)
            return rc;
        confd_wire::WireWriter w(confd_wire::Op::CliPhase);
        w.i32(2);
        return cli(w, text);
    }
    int set(const std::string &path, const std::string &value = "", std::string *text = nullptr) {
        confd_wire::WireWriter w(confd_wire::Op::CliSet);
        w.str(path);
        w.str(value);
        return cli(w, text);
    }
    int del(const std::string &path, std::string *text = nullptr) {
        confd_wire::WireWriter w(confd_wire::Op::CliDelete);
        w.str(path);
        return cli(w, text);
    }
    std::string show(const std::string &path = "") {
        confd_wire::WireWriter w(confd_wire::Op::CliShow);
        w.str(path);
        w.u8(2);
        w.u8(0);
        std::string out;
        cli(w, &out);
        return out;
    }
    static int data_socket() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0), CONFD_OK) << confd_lasterr();
        return fd;
    }

    // Set by a derived fixture before SetUp: more test modules, changed server options.
    std::vector<std::string> extra_yang_;
    std::function<void(cdbd::ServerOptions &)> tune_;
    std::string dir_, yang_, db_, start_err_;
    std::unique_ptr<cdbd::CdbServer> srv_;
    std::thread th_;
};

}  // namespace cdbt
