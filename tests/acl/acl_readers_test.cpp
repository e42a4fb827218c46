// The access-list readers against a real cdbd: lists, sequences and interface bindings in both
// families, with the messages that bindings send to the forwarding-table manager.
#include "fplink/fib_msgs.h"
#include "tests/policy/reader_fixture.h"

using namespace plx::cfg;
using rt::policy_xml;
using rt::vpn_xml;

namespace {

class AclReaders : public rt::ReaderTest {
  protected:
    // The bind and unbind messages sent since the last call, decoded as fibd decodes them.
    std::vector<fib_acl_msg> take() {
        std::vector<fib_acl_msg> out;
        for (auto &m : plxd_->sent) {
            fib_msg msg;
            std::string err;
            EXPECT_EQ(fib_msg_decode(m, msg, &err), 0) << err;
            if (auto *acl = std::get_if<fib_acl_msg>(&msg))
                out.push_back(*acl);
        }
        EXPECT_EQ(out.size(), plxd_->sent.size());
        plxd_->sent.clear();
        return out;
    }
};

const char *kObjects = R"(
  <lists><data-prefix-list><name>hosts</name>
    <ip-prefix><prefix>10.0.0.0/8</prefix></ip-prefix>
    <ip-prefix><prefix>192.168.1.0/24</prefix></ip-prefix></data-prefix-list></lists>
  <policer><name>pol</name><rate>8000</rate><burst>15000</burst></policer>
  <class-map><class><name>voice</name><queue>2</queue></class></class-map>)";

TEST_F(AclReaders, SequencesOfBothFamiliesAreBuiltChangedAndDeleted) {
    commit(policy_xml(std::string(kObjects) + R"(
      <access-list><name>in4</name><default-action>reject</default-action>
        <sequence><id>30</id><action><base-action>accept</base-action></action></sequence>
        <sequence><id>10</id>
          <match><source-data-prefix-list>hosts</source-data-prefix-list>
            <source-port>10-20</source-port><source-port>80</source-port><class>voice</class>
          </match>
          <action><count>c</count><policer>pol</policer><set><dscp>5</dscp></set></action>
        </sequence></access-list>
      <ipv6><access-list><name>in4</name>
        <sequence><id>1</id><match><next-header>58</next-header><traffic-class>3</traffic-class>
          </match><action><policer>pol</policer><set><traffic-class>7</traffic-class></set>
          </action></sequence></access-list></ipv6>)"));
    plx_access_list *l = plx_intf_config_acl_find(&acl(), "in4", PLX_ACL_FAMILY_IPV4);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->default_action, PLX_ACTION_VERB_REJECT);
    ASSERT_EQ(l->rules.count(), 2u);
    EXPECT_EQ(l->rules.first()->seq_id, 10u);  // held in ascending order
    const rule &r = *l->rules.first();
    std::map<uint32_t, int> fields;
    for (const match_cond &c : r.matches)
        ++fields[c.field_type];
    EXPECT_EQ(fields[PLX_MATCH_ANY], 1);
    EXPECT_EQ(fields[PLX_MATCH_SRC_ADDR], 2);
    EXPECT_EQ(fields[PLX_MATCH_SRC_PORT], 2);
    EXPECT_EQ(fields[PLX_MATCH_FC], 1);
    EXPECT_EQ(l->counters.count(), 1u);
    EXPECT_EQ(l->policers.count(), 1u);
    plx_access_list *l6 = plx_intf_config_acl_find(&acl(), "in4", PLX_ACL_FAMILY_IPV6);
    ASSERT_NE(l6, nullptr);
    std::map<uint32_t, int> f6;
    for (const match_cond &c : l6->rules.first()->matches)
        ++f6[c.field_type];
    EXPECT_EQ(f6[PLX_MATCH_NEXT_HEADER], 1);
    EXPECT_EQ(f6[PLX_MATCH_TRAFFIC_CLASS], 1);
    // One policer used by same-named lists of both families.
    EXPECT_EQ(plx_config_policer_find(&db(), "pol", PLX_POLICER_OWNER_LOCAL)->instances.count(),
              2u);

    // The counter and the prefix list go from sequence 10; the default action is dropped.
    commit(policy_xml(std::string(kObjects) + R"(
      <access-list><name>in4</name>
        <sequence><id>30</id><action><base-action>accept</base-action></action></sequence>
        <sequence><id>10</id><match><class>voice</class></match>
          <action><policer>pol</policer><set><dscp>5</dscp></set></action>
        </sequence></access-list>)"));
    l = plx_intf_config_acl_find(&acl(), "in4", PLX_ACL_FAMILY_IPV4);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->default_action, 0u);
    EXPECT_TRUE(l->counters.empty());
    EXPECT_EQ(l->rules.first()->matches.count(), 2u);
    EXPECT_TRUE(db().pfx_lists.first()->acl_users.empty());
    EXPECT_EQ(plx_intf_config_acl_find(&acl(), "in4", PLX_ACL_FAMILY_IPV6), nullptr);
    EXPECT_EQ(plx_config_policer_find(&db(), "pol", PLX_POLICER_OWNER_LOCAL)->instances.count(),
              1u);
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());

    commit(policy_xml(kObjects));
    EXPECT_TRUE(acl().lists[0].empty());
    EXPECT_TRUE(plx_config_policer_find(&db(), "pol", PLX_POLICER_OWNER_LOCAL)->instances.empty());
}

TEST_F(AclReaders, BindingsFollowInterfacesListsAndVpns) {
    const std::string lists = policy_xml(R"(
      <access-list><name>a</name></access-list><access-list><name>b</name></access-list>
      <ipv6><access-list><name>a</name></access-list></ipv6>)");
    auto intf = [](const std::string &name, const std::string &v4, const std::string &v6) {
        std::string s = "<interface><if-name>" + name + "</if-name>";
        if (!v4.empty())
            s += "<access-list><direction>in</direction><acl-name>" + v4 +
                 "</acl-name></access-list>";
        if (!v6.empty())
            s += "<ipv6><access-list><direction>out</direction><acl-name>" + v6 +
                 "</acl-name></access-list></ipv6>";
        return s + "</interface>";
    };
    auto config = [&](const std::string &interfaces) {
        return lists + vpn_xml("<vpn-instance><id>7</id>" + interfaces + "</vpn-instance>");
    };
    commit(config(intf("ge0/1", "a", "a") + intf("ge0/2", "a", "")));
    auto msgs = take();
    ASSERT_EQ(msgs.size(), 3u);
    for (const fib_acl_msg &m : msgs) {
        EXPECT_EQ(m.type, PLX_ACL_MSG_BIND);
        EXPECT_EQ(m.name, "a");
        EXPECT_EQ(m.bindings.size(), 1u);
    }
    EXPECT_EQ(plx_intf_config_acl_find(&acl(), "a", 0)->bindings.count(), 2u);
    EXPECT_EQ(plx_intf_config_acl_find(&acl(), "a", 1)->bindings.first()->direction,
              PLX_ACL_DIR_OUT);

    // A binding that names another list is unbound from the old one, then bound to the new.
    commit(config(intf("ge0/1", "b", "a") + intf("ge0/2", "a", "")));
    msgs = take();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].type, PLX_ACL_MSG_UNBIND);
    EXPECT_EQ(msgs[0].name, "a");
    ASSERT_EQ(msgs[0].bindings.size(), 1u);
    const fib_acl_binding &b = msgs[0].bindings[0];
    EXPECT_EQ(std::tuple(b.vpn_id, b.intf, b.direction), std::tuple(7u, "ge0/1", PLX_ACL_DIR_IN));
    EXPECT_EQ(msgs[1].type, PLX_ACL_MSG_BIND);
    EXPECT_EQ(msgs[1].name, "b");
    EXPECT_EQ(plx_intf_config_acl_find(&acl(), "a", 0)->bindings.count(), 1u);

    // An interface that goes takes its bindings along; so does a whole VPN.
    commit(config(intf("ge0/1", "b", "a")));
    EXPECT_EQ(plx_intf_config_acl_find(&acl(), "a", 0)->bindings.count(), 0u);
    commit(lists);
    for (auto &tree : acl().lists)
        for (const plx_access_list &l : tree)
            EXPECT_TRUE(l.bindings.empty()) << l.name.c_str();
    EXPECT_EQ(plxd_->dumps(), scratch_dumps());

    // A list deleted with its bindings is unbound once, with all of them.
    commit(config(intf("ge0/1", "b", "") + intf("ge0/2", "b", "")));
    take();
    commit(policy_xml(R"(<access-list><name>a</name></access-list>)"));
    msgs = take();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, PLX_ACL_MSG_UNBIND);
    EXPECT_EQ(msgs[0].bindings.size(), 2u);
}

}  // namespace
