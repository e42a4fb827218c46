// Schema tests of the router's YANG models: they load together, the example configurations
// validate, bad values are refused with a message naming the node, and the models agree with the
// daemon's own tables and tag constants.

#include <gtest/gtest.h>
#include <libyang/libyang.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/plx_confd_module.h"
#include "dpi/plx_dpi_family.h"
#include "oper/plx_show.h"
#include "platform/confd/confd_dp.h"
#include "policy/plx_confd_util.h"
#include "qconfd/plx_program_status.h"
#include "qconfd/qconfd_api.h"
#include "qconfd/qconfd_trap.h"

namespace {

constexpr const char *kModules[] = {"quorvel-policy",     "quorvel-vpn",   "quorvel-snmp",
                                    "quorvel-qconfd",     "quorvel-debug", "quorvel-policy-oper",
                                    "quorvel-plx-actions"};

std::string path_of(const lysc_node *node) {
    char *p = lysc_path(node, LYSC_PATH_LOG, nullptr, 0);
    std::string s = p ? p : "";
    std::free(p);
    return s;
}

// The value of the plx-ext:id-value instance written on the statement itself (instances that a
// `uses` or `augment` passes down carry another parent statement and are ignored).
std::optional<uint32_t> pinned_id(const lysc_ext_instance *exts, uint64_t stmt_mask) {
    std::optional<uint32_t> id;
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i) {
        const lysc_ext_instance &e = exts[i];
        if (std::strcmp(e.def->name, "id-value") != 0 ||
            std::strcmp(e.def->module->name, "plx-ext") != 0 || !(e.parent_stmt & stmt_mask)) {
            continue;
        }
        id = static_cast<uint32_t>(std::strtoul(e.argument, nullptr, 10));
    }
    return id;
}

// The argument of the plx-ext extension `ext` written on the node itself, or null.
const char *ext_argument(const lysc_node *node, const char *ext) {
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(node->exts, i) {
        const lysc_ext_instance &e = node->exts[i];
        if (std::strcmp(e.def->name, ext) == 0 && std::strcmp(e.def->module->name, "plx-ext") == 0)
            return e.argument;
    }
    return nullptr;
}

struct SchemaNode {
    std::string name;
    std::string path;
    std::optional<uint32_t> tag;
    const lysc_node *node;
};

class YangModels : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ly_log_options(LY_LOSTORE_LAST);  // keep the last error for the test, print nothing
        ASSERT_EQ(ly_ctx_new(PLX_YANG_DIR, LY_CTX_NO_YANGLIBRARY, &ctx_), LY_SUCCESS);
        for (const char *name : kModules) {
            ASSERT_NE(ly_ctx_load_module(ctx_, name, nullptr, nullptr), nullptr) << last_error();
        }
    }
    static void TearDownTestSuite() {
        ly_ctx_destroy(ctx_);
        ctx_ = nullptr;
    }

    static std::string last_error() {
        const ly_err_item *e = ly_err_last(ctx_);
        if (!e)
            return "";
        return std::string(e->msg ? e->msg : "") + " @ " + (e->path ? e->path : "");
    }

    struct Parsed {
        LY_ERR err = LY_SUCCESS;
        std::string error;
        lyd_node *tree = nullptr;
        ~Parsed() { lyd_free_all(tree); }
    };

    // Parses configuration as a commit would: strict, no state data, everything validated.
    static void parse_config(Parsed &out, std::string_view text, LYD_FORMAT format = LYD_XML) {
        ly_err_clean(ctx_, nullptr);
        const std::string copy(text);
        out.err = lyd_parse_data_mem(ctx_, copy.c_str(), format,
                                     LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0, &out.tree);
        out.error = last_error();
    }

    static std::vector<SchemaNode> all_nodes() {
        std::vector<SchemaNode> nodes;
        for (const char *name : kModules) {
            const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name);
            lysc_module_dfs_full(
                mod,
                [](lysc_node *node, void *data, ly_bool *) -> LY_ERR {
                    static_cast<std::vector<SchemaNode> *>(data)->push_back(
                        {node->name, path_of(node),
                         pinned_id(node->exts,
                                   LY_STMT_DATA_NODE_MASK | LY_STMT_OP_MASK | LY_STMT_NOTIFICATION),
                         node});
                    return LY_SUCCESS;
                },
                &nodes);
        }
        return nodes;
    }

    static const lysc_node *find(const char *path) { return lys_find_path(ctx_, nullptr, path, 0); }

    static ly_ctx *ctx_;
};

ly_ctx *YangModels::ctx_ = nullptr;

TEST_F(YangModels, ModulesCarryTheirNamespaceNumbers) {
    const std::map<std::string, std::optional<uint32_t>> expected = {
        {"quorvel-policy", PLX_NS_POLICY},    {"quorvel-vpn", PLX_NS_VPN},
        {"quorvel-snmp", 278916076u},         {"quorvel-qconfd", QCONFD_NS},
        {"quorvel-debug", std::nullopt},      {"quorvel-policy-oper", std::nullopt},
        {"quorvel-plx-actions", std::nullopt}};
    std::set<uint32_t> seen;
    for (const auto &[name, ns] : expected) {
        const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name.c_str());
        ASSERT_NE(mod, nullptr) << name;
        auto got = pinned_id(mod->compiled->exts, LY_STMT_MODULE);
        EXPECT_EQ(got, ns) << name;
        if (got) {
            EXPECT_TRUE(seen.insert(*got).second) << "namespace number reused by " << name;
        }
    }
    EXPECT_EQ(plx::confd::PLX_POLICY_NS, PLX_NS_POLICY);  // as the readers write it
}

// Tags as the readers, the notification code and the show provider compare them: every pinned
// node's tag is the code's constant of its name, and every constant is pinned somewhere. The
// show lists' own tags are checked with their callpoints below.
TEST_F(YangModels, PinnedTagsAreTheReadersNumbersAndUniquePerName) {
    namespace tag = plx::confd::tag;
    const std::map<std::string, uint32_t> tags = {
        {"app-visibility", tag::APP_VISIBILITY},
        {"flow-visibility", tag::FLOW_VISIBILITY},
        {"log-frequency", tag::LOG_FREQUENCY},
        {"direction", tag::DIRECTION},
        {"default-action", tag::DEFAULT_ACTION},
        {"sla-class", tag::SLA_CLASS},
        {"set", tag::SET},
        {"tloc-color-encap", tag::TLOC_COLOR_ENCAP},
        {"local-tloc-list", tag::LOCAL_TLOC_LIST},
        {"protocol", tag::PROTOCOL},
        {"source-port", tag::SOURCE_PORT},
        {"destination-port", tag::DESTINATION_PORT},
        {"source-ip", tag::SOURCE_IP},
        {"destination-ip", tag::DESTINATION_IP},
        {"source-data-prefix-list", tag::SOURCE_PFX_LIST},
        {"destination-data-prefix-list", tag::DESTINATION_PFX_LIST},
        {"dscp", tag::DSCP},
        {"tcp", tag::TCP},
        {"packet-length", tag::PACKET_LENGTH},
        {"plp", tag::PLP},
        {"dns", tag::DNS},
        {"app-list", tag::APP_LIST},
        {"dns-app-list", tag::DNS_APP_LIST},
        {"base-action", tag::BASE_ACTION},
        {"count", tag::COUNT},
        {"policer", tag::POLICER},
        {"mirror", tag::MIRROR},
        {"forwarding-class", tag::FORWARDING_CLASS},
        {"next-hop", tag::NEXT_HOP},
        {"redirect-dns", tag::REDIRECT_DNS},
        {"pool", tag::NAT_POOL},
        {"use-vpn", tag::NAT_USE_VPN},
        {"backup-preferred-color", tag::BACKUP_PREFERRED_COLOR},
        {"log", tag::LOG},
        {"fallback", tag::FALLBACK},
        {"tcp-optimization", tag::TCP_OPTIMIZATION},
        {"cflowd", tag::CFLOWD},
        {"restrict", tag::RESTRICT},
        {"sla", tag::SLA},
        {"strict", tag::STRICT},
        {"preferred-color", tag::PREFERRED_COLOR},
        {"ip", tag::TLOC_IP},
        {"color", tag::COLOR},
        {"encap", tag::ENCAP},
        {"label", tag::LABEL},
        {"tloc", tag::TLOC},
        {"tloc-list", tag::TLOC_LIST},
        {"local", tag::SERVICE_LOCAL},
        {"type", tag::SERVICE_TYPE},
        {"address", tag::PREF_ADDRESS},
        {"tloc-color", tag::PREF_COLOR},
        {"tloc-encap", tag::PREF_ENCAP},
        {"vpn-label", tag::PREF_LABEL},
        {"preference", tag::PREFERENCE},
        {"rate", tag::RATE},
        {"burst", tag::BURST},
        {"exceed", tag::EXCEED},
        {"source", tag::SOURCE},
        {"queue", tag::QUEUE},
        {"class", tag::CLASS},
        {"traffic-class", tag::TRAFFIC_CLASS},
        {"next-header", tag::NEXT_HEADER},
        {"acl-name", tag::ACL_NAME},
        {"level", QCONFD_TRAP_LEVEL_TAG},
        {"data-policy-association-status", PLX_NOTIF_DATA_POLICY_STATUS},
        {"access-list-association-status", PLX_NOTIF_ACCESS_LIST_STATUS},
        {"severity", PLX_NOTIF_SEVERITY},
        {"user", PLX_NOTIF_USER},
        {"user-address", PLX_NOTIF_USER_ADDRESS},
        {"access-list-name", PLX_NOTIF_ACCESS_LIST_NAME},
        {"vpn-list-name", PLX_NOTIF_VPN_LIST_NAME},
        {"policy-name", PLX_NOTIF_POLICY_NAME},
        {"status", PLX_NOTIF_STATUS},
        {"name", plx::show::TAG_NAME},
        {"counter-name", plx::show::TAG_COUNTER_NAME},
        {"packets", plx::show::TAG_PACKETS},
        {"bytes", plx::show::TAG_BYTES},
        {"policer-name", plx::show::TAG_POLICER_NAME},
        {"drops", plx::show::TAG_POLICER_DROPS},
        {"policer-bytes", plx::show::TAG_POLICER_BYTES},
        {"interface-name", plx::show::TAG_INTF_NAME},
        {"interface-direction", plx::show::TAG_INTF_DIRECTION},
        {"program-state", plx::show::TAG_PROGRAM_STATE},
        {"program-reason", plx::show::TAG_PROGRAM_REASON},
        {"filter-id", plx::show::TAG_FILTER_ID},
        {"program-bytes", plx::show::TAG_PROGRAM_BYTES},
        {"bound-to", plx::show::TAG_BOUND_TO},
        {"last-programmed", plx::show::TAG_LAST_PROGRAMMED},
    };

    std::map<std::string, std::set<std::optional<uint32_t>>> by_name;
    std::map<uint32_t, std::set<std::string>> by_tag;
    for (const SchemaNode &n : all_nodes()) {
        by_name[n.name].insert(n.tag);
        if (!n.tag)
            continue;
        by_tag[*n.tag].insert(n.name);
        if (ext_argument(n.node, "callpoint"))
            continue;  // a show list: its tag is checked with its callpoint
        auto it = tags.find(n.name);
        if (it == tags.end()) {
            ADD_FAILURE() << n.path << " is pinned but its name has no known tag";
        } else {
            EXPECT_EQ(*n.tag, it->second) << n.path;
        }
    }
    for (const auto &[name, values] : by_name) {
        EXPECT_EQ(values.size(), 1u) << "'" << name << "' is pinned in some places only, or twice";
    }
    for (const auto &[value, names] : by_tag) {
        EXPECT_EQ(names.size(), 1u) << "tag " << value << " pinned on several names";
    }
    for (const auto &[name, value] : tags) {
        EXPECT_TRUE(by_tag.count(value)) << name << " is never pinned";
    }
}

// Every row of the daemon's subscription table and of the layer's common table names a
// configuration node of the row's model with the row's key count.
TEST_F(YangModels, SubscribedPathsExistWithTheirKeyCounts) {
    std::map<uint32_t, std::string> module_of_ns;
    for (const char *name : kModules) {
        const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name);
        if (auto ns = pinned_id(mod->compiled->exts, LY_STMT_MODULE))
            module_of_ns[*ns] = name;
    }
    int rows = 0;
    for (const SubscriptionPoint *table :
         {plx_confd_subscriptions(), qconfd_common_subscriptions()})
        for (const SubscriptionPoint *row = table; row->path[0]; ++row) {
            if (row->flags & QCONFD_SUB_FLAG_OPER)
                continue;  // the debug switches: state data, see below
            ++rows;
            const std::string path = "/" + module_of_ns[row->ns] + ":" + row->path;
            const lysc_node *node = find(path.c_str());
            ASSERT_NE(node, nullptr) << path;
            unsigned keys = 0;
            for (const lysc_node *n = node; n; n = n->parent) {
                if (n->nodetype != LYS_LIST)
                    continue;
                for (const lysc_node *c = lysc_node_child(n); c && lysc_is_key(c); c = c->next)
                    ++keys;
            }
            EXPECT_EQ(keys, row->key_count) << path;
            EXPECT_TRUE(node->flags & LYS_CONFIG_W) << path;
        }
    EXPECT_EQ(rows, 37);

    // Key and value types the readers check.
    auto base = [&](const char *path) {
        const lysc_node *n = find(path);
        return n ? reinterpret_cast<const lysc_node_leaf *>(n)->type->basetype : LY_TYPE_UNKNOWN;
    };
    EXPECT_EQ(base("/quorvel-vpn:vpn/vpn-instance/id"), LY_TYPE_UINT64);
    EXPECT_EQ(base("/quorvel-policy:policy-from-qctrl/data-policy/vpn-list/sequence/id"),
              LY_TYPE_UINT16);
    EXPECT_EQ(base("/quorvel-policy:policy-from-qctrl/data-policy/vpn-list/sequence/action/set/"
                   "qrv-tloc-pref-list/index"),
              LY_TYPE_UINT32);
    EXPECT_EQ(base("/quorvel-policy:policy-from-qctrl/lists/vpn-list/vpn/id"), LY_TYPE_STRING);
    EXPECT_EQ(base("/quorvel-policy:policy/class-map/class/queue"), LY_TYPE_UINT8);
    EXPECT_EQ(base("/quorvel-policy:policy/log-frequency"), LY_TYPE_INT32);
    EXPECT_EQ(base("/quorvel-vpn:vpn/vpn-instance/interface/access-list/direction"), LY_TYPE_ENUM);
    EXPECT_NE(find("/quorvel-vpn:vpn/vpn-instance/interface/ipv6/access-list/acl-name"), nullptr);
}

// The app-family enumeration is the daemon's family table: each name carries its family id.
TEST_F(YangModels, ApplicationFamiliesAreNumberedByFamilyId) {
    for (const char *tree : {"policy", "policy-from-qctrl"}) {
        const std::string path =
            std::string("/quorvel-policy:") + tree + "/lists/app-list/app-family/name";
        const lysc_node *n = find(path.c_str());
        ASSERT_NE(n, nullptr) << path;
        const auto *en = reinterpret_cast<const lysc_type_enum *>(
            reinterpret_cast<const lysc_node_leaf *>(n)->type);
        ASSERT_EQ(LY_ARRAY_COUNT(en->enums), PLX_APP_FAMILY_MAX - 1);
        for (uint32_t id = 1; id < PLX_APP_FAMILY_MAX; ++id) {
            EXPECT_STREQ(en->enums[id - 1].name, plx_app_family_get(id).config_name);
            EXPECT_EQ(en->enums[id - 1].value, static_cast<int32_t>(id));
        }
    }
}

// The examples validate against the models and the database in yang_refusals_test; here the JSON
// example is the XML one in the other encoding.
TEST_F(YangModels, JsonExampleIsTheXmlOne) {
    lyd_node *xml = nullptr, *json = nullptr;
    ASSERT_EQ(lyd_parse_data_path(ctx_, PLX_EXAMPLES_DIR "/router-config.xml", LYD_XML,
                                  LYD_PARSE_STRICT, 0, &xml),
              LY_SUCCESS);
    ASSERT_EQ(lyd_parse_data_path(ctx_, PLX_EXAMPLES_DIR "/router-config.json", LYD_JSON,
                                  LYD_PARSE_STRICT, 0, &json),
              LY_SUCCESS);
    EXPECT_EQ(lyd_compare_siblings(xml, json, LYD_COMPARE_FULL_RECURSION), LY_SUCCESS);
    lyd_free_all(xml);
    lyd_free_all(json);
}

// Constraints the daemon relies on, each broken in one place: the commit must be refused with a
// message that names that place. (Plain type ranges are the models' own text; the refusals that
// reach an operator through the database are checked in yang_refusals_test.)
TEST_F(YangModels, BadCommitsAreRefusedNamingTheNode) {
    const std::string pol = R"(<policy xmlns="urn:quorvel:yang:policy">)";
    const std::string ctl = R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy">)";
    struct Case {
        std::string what, text, names;
    };
    const Case cases[] = {
        {"binding to an access list that does not exist",
         R"(<vpn xmlns="urn:quorvel:yang:vpn"><vpn-instance><id>1</id><interface>)"
         "<if-name>ge0/1</if-name><access-list><direction>in</direction><acl-name>nope</acl-name>"
         "</access-list></interface></vpn-instance></vpn>",
         "acl-name"},
        {"data policy on an unknown VPN list",
         ctl + "<data-policy><name>p</name><vpn-list><name>none</name></vpn-list></data-policy>" +
             "</policy-from-qctrl>",
         "vpn-list"},
        {"VPN range that ends below its start",
         ctl + "<lists><vpn-list><name>v</name><vpn><id>30-20</id></vpn></vpn-list></lists>" +
             "</policy-from-qctrl>",
         "vpn"},
        {"reserved forwarding-class name",
         pol + "<class-map><class><name>__control_fc</name></class></class-map></policy>", "name"},
        {"eighth SLA class",
         ctl + "<sla-class><name>s1</name></sla-class><sla-class><name>s2</name></sla-class>"
               "<sla-class><name>s3</name></sla-class><sla-class><name>s4</name></sla-class>"
               "<sla-class><name>s5</name></sla-class><sla-class><name>s6</name></sla-class>"
               "<sla-class><name>s7</name></sla-class><sla-class><name>s8</name></sla-class>"
               "</policy-from-qctrl>",
         "sla-class"},
        {"unknown application",
         pol + "<lists><app-list><name>a</name><app><name>no-such-app</name></app></app-list>"
               "</lists></policy>",
         "name"},
        {"application list holding applications and families",
         pol + "<lists><app-list><name>a</name><app><name>http</name></app>"
               "<app-family><name>web</name></app-family></app-list></lists></policy>",
         "app"},
    };
    for (const Case &c : cases) {
        Parsed p;
        parse_config(p, c.text);
        EXPECT_NE(p.err, LY_SUCCESS) << c.what;
        EXPECT_NE(p.error.find(c.names), std::string::npos)
            << c.what << ": error does not name '" << c.names << "': " << p.error;
    }
}

// Lists that take a filter of the forwarding plane each stop at what it holds.
TEST_F(YangModels, AccessListsStopAtTheFilterCount) {
    for (int count : {256, 257}) {
        std::string text = R"(<policy xmlns="urn:quorvel:yang:policy">)";
        for (int i = 0; i < count; ++i)
            text += "<access-list><name>a" + std::to_string(i) + "</name></access-list>";
        Parsed p;
        parse_config(p, text + "</policy>");
        EXPECT_EQ(p.err == LY_SUCCESS, count == 256) << count << ": " << p.error;
        if (count == 257) {
            EXPECT_NE(p.error.find("access-list"), std::string::npos) << p.error;
        }
    }
}

// Every callpoint the show provider registers stands on exactly one state list, whose tag is the
// one the provider finds that list's keys by; the model has no other callpoint. The leaves the
// provider fills by position are checked through the database by the show tests.
TEST_F(YangModels, ShowListsCarryTheProvidersCallpointsAndTags) {
    std::map<std::string, std::vector<const lysc_node *>> by_callpoint;
    for (const SchemaNode &n : all_nodes()) {
        if (const char *cp = ext_argument(n.node, "callpoint"))
            by_callpoint[cp].push_back(n.node);
    }
    const std::vector<plx::show::ListCallpoint> callpoints = plx_show_callpoints();
    EXPECT_EQ(by_callpoint.size(), callpoints.size());
    for (const plx::show::ListCallpoint &c : callpoints) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(by_callpoint[c.name].size(), 1u);
        const lysc_node *list = by_callpoint[c.name][0];
        EXPECT_EQ(list->nodetype, LYS_LIST);
        EXPECT_TRUE(list->flags & LYS_CONFIG_R);
        EXPECT_EQ(pinned_id(list->exts, LY_STMT_LIST), c.list_tag);
    }
    // The enumerations whose values the provider replies with.
    auto enums = [&](const char *path) {
        std::vector<std::pair<std::string, int32_t>> out;
        const lysc_node *n = find(path);
        if (!n)
            return out;
        const auto *en = reinterpret_cast<const lysc_type_enum *>(
            reinterpret_cast<const lysc_node_leaf *>(n)->type);
        for (LY_ARRAY_COUNT_TYPE i = 0; i < LY_ARRAY_COUNT(en->enums); ++i)
            out.emplace_back(en->enums[i].name, en->enums[i].value);
        return out;
    };
    const std::string oper = "/quorvel-policy-oper:policy-oper/";
    const auto states =
        enums((oper + "data-policy-filters/data-policy-vpnlist/program-state").c_str());
    ASSERT_EQ(states.size(), 4u);
    for (int32_t v = 0; v < 4; ++v)
        EXPECT_EQ(states[v].second, v);
    EXPECT_EQ(states[3].first, "refused");
    using Enums = std::vector<std::pair<std::string, int32_t>>;
    EXPECT_EQ(enums((oper + "access-list/access-list-associations/access-policy-interface-list/"
                            "interface-direction")
                        .c_str()),
              (Enums{{"in", 0}, {"out", 1}}));
}

// The model's action points are the daemon's action table, in row order. The four clear commands
// take the optional name, whose tag is the show lists' name tag; every other command takes nothing.
TEST_F(YangModels, ActionPointsAreOperatorCommandsInTableOrder) {
    std::vector<std::string> table;
    for (const confd_action_cbs *a = plx_confd_actions(); a->actionpoint[0]; ++a)
        table.push_back(a->actionpoint);
    const std::set<std::string> clears = {"plx_clear_policy_acl", "plx_clear_policy_acl6",
                                          "plx_clear_data_policy", "plx_clear_app_route_policy"};
    std::vector<std::string> found;
    for (const SchemaNode &n : all_nodes()) {
        const char *ap = ext_argument(n.node, "actionpoint");
        if (!ap)
            continue;
        found.push_back(ap);
        SCOPED_TRACE(ap);
        ASSERT_TRUE(n.node->nodetype & (LYS_ACTION | LYS_RPC)) << n.path;
        const lysc_node *in =
            lysc_node_child(&reinterpret_cast<const lysc_node_action *>(n.node)->input.node);
        if (!clears.count(ap)) {
            EXPECT_EQ(in, nullptr) << n.path << " takes parameters";
            continue;
        }
        ASSERT_NE(in, nullptr) << n.path;
        EXPECT_STREQ(in->name, "name");
        EXPECT_EQ(pinned_id(in->exts, LY_STMT_LEAF), 1998270519u);
        EXPECT_EQ(reinterpret_cast<const lysc_node_leaf *>(in)->type->basetype, LY_TYPE_STRING);
        EXPECT_FALSE(in->flags & LYS_MAND_TRUE);
        EXPECT_EQ(in->next, nullptr);
    }
    EXPECT_EQ(found, table);
}

// The programming notifications are sent as tagged values in this order; the database takes them
// in schema order, so the children must stand in the same order.
TEST_F(YangModels, ProgrammingNotificationsHoldTheirValuesInSendOrder) {
    const std::map<std::string, std::vector<std::string>> expected = {
        {"data-policy-association-status",
         {"severity", "user", "user-address", "vpn-list-name", "policy-name", "status"}},
        {"access-list-association-status",
         {"severity", "user", "user-address", "access-list-name", "status"}},
    };
    const lys_module *mod = ly_ctx_get_module_implemented(ctx_, "quorvel-policy");
    std::map<std::string, std::vector<std::string>> got;
    for (const lysc_node_notif *n = mod->compiled->notifs; n;
         n = reinterpret_cast<const lysc_node_notif *>(n->next)) {
        for (const lysc_node *c = n->child; c; c = c->next)
            got[n->name].push_back(c->name);
    }
    EXPECT_EQ(got, expected);
}

}  // namespace
