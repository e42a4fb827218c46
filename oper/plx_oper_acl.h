// What the show provider and the clear actions read of the access lists: for each family the
// lists in the model's order, and of each list its name, filter number, counters, policers and
// interface bindings. Kept this narrow so that the access-list model stays free to change; the
// model plugs in through AclTreeSource, or any AclSource of its own.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/avl/plx_avl.h"
#include "policy/plx_config.h"

namespace plx::oper {

// The counter and policer collections of a list: the records the policy model uses for policy
// VPN lists.
using counter_tree = avl_tree<cfg::counter_ctx, &cfg::counter_ctx::link, cfg::name_order_counter>;
using policer_tree = avl_tree<cfg::policer_instance, &cfg::policer_instance::in_owner,
                              cfg::policer_instance_owner_order>;

inline constexpr uint32_t ACL_FAMILY_IPV4 = 0;
inline constexpr uint32_t ACL_FAMILY_IPV6 = 1;

// One access list; `handle` is the model's record (null: no list).
struct AclRef {
    const void *handle = nullptr;
    std::string_view name;
    uint32_t filter_id = cfg::PLX_FILTER_ID_NONE;
    counter_tree *counters = nullptr;
    policer_tree *policers = nullptr;
    // The compiler's reason when it refused the list's last build; when it was last placed
    // (wall clock, ms; 0: never).
    std::string_view refused_why;
    int64_t programmed_at_ms = 0;
    explicit operator bool() const { return handle != nullptr; }
};

// One interface binding of a list: interface name and direction (1 in, 2 out).
struct AclBindingRef {
    bool found = false;
    std::string_view intf;
    uint8_t direction = 0;
    explicit operator bool() const { return found; }
};

class AclSource {
  public:
    virtual ~AclSource() = default;
    // Lists of a family in the model's order: the first, the one named, the first after a name
    // (the name need not exist).
    virtual AclRef first(uint32_t family) = 0;
    virtual AclRef find(uint32_t family, std::string_view name) = 0;
    virtual AclRef find_next(uint32_t family, std::string_view name) = 0;
    // Bindings of a list in (interface, direction) order, the same way.
    virtual AclBindingRef binding_first(const AclRef &acl) = 0;
    virtual AclBindingRef binding_find(const AclRef &acl, std::string_view intf,
                                       uint8_t direction) = 0;
    virtual AclBindingRef binding_find_next(const AclRef &acl, std::string_view intf,
                                            uint8_t direction) = 0;
};

// The source the provider and the clear actions use; null (the default): no access lists.
void plx_oper_set_acl_source(AclSource *source);
AclSource *plx_oper_acl_source();

// An AclSource over a model that keeps each family's lists in a tree keyed by name. The list
// record has `name` (a fixed name), `filter_id`, `counters`, `policers` and `bindings`, a tree
// keyed by (interface name, direction) of records with `intf` (a fixed name) and `direction`.
template <class List, class ListTree>
class AclTreeSource : public AclSource {
  public:
    AclTreeSource(ListTree *ipv4, ListTree *ipv6) : trees_{ipv4, ipv6} {}

    AclRef first(uint32_t family) override {
        return ref(tree(family) ? tree(family)->first() : nullptr);
    }
    AclRef find(uint32_t family, std::string_view name) override {
        return ref(tree(family) ? tree(family)->find(name) : nullptr);
    }
    AclRef find_next(uint32_t family, std::string_view name) override {
        return ref(tree(family) ? tree(family)->find_next(name) : nullptr);
    }
    AclBindingRef binding_first(const AclRef &acl) override {
        return bref(acl ? list(acl).bindings.first() : nullptr);
    }
    AclBindingRef binding_find(const AclRef &acl, std::string_view intf,
                               uint8_t direction) override {
        return bref(acl ? list(acl).bindings.find({intf, direction}) : nullptr);
    }
    AclBindingRef binding_find_next(const AclRef &acl, std::string_view intf,
                                    uint8_t direction) override {
        return bref(acl ? list(acl).bindings.find_next({intf, direction}) : nullptr);
    }

  private:
    ListTree *tree(uint32_t family) const { return family < 2 ? trees_[family] : nullptr; }
    static List &list(const AclRef &acl) {
        return *const_cast<List *>(static_cast<const List *>(acl.handle));
    }
    static AclRef ref(List *l) {
        if (!l)
            return {};
        AclRef r{l, l->name.view(), l->filter_id, &l->counters, &l->policers, {}, 0};
        // Models that keep no programming history leave these empty.
        if constexpr (requires { l->refused_why; })
            r.refused_why = l->refused_why;
        if constexpr (requires { l->programmed_at_ms; })
            r.programmed_at_ms = l->programmed_at_ms;
        return r;
    }
    template <class Binding>
    static AclBindingRef bref(Binding *b) {
        if (!b)
            return {};
        return AclBindingRef{true, b->intf.view(), b->direction};
    }
    ListTree *trees_[2];
};

}  // namespace plx::oper
