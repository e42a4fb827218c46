#include "peers/fibd/fibd_state.h"

#include <cstring>

#include "fplink/fp_common.h"

void FibdState::bump() {
    if (t_.ctrl)
        fp_store(t_.ctrl->generation, fp_load(t_.ctrl->generation) + 1);
}

void FibdState::apply(const fib_msg &m, std::vector<std::string> *warnings) {
    if (auto *p = std::get_if<fib_policy_msg>(&m)) {
        apply_policy(*p, warnings);
    } else if (auto *a = std::get_if<fib_acl_msg>(&m)) {
        apply_acl(*a, warnings);
    } else {
        dpi_off_ = true;
        if (t_.ctrl)
            fp_store(t_.ctrl->dpi_off, uint8_t{1});
    }
    if (t_.ctrl)
        fp_store(t_.ctrl->messages, fp_load(t_.ctrl->messages) + 1);
    bump();
}

void FibdState::apply_policy(const fib_policy_msg &m, std::vector<std::string> *warnings) {
    auto warn = [warnings](const std::string &s) {
        if (warnings)
            warnings->push_back(s);
    };
    if (m.filter_type != FP_FILTER_TYPE_DATA && m.filter_type != FP_FILTER_TYPE_APP_ROUTE) {
        warn("policy " + m.name + ": filter type " + std::to_string(m.filter_type) +
             " binds nothing");
        return;
    }
    unsigned k = m.filter_type == FP_FILTER_TYPE_DATA ? 0 : 1;
    uint8_t bit = k == 0 ? FP_BIND_DATA : FP_BIND_APP_ROUTE;
    for (uint32_t id : m.vpn_ids) {
        if (id >= t_.num_vpn && t_.vpn) {
            warn("VPN " + std::to_string(id) + " is beyond the binding table");
            continue;
        }
        if (m.type == FIB_MSG_POLICY_BIND) {
            Vpn &v = vpns_[id];
            v.filter[k] = m.filter_id;
            v.dir[k] = m.direction;
            v.bound |= bit;
        } else {
            auto it = vpns_.find(id);
            if (it == vpns_.end() || !(it->second.bound & bit) ||
                it->second.filter[k] != m.filter_id) {
                warn("VPN " + std::to_string(id) + ": filter " + std::to_string(m.filter_id) +
                     " of policy " + m.name + " is not bound");
                continue;
            }
            it->second.bound &= static_cast<uint8_t>(~bit);
            it->second.filter[k] = FP_FILTER_NONE;
            it->second.dir[k] = 0;
        }
        write_vpn(id);
        auto it = vpns_.find(id);
        if (it != vpns_.end() && it->second.bound == 0)
            vpns_.erase(it);
    }
}

void FibdState::write_vpn(uint32_t id) {
    if (!t_.vpn || id >= t_.num_vpn)
        return;
    fp_vpn_binding &e = t_.vpn[id];
    auto it = vpns_.find(id);
    if (it == vpns_.end()) {
        fp_store(e.bound, uint8_t{0});
        return;
    }
    const Vpn &v = it->second;
    // Clear the bits first so that a reader never pairs a new filter with an old direction.
    fp_store(e.bound, static_cast<uint8_t>(fp_load(e.bound) & v.bound));
    fp_store(e.data_filter, v.filter[0]);
    fp_store(e.app_route_filter, v.filter[1]);
    fp_store(e.data_dir, v.dir[0]);
    fp_store(e.app_route_dir, v.dir[1]);
    fp_store(e.bound, v.bound);
}

void FibdState::apply_acl(const fib_acl_msg &m, std::vector<std::string> *warnings) {
    auto warn = [warnings](const std::string &s) {
        if (warnings)
            warnings->push_back(s);
    };
    for (const fib_acl_binding &b : m.bindings) {
        unsigned d = b.direction - 1u, f = m.family;
        uint8_t bit = fp_acl_bound_bit(b.direction, m.family);
        if (m.type == FIB_MSG_ACL_BIND) {
            Intf &st = intfs_[b.intf];
            st.vpn_id = b.vpn_id;
            st.filter[d][f] = m.filter_id;
            st.bound |= bit;
            write_intf(b.intf, st, warnings);
        } else {
            auto it = intfs_.find(b.intf);
            if (it == intfs_.end() || !(it->second.bound & bit) ||
                it->second.filter[d][f] != m.filter_id) {
                warn("interface " + b.intf + " direction " + std::to_string(b.direction) +
                     ": access list " + m.name + " (filter " + std::to_string(m.filter_id) +
                     ") is not bound");
                continue;
            }
            it->second.bound &= static_cast<uint8_t>(~bit);
            it->second.filter[d][f] = FP_FILTER_NONE;
            write_intf(b.intf, it->second, warnings);
            if (it->second.bound == 0)
                intfs_.erase(it);
        }
    }
}

void FibdState::write_intf(const std::string &name, Intf &st, std::vector<std::string> *warnings) {
    if (!t_.intf)
        return;
    if (st.bound == 0) {
        if (st.slot >= 0) {
            fp_intf_acl_binding &e = t_.intf[st.slot];
            fp_store(e.bound, uint8_t{0});
            memset(e.name, 0, sizeof e.name);
            st.slot = -1;
        }
        return;
    }
    if (st.slot < 0) {
        for (uint32_t i = 0; i < t_.num_intf; ++i) {
            if (t_.intf[i].name[0] == 0) {
                st.slot = static_cast<int>(i);
                break;
            }
        }
        if (st.slot < 0) {
            if (warnings)
                warnings->push_back("interface table full, " + name + " not bound");
            return;
        }
        fp_intf_acl_binding &e = t_.intf[st.slot];
        e.bound = 0;
        strncpy(e.name, name.c_str(), sizeof e.name - 1);
    }
    fp_intf_acl_binding &e = t_.intf[st.slot];
    fp_store(e.bound, static_cast<uint8_t>(fp_load(e.bound) & st.bound));
    fp_store(e.vpn_id, st.vpn_id);
    for (int d = 0; d < 2; ++d)
        for (int f = 0; f < 2; ++f)
            fp_store(e.acl_filter[d][f], st.filter[d][f]);
    fp_store(e.bound, st.bound);
}

void FibdState::reset() {
    vpns_.clear();
    intfs_.clear();
    dpi_off_ = false;
    rewrite();
}

void FibdState::rewrite() {
    if (t_.vpn)
        memset(static_cast<void *>(t_.vpn), 0, sizeof(fp_vpn_binding) * t_.num_vpn);
    if (t_.intf)
        memset(static_cast<void *>(t_.intf), 0, sizeof(fp_intf_acl_binding) * t_.num_intf);
    for (const auto &[id, v] : vpns_)
        write_vpn(id);
    for (auto &[name, st] : intfs_) {
        st.slot = -1;
        write_intf(name, st, nullptr);
    }
    if (t_.ctrl)
        fp_store(t_.ctrl->dpi_off, static_cast<uint8_t>(dpi_off_ ? 1 : 0));
    bump();
}
