// The policy readers against a real cdbd: each kind of element created, changed and deleted,
// the model checked after every commit, and the cases that once stopped the daemon.
#include <fstream>
#include <sstream>

#include "policy/plx_confd_util.h"
#include "tests/policy/reader_fixture.h"

using namespace plx::cfg;
using rt::policy_xml;
using rt::qctrl_xml;

namespace {

std::string read_file(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

const char *kLists = R"(
  <lists>
    <vpn-list><name>corp</name><vpn><id>10</id></vpn><vpn><id>20-29</id></vpn></vpn-list>
    <data-prefix-list><name>srv</name>
      <ip-prefix><prefix>10.1.0.0/16</prefix></ip-prefix>
      <ip-prefix><prefix>10.2.3.0/24</prefix></ip-prefix></data-prefix-list>
  </lists>
  <policer><name>p1</name><rate>1000000</rate><burst>20000</burst></policer>)";

std::vector<std::pair<uint32_t, uint32_t>> conds(const rule &r) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const match_cond &c : r.matches)
        out.emplace_back(c.field_type, c.low);
    return out;
}

std::vector<uint32_t> action_types(const rule &r) {
    std::vector<uint32_t> out;
    for (const config_action &a : r.actions)
        out.push_back(a.action_type);
    return out;
}

class PolicyReaders : public rt::ReaderTest {};

TEST_F(PolicyReaders, ExampleConfigurationReadsIntoEveryDatabaseAndReplaceEmptiesThem) {
    commit(read_file(std::string(PLX_SOURCE_DIR) + "/examples/router-config.xml"));
    std::string d = plxd_->dumps();
    for (const char *want :
         {"Policy: ", "VPN list: ", "Prefix list: mgmt-hosts", "span-lan type: 3",
          "Name: -1.guest-10m", "voice class: 1", "ACL: lan-in", "bittorrent"})
        EXPECT_NE(d.find(want), std::string::npos) << want << "\n" << d;
    EXPECT_EQ(d, scratch_dumps());

    // The replace leaves the models as a daemon that never read anything holds them: the
    // built-in classes only.
    commit(read_file(std::string(PLX_SOURCE_DIR) + "/examples/default-config.xml"), true);
    EXPECT_EQ(plxd_->dumps(), rt::Plxd().dumps());
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());
}

TEST_F(PolicyReaders, DataPolicySequenceIsBuiltChangedAndDeleted) {
    const std::string seq_v1 = R"(<sequence><id>10</id>
            <match><protocol>6</protocol><protocol>17</protocol>
              <source-port>10-20</source-port><source-port>80</source-port>
              <destination-data-prefix-list>srv</destination-data-prefix-list>
              <dscp>46</dscp></match>
            <action><base-action>accept</base-action><count>c1</count><log/><cflowd/>
              <policer>p1</policer>
              <set><dscp>10</dscp><tloc><ip>1.1.1.1</ip><color>gold</color><label>7</label></tloc>
              </set></action></sequence>)";
    auto config = [&](const std::string &dir, const std::string &seq) {
        return qctrl_xml(std::string(kLists) + "<data-policy><name>dp</name><direction>" + dir +
                         "</direction><vpn-list><name>corp</name>"
                         "<default-action>reject</default-action>" +
                         seq + "</vpn-list></data-policy>");
    };
    commit(config("from-site", seq_v1));
    policy *p = plx_config_policy_find(&db(), PLX_POLICY_TYPE_DATA, "dp");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->direction, 1u);
    rule *r = plx_config_rule_find(&db(), PLX_POLICY_TYPE_DATA, "dp", "corp", 10);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(p->vpn_lists.first()->default_action.value, PLX_ACTION_VERB_REJECT);
    auto c = conds(*r);
    auto count_of = [&](uint32_t t) {
        return std::count_if(c.begin(), c.end(), [&](auto &x) { return x.first == t; });
    };
    EXPECT_EQ(count_of(PLX_MATCH_PROTOCOL), 2);
    EXPECT_EQ(count_of(PLX_MATCH_DST_ADDR), 2);
    EXPECT_EQ(count_of(PLX_MATCH_DSCP), 1);
    int ports = 0;
    for (const match_cond &m : r->matches)
        if (m.field_type == PLX_MATCH_SRC_PORT)
            ports += (m.low == 10 && m.high == 20) || (m.low == 80 && m.high == 80);
    EXPECT_EQ(ports, 2);
    // Actions in the order the configuration holds them (they fill the slots in it).
    auto types = action_types(*r);
    EXPECT_EQ(types, (std::vector<uint32_t>{PLX_ACTION_BASE, PLX_ACTION_COUNT, PLX_ACTION_LOG,
                                            PLX_ACTION_CFLOWD, PLX_ACTION_POLICE,
                                            PLX_ACTION_SET_DSCP, PLX_ACTION_SET_TLOC}));
    ASSERT_NE(plx_config_tloc_find(&db(), tloc_key_v4(htonl(0x01010101), 11, 2)), nullptr);

    // Only the label of the TLOC is configured differently, the policer and the DSCP match go:
    // the TLOC keeps its other parts, the policer its instance count.
    commit(config("all", R"(<sequence><id>10</id>
            <match><protocol>6</protocol><protocol>17</protocol>
              <source-port>10-20</source-port><source-port>80</source-port>
              <destination-data-prefix-list>srv</destination-data-prefix-list></match>
            <action><base-action>accept</base-action><count>c1</count>
              <set><dscp>10</dscp><tloc><ip>1.1.1.1</ip><color>gold</color><label>8</label></tloc>
              </set></action></sequence>)"));
    r = plx_config_rule_find(&db(), PLX_POLICY_TYPE_DATA, "dp", "corp", 10);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(p->direction, 3u);
    const config_action *tl = nullptr;
    for (const config_action &a : r->actions)
        if (a.action_type == PLX_ACTION_SET_TLOC)
            tl = &a;
    ASSERT_NE(tl, nullptr);
    EXPECT_EQ(tl->set_tloc.label, 8u);
    EXPECT_EQ(tl->set_tloc.p_tloc->key.color, 11);
    types = action_types(*r);
    EXPECT_EQ(std::count(types.begin(), types.end(), PLX_ACTION_POLICE), 0);
    c = conds(*r);
    EXPECT_EQ(count_of(PLX_MATCH_DSCP), 0);
    EXPECT_TRUE(plx_config_policer_find(&db(), "p1", PLX_POLICER_OWNER_QCTRL)->instances.empty());
    EXPECT_EQ(db().tlocs.count(), 1u);
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());

    // The policy goes: nothing is left of it in the lists it used, nor the TLOC it named.
    commit(qctrl_xml(kLists));
    EXPECT_TRUE(db().policies.empty());
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());
}

TEST_F(PolicyReaders, AppRouteSequenceWithoutSlaLeafGetsAllTunnels) {
    const std::string ar = R"(
      <app-route-policy><name>ar</name><vpn-list><name>corp</name><sla-class>gold</sla-class>
        <sequence><id>5</id><action><count>x</count></action></sequence>
        <sequence><id>6</id><action><sla><sla-class>gold</sla-class><strict>true</strict>
          </sla></action></sequence>
      </vpn-list></app-route-policy>)";
    commit(qctrl_xml(std::string(kLists) + "<sla-class><name>gold</name></sla-class>" + ar));
    rule *r5 = plx_config_rule_find(&db(), PLX_POLICY_TYPE_PFR, "ar", "corp", 5);
    rule *r6 = plx_config_rule_find(&db(), PLX_POLICY_TYPE_PFR, "ar", "corp", 6);
    ASSERT_TRUE(r5 && r6);
    auto sla_of = [](rule *r) -> const config_action * {
        for (const config_action &a : r->actions)
            if (a.action_type == PLX_ACTION_SLA_CLASS)
                return &a;
        return nullptr;
    };
    ASSERT_NE(sla_of(r5), nullptr);
    EXPECT_EQ(sla_of(r5)->sla.name.view(), PLX_SLA_ALL_TUNNELS);
    EXPECT_EQ(sla_of(r5)->sla.strict, 0);
    ASSERT_NE(sla_of(r6), nullptr);
    EXPECT_EQ(sla_of(r6)->sla.strict, 1);
    EXPECT_NE(sla_of(r6)->sla.id, 0);
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());
}

TEST_F(PolicyReaders, ListsAndSwitchesFollowTheirConfiguration) {
    commit(qctrl_xml(kLists) + policy_xml(R"(<app-visibility>true</app-visibility>
        <log-frequency>3000</log-frequency>
        <mirror><name>m</name><interface><name>ge0/1</name></interface></mirror>)"));
    EXPECT_EQ(db().app_visibility, 1u);
    EXPECT_EQ(db().dpi_ref_count, 1u);
    EXPECT_EQ(db().log_frequency, 2048u);
    EXPECT_EQ(plx_config_vpn_list_find(&db(), "corp")->ranges.count(), 2u);
    EXPECT_EQ(plx_config_mirror_find(&db(), "m")->data.kind, 1u);

    commit(qctrl_xml(R"(<lists>
        <vpn-list><name>corp</name><vpn><id>20-29</id></vpn></vpn-list>
        <data-prefix-list><name>srv</name>
          <ip-prefix><prefix>10.1.0.0/16</prefix></ip-prefix></data-prefix-list></lists>
        <policer><name>p1</name><rate>5000</rate><burst>20000</burst></policer>)") +
           policy_xml(R"(<mirror><name>m</name><interface><name>ge0/1</name></interface>
        <remote-dest><destination>10.0.0.9</destination><source>10.0.0.1</source></remote-dest>
        </mirror>)"));
    EXPECT_EQ(db().app_visibility, 0u);
    EXPECT_EQ(db().dpi_ref_count, 0u);
    EXPECT_EQ(db().log_frequency, 512u);
    EXPECT_EQ(plx_config_vpn_list_find(&db(), "corp")->ranges.count(), 1u);
    EXPECT_EQ(db().pfx_lists.first()->prefixes.count(), 1u);
    EXPECT_EQ(plx_config_policer_find(&db(), "p1", PLX_POLICER_OWNER_QCTRL)->params.rate, 5000u);
    EXPECT_EQ(plx_config_mirror_find(&db(), "m")->data.kind, 3u);

    // Whole lists go with their entries in one commit.
    commit(policy_xml(""));
    EXPECT_TRUE(db().vpn_lists.empty());
    EXPECT_TRUE(db().pfx_lists.empty());
    EXPECT_TRUE(db().mirrors.empty());
    EXPECT_TRUE(db().policers.empty());
}

// Regression: deleting a device prefix list that an access-list sequence is repointed away from
// in the same commit was refused (22) and stopped the daemon.
TEST_F(PolicyReaders, RepointAccessListSequenceAndDeleteOldListInOneCommit) {
    commit(policy_xml(R"(<lists>
        <data-prefix-list><name>A</name><ip-prefix><prefix>10.0.0.0/8</prefix></ip-prefix>
        </data-prefix-list>
        <data-prefix-list><name>B</name><ip-prefix><prefix>11.0.0.0/8</prefix></ip-prefix>
        </data-prefix-list></lists>
        <mirror><name>mA</name></mirror><mirror><name>mB</name></mirror>
        <policer><name>pA</name><rate>8000</rate><burst>15000</burst></policer>
        <policer><name>pB</name><rate>8000</rate><burst>15000</burst></policer>
        <access-list><name>acl</name><sequence><id>1</id>
          <match><source-data-prefix-list>A</source-data-prefix-list></match>
          <action><mirror>mA</mirror><policer>pA</policer></action>
        </sequence></access-list>)"));
    commit(policy_xml(R"(<lists>
        <data-prefix-list><name>B</name><ip-prefix><prefix>11.0.0.0/8</prefix></ip-prefix>
        </data-prefix-list></lists>
        <mirror><name>mB</name></mirror>
        <policer><name>pB</name><rate>8000</rate><burst>15000</burst></policer>
        <access-list><name>acl</name><sequence><id>1</id>
          <match><source-data-prefix-list>B</source-data-prefix-list></match>
          <action><mirror>mB</mirror><policer>pB</policer></action>
        </sequence></access-list>)"));
    rule *r = plx_intf_config_rule_find(&acl(), "acl", PLX_ACL_FAMILY_IPV4, 1);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->matches.count(), 2u);  // MATCH_ANY and B's one prefix
    EXPECT_EQ(r->matches.last()->list_name.view(), "B");
    EXPECT_EQ(plx_config_pfx_list_find(&db(), "B", PLX_POLICY_PFX_LIST_TYPE_LOCAL)
                  ->acl_users.first()
                  ->ref_count,
              1u);
    EXPECT_EQ(plx_config_mirror_find(&db(), "mB")->users.count(), 1u);
    EXPECT_EQ(plx_config_policer_find(&db(), "pB", PLX_POLICER_OWNER_LOCAL)->instances.count(), 1u);
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());
}

// Regression: switching an app list from applications to families in one commit deleted the old
// entries after the switch had emptied the list, and the delete failed with 2.
TEST_F(PolicyReaders, AppListSwitchesKindInOneCommit) {
    commit(policy_xml(R"(<lists><app-list><name>L</name><app><name>http</name></app>
        <app><name>dns</name></app></app-list></lists>)"));
    app_list *l = plx_config_app_list_find(&db(), "L", PLX_APP_LIST_LOC_LOCAL);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->entries.count(), 2u);
    commit(policy_xml(R"(<lists><app-list><name>L</name>
        <app-family><name>mail</name></app-family></app-list></lists>)"));
    EXPECT_EQ(l->kind, PLX_APP_LIST_KIND_FAMILY);
    ASSERT_EQ(l->entries.count(), 1u);
    EXPECT_EQ(l->entries.first()->name.view(), "mail");
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());
}

// Regression: deleting a sequence freed its TLOC list; the preferred-TLOC entries deleted after
// it failed with 2 and left an empty list behind.
TEST_F(PolicyReaders, DeletingSequenceWithPreferredTlocsLeavesNothing) {
    commit(qctrl_xml(std::string(kLists) + R"(
      <data-policy><name>dp</name><vpn-list><name>corp</name><sequence><id>10</id>
        <action><set><tloc-list>t</tloc-list>
          <qrv-tloc-pref-list><index>1</index><address>2.2.2.2</address><tloc-color>red</tloc-color>
            <preference>5</preference></qrv-tloc-pref-list>
          <qrv-tloc-pref-list><index>2</index><address>3.3.3.3</address><tloc-color>blue</tloc-color>
          </qrv-tloc-pref-list></set></action>
      </sequence></vpn-list></data-policy>)"));
    ASSERT_EQ(db().tloc_lists.count(), 1u);
    rule *r = plx_config_rule_find(&db(), PLX_POLICY_TYPE_DATA, "dp", "corp", 10);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->tloc_refs.count(), 2u);
    commit(qctrl_xml(std::string(kLists) + R"(<data-policy><name>dp</name><vpn-list>
        <name>corp</name><sequence><id>11</id>
        <action><set><tloc-list>t</tloc-list><qrv-tloc-pref-list><index>1</index><address>2.2.2.2</address>
        <tloc-color>red</tloc-color></qrv-tloc-pref-list></set></action></sequence>
        </vpn-list></data-policy>)"));
    EXPECT_EQ(db().tloc_lists.count(), 1u);
    EXPECT_EQ(db().tloc_lists.first()->seq_id, 11);
    EXPECT_EQ(plx_config_rule_find(&db(), PLX_POLICY_TYPE_DATA, "dp", "corp", 10), nullptr);
    // The same with the whole policy going at once.
    commit(qctrl_xml(kLists));
    EXPECT_TRUE(db().tloc_lists.empty());
    EXPECT_TRUE(db().policies.empty());
}

// Elements the model cannot take (the database refuses them, but a reader must not trust it):
// the reader reports failure and the model stays exactly as it was.
TEST_F(PolicyReaders, ElementsTheModelCannotTakeLeaveItAsItWas) {
    commit(qctrl_xml(std::string(kLists) + R"(<data-policy><name>dp</name><vpn-list>
        <name>corp</name><sequence><id>10</id><action><set><next-hop>10.0.0.1</next-hop></set>
        </action></sequence></vpn-list></data-policy>)"));
    const std::string before = plxd_->dumps();
    auto text = [](const char *t) {
        confd_value_t v;
        CONFD_SET_BUF(&v, const_cast<char *>(t), strlen(t));
        return v;
    };
    auto call = [&](const char *path, int op, std::vector<confd_value_t> keys,
                    std::vector<confd_tag_value_t> values) {
        SubscriptionPoint *p = plxd_->harness->point(path);
        return p->reader(p, op, static_cast<uint8_t>(keys.size()), keys.data(),
                         static_cast<uint16_t>(values.size()), values.data());
    };
    confd_value_t seq;
    CONFD_SET_UINT16(&seq, 10);
    confd_tag_value_t hop{};
    hop.tag.tag = plx::confd::tag::NEXT_HOP;
    hop.v = text("::1.2.3.04");
    EXPECT_NE(call("policy-from-qctrl/data-policy/vpn-list/sequence", MOP_MODIFIED,
                   {text("dp"), text("corp"), seq}, {hop}),
              0);
    EXPECT_NE(call("policy-from-qctrl/lists/vpn-list/vpn", MOP_CREATED,
                   {text("corp"), text("10-10")}, {}),
              0);
    EXPECT_EQ(plxd_->dumps(), before);
}

// Regression: removing a class's queue delivers C_NOEXISTS, which is the default queue.
TEST_F(PolicyReaders, ClassQueueRemovedSelectsDefault) {
    commit(policy_xml(R"(<class-map><class><name>voice</name><queue>5</queue></class>
        </class-map>)"));
    ASSERT_NE(plx_class_find(&db(), "voice"), nullptr);
    EXPECT_EQ(plx_class_find(&db(), "voice")->queue, 5u);
    commit(policy_xml(R"(<class-map><class><name>voice</name></class></class-map>)"));
    EXPECT_EQ(plx_class_find(&db(), "voice")->queue, 0u);
    commit(policy_xml(""));
    EXPECT_EQ(plx_class_find(&db(), "voice"), nullptr);
}

}  // namespace
