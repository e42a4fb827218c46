#include "oper/plx_program_state.h"

#include <ctime>

#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"

namespace plx::oper {

namespace {

// Fills what the placement decides: filter id and size when placed, failed or refused when the
// last build left the list without a program.
ProgramStatus placement(uint32_t filter_id, std::string_view refused_why, int64_t at_ms) {
    ProgramStatus st;
    st.programmed_at_ms = at_ms;
    const PolicyProgram *prog =
        filter_id < plx_mem_num_filters() ? plx_mem_program(filter_id) : nullptr;
    if (prog) {
        st.filter_id = filter_id;
        st.bytes = prog->length;
        st.state = ProgramState::Unbound;  // until something is bound
    } else if (filter_id != cfg::PLX_FILTER_ID_NONE) {
        // A build ended without a program: the number of filters marks it.
        st.state = refused_why.empty() ? ProgramState::Failed : ProgramState::Refused;
        st.reason = refused_why.empty() ? "out of filter memory" : std::string(refused_why);
    }
    return st;
}

}  // namespace

const char *program_state_name(ProgramState s) {
    switch (s) {
        case ProgramState::Bound:
            return "bound";
        case ProgramState::Failed:
            return "failed";
        case ProgramState::Refused:
            return "refused";
        default:
            return "unbound";
    }
}

std::string program_time_text(int64_t ms) {
    const time_t secs = static_cast<time_t>(ms / 1000);
    tm t{};
    gmtime_r(&secs, &t);
    char buf[96];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

ProgramStatus policy_program_status(const cfg::plx_policy_db *db, const cfg::policy_vpn_list &v) {
    ProgramStatus st = placement(v.filter_id, v.refused_why, v.programmed_at_ms);
    const cfg::vpn_list *vl = db ? db->vpn_lists.find(v.name.view()) : nullptr;
    if (vl)
        for (const cfg::vpn_range &r : vl->ranges) {
            st.bound_to += st.bound_to.empty() ? "" : " ";
            st.bound_to += std::to_string(r.low);
            if (r.high != r.low)
                st.bound_to += "-" + std::to_string(r.high);
        }
    if (st.filter_id && !st.bound_to.empty())
        st.state = ProgramState::Bound;
    return st;
}

ProgramStatus acl_program_status(AclSource &src, const AclRef &acl) {
    ProgramStatus st = placement(acl.filter_id, acl.refused_why, acl.programmed_at_ms);
    for (AclBindingRef b = src.binding_first(acl); b;
         b = src.binding_find_next(acl, b.intf, b.direction)) {
        st.bound_to += st.bound_to.empty() ? "" : " ";
        st.bound_to += std::string(b.intf) + (b.direction == 2 ? ":out" : ":in");
    }
    if (st.filter_id && !st.bound_to.empty())
        st.state = ProgramState::Bound;
    return st;
}

}  // namespace plx::oper
