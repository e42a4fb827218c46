// A real configuration database loaded with the router's models, and a daemon registered on
// it with the notification stream "quorvel" and the SNMP notification, whose contexts a
// QconfdContext carries as the connection would hand them over.
#pragma once

#include <fstream>

#include "common/plx_log.h"
#include "platform/confd/confd_dp.h"
#include "qconfd/qconfd_api.h"
#include "tests/peers/cdbd/cdbd_fixture.h"

class QconfdEnv : public cdbt::CdbFixture {
  protected:
    // Set before SetUp: the server's SNMP target lines.
    std::string snmp_targets_;

    QconfdEnv() {
        tune_ = [this](cdbd::ServerOptions &o) {
            o.yang_dir = std::string(PLX_YANG_MODELS_DIR);
            if (!snmp_targets_.empty()) {
                o.snmp_config = dir_ + "/snmp-targets.conf";
                std::ofstream(o.snmp_config) << snmp_targets_;
            }
        };
    }

    void SetUp() override {
        CdbFixture::SetUp();
        if (HasFatalFailure())
            return;
        dx_ = confd_init_daemon("plxd");
        ASSERT_NE(dx_, nullptr);
        ctl_ = socket(AF_INET, SOCK_STREAM, 0);
        worker_ = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(confd_connect(dx_, ctl_, CONTROL_SOCKET, nullptr, 0), CONFD_OK);
        ASSERT_EQ(confd_connect(dx_, worker_, WORKER_SOCKET, nullptr, 0), CONFD_OK);
        confd_notification_stream_cbs stream{};
        snprintf(stream.streamname, sizeof stream.streamname, "quorvel");
        stream.fd = worker_;
        ASSERT_EQ(confd_register_notification_stream(dx_, &stream, &notif_), CONFD_OK);
        ASSERT_EQ(confd_register_snmp_notification(dx_, worker_, "quorvel_snmpv2_trap", "", &snmp_),
                  CONFD_OK);
        ASSERT_EQ(confd_register_done(dx_), CONFD_OK);

        ctx_.spec.notif_ctx = &notif_;
        ctx_.spec.snmp_ctx = &snmp_;
        ctx_.spec.module_id = 9;
        ctx_.data_sock = data_socket();
    }

    void TearDown() override {
        if (ctx_.data_sock > 0)
            cdb_close(ctx_.data_sock);
        if (dx_) {
            confd_release_daemon(dx_);
            close(ctl_);
            close(worker_);
        }
        CdbFixture::TearDown();
    }

    // Notifications the server has received whose text holds `mark`, oldest first.
    std::vector<std::string> received(const std::string &mark = "") const {
        std::vector<std::string> out;
        for (const auto &n : srv_->notifications())
            if (n.text.find(mark) != std::string::npos)
                out.push_back(n.text);
        return out;
    }

    confd_daemon_ctx *dx_ = nullptr;
    int ctl_ = -1, worker_ = -1;
    confd_notification_ctx *notif_ = nullptr, *snmp_ = nullptr;
    QconfdContext ctx_{};
};
