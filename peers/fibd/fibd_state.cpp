#include "peers/fibd/fibd_state.h"

#include <cstring>

#include "fplink/fp_common.h"

void FibdState::bump() {
    if (t_.ctrl)
        fp_store(t_.ctrl->generation, fp_load(t_.ctrl->generation) + 1);
}

FibdState::FibdState(FibdTables t) : t_(t) {
    dpi_off_ = t_.ctrl && fp_load(t_.ctrl->dpi_off) != 0;
}

uint8_t FibdState::Vpn::bound_bits() const {
    uint8_t bits = app_route.bound ? FP_BIND_APP_ROUTE : 0;
    for (uint8_t d = FP_DIR_FROM_SERVICE; d <= FP_DIR_ALL; ++d) {
        if (data[d - 1].bound)
            bits |= fp_data_bound_bit(d);
    }
    return bits;
}

void FibdState::apply(const fib_msg &m, std::vector<std::string> *warnings) {
    if (auto *p = std::get_if<fib_policy_msg>(&m)) {
        apply_policy(*p, warnings);
    } else if (auto *a = std::get_if<fib_acl_msg>(&m)) {
        apply_acl(*a, warnings);
    } else {
        dpi_off_ = true;
        write_dpi();
    }
    refresh_dpi();
    if (t_.ctrl)
        fp_store(t_.ctrl->messages, fp_load(t_.ctrl->messages) + 1);
    bump();
}

void FibdState::apply_policy(const fib_policy_msg &m, std::vector<std::string> *warnings) {
    auto warn = [warnings](const std::string &s) {
        if (warnings)
            warnings->push_back(s);
    };
    const bool data = m.filter_type == FP_FILTER_TYPE_DATA;
    if (!data && m.filter_type != FP_FILTER_TYPE_APP_ROUTE) {
        warn("policy " + m.name + ": filter type " + std::to_string(m.filter_type) +
             " binds nothing");
        return;
    }
    if (data && !fp_data_dir_valid(m.direction)) {
        warn("data policy " + m.name + ": direction " + std::to_string(m.direction) +
             " binds nothing");
        return;
    }
    for (uint32_t id : m.vpn_ids) {
        if (id >= t_.num_vpn && t_.vpn) {
            warn("VPN " + std::to_string(id) + " is beyond the binding table");
            continue;
        }
        if (m.type == FIB_MSG_POLICY_BIND) {
            Vpn &v = vpns_[id];
            if (data) {
                // A policy holds one direction of a VPN: a bind in another direction is a
                // direction change and moves it.
                for (Binding &b : v.data) {
                    if (b.bound && b.policy == m.name)
                        b = Binding{};
                }
            }
            Binding &b = data ? v.data[m.direction - 1] : v.app_route;
            b = Binding{m.filter_id, m.name, true};
        } else {
            auto it = vpns_.find(id);
            Binding *found = nullptr;
            if (it != vpns_.end()) {
                Vpn &v = it->second;
                auto matches = [&m](const Binding &b) {
                    return b.bound && b.filter == m.filter_id;
                };
                if (!data) {
                    found = matches(v.app_route) ? &v.app_route : nullptr;
                } else if (matches(v.data[m.direction - 1])) {
                    found = &v.data[m.direction - 1];
                } else {
                    // Bound in another direction under the same name (the unbind names the
                    // policy's current direction).
                    for (Binding &b : v.data) {
                        if (matches(b) && b.policy == m.name)
                            found = &b;
                    }
                }
            }
            if (!found) {
                warn("VPN " + std::to_string(id) + ": filter " + std::to_string(m.filter_id) +
                     " of policy " + m.name + " is not bound");
                continue;
            }
            *found = Binding{};
        }
        write_vpn(id);
        auto it = vpns_.find(id);
        if (it != vpns_.end() && it->second.bound_bits() == 0)
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
    const uint8_t bits = v.bound_bits();
    // Bits that go away are cleared before any filter changes, so that a reader never runs a
    // slot's new filter under a binding that is being removed.
    fp_store(e.bound, static_cast<uint8_t>(fp_load(e.bound) & bits));
    for (unsigned d = 0; d < FP_DATA_DIRS; ++d)
        fp_store(e.data_filter[d], v.data[d].bound ? v.data[d].filter : FP_FILTER_NONE);
    fp_store(e.app_route_filter, v.app_route.bound ? v.app_route.filter : FP_FILTER_NONE);
    fp_store(e.bound, bits);
}

void FibdState::write_dpi() {
    if (t_.ctrl)
        fp_store(t_.ctrl->dpi_off, static_cast<uint8_t>(dpi_off_ ? 1 : 0));
}

bool FibdState::refresh_dpi() {
    if (!dpi_off_ || !t_.dpi_knob || fp_load(*t_.dpi_knob) == 0)
        return false;
    dpi_off_ = false;
    write_dpi();
    bump();
    return true;
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
    refresh_dpi();
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
    write_dpi();
    bump();
}
