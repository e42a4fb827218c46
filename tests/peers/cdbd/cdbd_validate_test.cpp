// Validation of a commit that leaves unchanged list entries out must agree with libyang's
// validation of the whole tree: the same verdict and the same resulting tree, entry order and
// defaults included, over random edits of the demo configuration on the router's models.

#include "peers/cdbd/cdbd_validate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const char *const kModules[] = {"quorvel-policy", "quorvel-vpn", "quorvel-snmp", "quorvel-debug",
                                "quorvel-qconfd"};

struct Tree {
    lyd_node *root = nullptr;
    Tree() = default;
    explicit Tree(lyd_node *r) : root(r) {}
    Tree(Tree &&o) noexcept : root(o.root) { o.root = nullptr; }
    Tree &operator=(Tree &&o) noexcept {
        std::swap(root, o.root);
        return *this;
    }
    ~Tree() { lyd_free_all(root); }
    Tree copy() const {
        lyd_node *c = nullptr;
        EXPECT_EQ(lyd_dup_siblings(root, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &c),
                  LY_SUCCESS);
        return Tree(c);
    }
    std::string text() const {
        char *out = nullptr;
        lyd_print_mem(&out, root, LYD_XML, LYD_PRINT_WITHSIBLINGS | LYD_PRINT_WD_ALL_TAG);
        std::string s = out ? out : "";
        free(out);
        return s;
    }
};

class CommitValidation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(ly_ctx_new(PLX_YANG_MODELS_DIR, 0, &ctx_), LY_SUCCESS);
        for (const char *m : kModules)
            ASSERT_NE(ly_ctx_load_module(ctx_, m, nullptr, nullptr), nullptr) << m;
        ASSERT_EQ(lyd_parse_data_path(ctx_, PLX_SOURCE_DIR "/examples/demo/config.xml", LYD_XML,
                                      LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, LYD_VALIDATE_NO_STATE,
                                      &running_.root),
                  LY_SUCCESS);
    }
    void TearDown() override {
        running_ = Tree();
        ly_ctx_destroy(ctx_);
    }

    Tree parse(const std::string &xml) {
        lyd_node *t = nullptr;
        EXPECT_EQ(lyd_parse_data_mem(ctx_, xml.c_str(), LYD_XML,
                                     LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0, &t),
                  LY_SUCCESS)
            << xml;
        return Tree(t);
    }

    ly_ctx *ctx_ = nullptr;
    Tree running_;
};

std::string path_of(const lysc_node *n) {
    char *p = lysc_path(n, LYSC_PATH_DATA, nullptr, 0);
    std::string s = p;
    free(p);
    return s;
}

TEST_F(CommitValidation, EntriesNothingElseReadsAreUnits) {
    cdbd::CommitValidator v(ctx_);
    std::vector<std::string> units;
    for (const lysc_node *n : v.units())
        units.push_back(path_of(n));
    for (const char *want : {"/quorvel-policy:policy-from-qctrl/data-policy",
                             "/quorvel-policy:policy-from-qctrl/app-route-policy"})
        EXPECT_NE(std::find(units.begin(), units.end(), want), units.end()) << want;
    // Targets of references and lists with count limits are never left out.
    for (const char *not_unit : {"/quorvel-policy:policy-from-qctrl/lists/vpn-list",
                                 "/quorvel-policy:policy-from-qctrl/lists/data-prefix-list",
                                 "/quorvel-policy:policy/access-list"})
        EXPECT_EQ(std::find(units.begin(), units.end(), not_unit), units.end()) << not_unit;
}

// A random edit of the configuration: new policies and access lists naming lists that may not
// exist, port ranges that may be reversed, overlapping VPN ranges, deleted list entries (which
// others may name) and leaves changed to another entry's value.
class Editor {
  public:
    explicit Editor(uint32_t seed) : rng_(seed) {}

    std::string name(std::initializer_list<const char *> known) {
        std::vector<const char *> v(known);
        v.push_back("missing");
        return v[pick(v.size())];
    }
    std::string ports() {
        const uint32_t a = 1000 + pick(50), b = 1000 + pick(50);
        return pick(2) ? std::to_string(a) : std::to_string(a) + "-" + std::to_string(b);
    }
    std::string data_policy() {
        std::string x =
            "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\"><data-policy><name>dp" +
            std::to_string(pick(6)) + "</name><direction>all</direction><vpn-list><name>" +
            name({"corp-vpns"}) + "</name>";
        for (uint32_t s = 1 + pick(3), n = 0; n < 3; ++n, s += 1 + pick(5)) {
            x += "<sequence><id>" + std::to_string(s) + "</id><match><destination-port>" + ports() +
                 "</destination-port><source-data-prefix-list>" +
                 name({"datacenter", "branch-lans"}) + "</source-data-prefix-list><app-list>" +
                 name({"streaming", "voice-apps"}) +
                 "</app-list></match><action><base-action>accept</base-action><policer>" +
                 name({"stream-50m"}) + "</policer></action></sequence>";
        }
        return x + "</vpn-list></data-policy></policy-from-qctrl>";
    }
    std::string access_list() {
        return "<policy xmlns=\"urn:quorvel:yang:policy\"><access-list><name>acl" +
               std::to_string(pick(4)) + "</name><sequence><id>" + std::to_string(1 + pick(9)) +
               "</id><match><source-data-prefix-list>" + name({"mgmt-hosts"}) +
               "</source-data-prefix-list><source-port>" + ports() +
               "</source-port></match><action><base-action>reject</base-action><mirror>" +
               name({"span-lan"}) + "</mirror></action></sequence></access-list></policy>";
    }
    std::string vpn() {
        return "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\"><lists><vpn-list><name>" +
               name({"corp-vpns"}) + "</name><vpn><id>" + std::to_string(5 + pick(30)) +
               "</id></vpn></vpn-list></lists></policy-from-qctrl>";
    }
    // A list entry or non-key leaf of the tree (of the given schema node, when there is one).
    lyd_node *any_node(lyd_node *root, bool lists, const lysc_node *schema = nullptr) {
        std::vector<lyd_node *> all;
        lyd_node *top, *n;
        LY_LIST_FOR(root, top) {
            LYD_TREE_DFS_BEGIN(top, n) {
                if ((lists ? n->schema->nodetype == LYS_LIST
                           : n->schema->nodetype == LYS_LEAF && !lysc_is_key(n->schema)) &&
                    (!schema || n->schema == schema))
                    all.push_back(n);
                LYD_TREE_DFS_END(top, n);
            }
        }
        return all.empty() ? nullptr : all[pick(all.size())];
    }
    uint32_t pick(size_t n) { return static_cast<uint32_t>(rng_() % n); }

  private:
    std::mt19937 rng_;
};

TEST_F(CommitValidation, AgreesWithWholeTreeValidationOverRandomEdits) {
    cdbd::CommitValidator v(ctx_);
    const uint32_t seed = std::getenv("PLX_VALIDATE_SEED")
                              ? static_cast<uint32_t>(atoi(std::getenv("PLX_VALIDATE_SEED")))
                              : 1;
    Editor ed(seed);
    size_t accepted = 0, refused = 0, left_out = 0;
    for (int step = 0; step < 400; ++step) {
        Tree next = running_.copy();
        const uint32_t kind = ed.pick(6);
        if (kind <= 3) {
            Tree edit = parse(kind == 0 || kind == 3 ? ed.data_policy()
                              : kind == 1            ? ed.access_list()
                                                     : ed.vpn());
            ASSERT_EQ(lyd_merge_siblings(&next.root, edit.root, LYD_MERGE_DESTRUCT), LY_SUCCESS);
            edit.root = nullptr;
        } else if (lyd_node *n = ed.any_node(next.root, kind == 4)) {
            if (kind == 4) {
                lyd_free_tree(n);
            } else {
                const lyd_node *other = ed.any_node(running_.root, false, n->schema);
                if (other)
                    lyd_change_term(n, lyd_get_value(other));
            }
        }
        Tree whole = next.copy();
        size_t skipped = 0;
        const LY_ERR rc = v.validate(running_.root, &next.root, &skipped);
        const LY_ERR want = lyd_validate_all(&whole.root, ctx_, LYD_VALIDATE_NO_STATE, nullptr);
        ASSERT_EQ(rc == LY_SUCCESS, want == LY_SUCCESS) << "step " << step << ", seed " << seed;
        if (rc != LY_SUCCESS) {
            ++refused;
            continue;
        }
        ASSERT_EQ(next.text(), whole.text()) << "step " << step << ", seed " << seed;
        running_ = std::move(next);
        ++accepted;
        left_out += skipped;
    }
    EXPECT_GT(accepted, 50u);
    EXPECT_GT(refused, 50u);
    EXPECT_GT(left_out, 100u);
}

}  // namespace
