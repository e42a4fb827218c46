// cdbd-testd: a small daemon for trying the database's daemon interface by hand against the
// router's models. It serves the data-policy show lists (callpoints "data-policy-filters" and
// "data-policy-vpnlist") from a fixed model, the "plx_dump_policy" command (printing the model
// to the operator's session), and sends one data-policy programming notification, also as an
// SNMP notification to a notify name, when asked.
//
//     cdbd-testd [--notify GROUP]
//     cdbcli show /policy-oper/data-policy-filters
//     cdbcli request /plx/dump/policy
//     cdbcli notifications
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/confd/confd_dp.h"
#include "platform/confd/confd_maapi.h"

namespace {

// Tags and namespace the policy manager's show lists and notification carry.
constexpr uint32_t kNameTag = 1998270519;
constexpr uint32_t kDataPolicyList = 1764738034;
constexpr uint32_t kPolicyNs = 627311236;
constexpr uint32_t kDpStatus = 1944655528;
constexpr uint32_t kSeverity = 418582328;
constexpr uint32_t kVpnListName = 1644036174;
constexpr uint32_t kPolicyName = 248830179;
constexpr uint32_t kStatus = 1950810920;

const std::map<std::string, std::vector<std::string>> kModel = {
    {"dp-corp", {"corp-vpns", "lab-vpns"}}, {"dp-guest", {"guest-vpns"}}};

int g_worker = -1, g_maapi = -1;
volatile sig_atomic_t g_stop = 0;

// The key of the list entry under the list whose tag is given (leaf-most first key path).
std::string parent_key(const confd_hkeypath_t *kp, uint32_t list_tag) {
    for (int i = kp->len - 1; i > 0; --i)
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == list_tag &&
            kp->v[i - 1][0].type == C_BUF)
            return std::string(CONFD_GET_CBUFPTR(&kp->v[i - 1][0]),
                               CONFD_GET_BUFSIZE(&kp->v[i - 1][0]));
    return "";
}

// The names of the list the key path reads: policies, or one policy's VPN lists.
const std::vector<std::string> *names(const confd_hkeypath_t *kp, bool vpnlists) {
    static std::vector<std::string> policies;
    if (!vpnlists) {
        policies.clear();
        for (const auto &[p, v] : kModel)
            policies.push_back(p);
        return &policies;
    }
    auto it = kModel.find(parent_key(kp, kDataPolicyList));
    return it == kModel.end() ? nullptr : &it->second;
}

int reply_name(confd_trans_ctx *t, const std::string &name, bool next) {
    confd_tag_value_t tv;
    confd_value_t v;
    CONFD_SET_BUF(&v, name.c_str(), name.size());
    CONFD_SET_TAG_VALUE(&tv, kNameTag, &v);
    return next ? confd_data_reply_next_object_tag_value_array(t, &tv, 1, -1)
                : confd_data_reply_tag_value_array(t, &tv, 1);
}

template <bool VpnLists>
int get_object(confd_trans_ctx *t, confd_hkeypath_t *kp) {
    const auto *n = names(kp, VpnLists);
    const std::string key(CONFD_GET_CBUFPTR(&kp->v[0][0]), CONFD_GET_BUFSIZE(&kp->v[0][0]));
    if (!n || std::find(n->begin(), n->end(), key) == n->end())
        return confd_data_reply_not_found(t);
    return reply_name(t, key, false);
}

template <bool VpnLists>
int get_next_object(confd_trans_ctx *t, confd_hkeypath_t *kp, long next) {
    const auto *n = names(kp, VpnLists);
    if (!n)
        return confd_data_reply_not_found(t);
    if (next != -1 || n->empty())
        return confd_data_reply_next_key(t, nullptr, -1, -1);
    return reply_name(t, n->front(), true);
}

template <bool VpnLists>
int find_next_object(confd_trans_ctx *t, confd_hkeypath_t *kp, confd_find_next_type type,
                     confd_value_t *keys, int nkeys) {
    const auto *n = names(kp, VpnLists);
    if (!n)
        return confd_data_reply_not_found(t);
    const std::string key =
        nkeys ? std::string(CONFD_GET_CBUFPTR(&keys[0]), CONFD_GET_BUFSIZE(&keys[0])) : "";
    for (const auto &name : *n)
        if (!nkeys || name > key || (type == CONFD_FIND_SAME_OR_NEXT && name == key))
            return reply_name(t, name, true);
    return confd_data_reply_next_key(t, nullptr, -1, -1);
}

int dump_policy(confd_user_info *u, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int) {
    maapi_cli_printf(g_maapi, u->usid, "Policy database: %zu data policies\n", kModel.size());
    for (const auto &[p, lists] : kModel) {
        maapi_cli_printf(g_maapi, u->usid, "  policy %s type data\n", p.c_str());
        for (const auto &l : lists)
            maapi_cli_printf(g_maapi, u->usid, "    vpn-list %s\n", l.c_str());
    }
    return CONFD_OK;
}

int notify(confd_notification_ctx *stream, confd_notification_ctx *snmp, const char *group) {
    confd_tag_value_t tv[6];
    confd_value_t v;
    CONFD_SET_TAG_XMLBEGIN(&tv[0], kDpStatus, kPolicyNs);
    CONFD_SET_ENUM_VALUE(&v, 2);
    CONFD_SET_TAG_VALUE(&tv[1], kSeverity, &v);
    CONFD_SET_BUF(&v, "corp-vpns", 9);
    CONFD_SET_TAG_VALUE(&tv[2], kVpnListName, &v);
    CONFD_SET_BUF(&v, "dp-corp", 7);
    CONFD_SET_TAG_VALUE(&tv[3], kPolicyName, &v);
    CONFD_SET_BUF(&v, "Success", 7);
    CONFD_SET_TAG_VALUE(&tv[4], kStatus, &v);
    CONFD_SET_TAG_XMLEND(&tv[5], kDpStatus, kPolicyNs);
    if (confd_notification_send(stream, nullptr, tv, 6) != CONFD_OK)
        return CONFD_ERR;
    confd_snmp_varbind vb[3]{};
    const char *vars[3][2] = {{"quorvelPolicyName", "dp-corp"},
                              {"quorvelPolicyVpnListName", "corp-vpns"},
                              {"quorvelPolicyStatus", "Success"}};
    for (int i = 0; i < 3; ++i) {
        vb[i].type = CONFD_SNMP_VARIABLE;
        snprintf(vb[i].var.name, sizeof vb[i].var.name, "%s", vars[i][0]);
        CONFD_SET_BUF(&vb[i].val, vars[i][1], strlen(vars[i][1]));
    }
    confd_notification_set_snmp_notify_name(snmp, group);
    return confd_notification_send_snmp(snmp, "quorvelPolicyDataPolicyAssociationStatus", vb, 3);
}

int fail(const char *what) {
    fprintf(stderr, "cdbd-testd: %s: %s\n", what, confd_lasterr());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const char *group = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--notify") && i + 1 < argc) {
            group = argv[++i];
        } else {
            fprintf(stderr, "usage: cdbd-testd [--notify GROUP]\n");
            return 2;
        }
    }
    signal(SIGINT, [](int) { g_stop = 1; });
    signal(SIGTERM, [](int) { g_stop = 1; });
    confd_init("cdbd-testd", stderr, CONFD_SILENT);
    confd_daemon_ctx *dx = confd_init_daemon("cdbd-testd");
    const int ctl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    g_worker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    g_maapi = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (confd_connect(dx, ctl, CONTROL_SOCKET, nullptr, 0) != CONFD_OK ||
        confd_connect(dx, g_worker, WORKER_SOCKET, nullptr, 0) != CONFD_OK ||
        maapi_connect(g_maapi, nullptr, 0) != CONFD_OK)
        return fail("cannot connect");
    confd_trans_cbs tcb{};
    tcb.init = [](confd_trans_ctx *t) { return confd_trans_set_fd(t, g_worker); };
    confd_action_cbs acb{};
    snprintf(acb.actionpoint, sizeof acb.actionpoint, "plx_dump_policy");
    acb.init = [](confd_user_info *u) { return confd_action_set_fd(u, g_worker); };
    acb.action = dump_policy;
    confd_data_cbs policies{}, vpnlists{};
    snprintf(policies.callpoint, sizeof policies.callpoint, "data-policy-filters");
    policies.get_object = get_object<false>;
    policies.get_next_object = get_next_object<false>;
    policies.find_next_object = find_next_object<false>;
    snprintf(vpnlists.callpoint, sizeof vpnlists.callpoint, "data-policy-vpnlist");
    vpnlists.get_object = get_object<true>;
    vpnlists.get_next_object = get_next_object<true>;
    vpnlists.find_next_object = find_next_object<true>;
    confd_notification_stream_cbs ncb{};
    snprintf(ncb.streamname, sizeof ncb.streamname, "quorvel");
    ncb.fd = g_worker;
    confd_notification_ctx *stream = nullptr, *snmp = nullptr;
    if (confd_register_trans_cb(dx, &tcb) != CONFD_OK ||
        confd_register_action_cbs(dx, &acb) != CONFD_OK ||
        confd_register_data_cb(dx, &policies) != CONFD_OK ||
        confd_register_data_cb(dx, &vpnlists) != CONFD_OK ||
        confd_register_notification_stream(dx, &ncb, &stream) != CONFD_OK ||
        confd_register_snmp_notification(dx, g_worker, "quorvel_snmpv2_trap", "", &snmp) !=
            CONFD_OK ||
        confd_register_done(dx) != CONFD_OK)
        return fail("cannot register");
    if (group && notify(stream, snmp, group) != CONFD_OK)
        return fail("cannot send the notification");
    fprintf(stderr, "cdbd-testd: serving\n");
    int rc = 0;
    while (!g_stop) {
        pollfd p[2] = {{ctl, POLLIN, 0}, {g_worker, POLLIN, 0}};
        if (poll(p, 2, 200) <= 0)
            continue;
        for (auto &x : p) {
            if (!(x.revents & (POLLIN | POLLHUP)))
                continue;
            int r = confd_fd_ready(dx, x.fd);
            if (r == CONFD_EOF) {
                fprintf(stderr, "cdbd-testd: the database closed the connection\n");
                g_stop = 1;
                rc = 1;
                break;
            }
            if (r != CONFD_OK)
                fprintf(stderr, "cdbd-testd: %s\n", confd_lasterr());
        }
    }
    confd_release_daemon(dx);
    maapi_close(g_maapi);
    close(ctl);
    close(g_worker);
    return rc;
}
