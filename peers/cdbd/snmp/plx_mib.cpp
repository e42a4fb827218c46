// Name table of PLX-MIB.
#include "peers/cdbd/snmp/plx_mib.h"

#include <array>

namespace cdbd {

namespace {

constexpr std::array<PlxMibObject, 8> kObjects{{
    {"eventTime", PLX_MIB_EVENT_TIME, 0},
    {"netconfNotificationSeverity", PLX_MIB_NOTIFICATION_SEVERITY, 0},
    {"quorvelPolicyDataPolicyAssociationStatus", PLX_MIB_DATA_POLICY_ASSOCIATION_STATUS, 84},
    {"quorvelPolicyAccessListAssociationStatus", PLX_MIB_ACCESS_LIST_ASSOCIATION_STATUS, 85},
    {"quorvelPolicyName", PLX_MIB_POLICY_NAME, 0},
    {"quorvelPolicyVpnListName", PLX_MIB_POLICY_VPN_LIST_NAME, 0},
    {"quorvelPolicyAccessListName", PLX_MIB_POLICY_ACCESS_LIST_NAME, 0},
    {"quorvelPolicyStatus", PLX_MIB_POLICY_STATUS, 0},
}};

}  // namespace

std::span<const PlxMibObject> plx_mib_objects() {
    return kObjects;
}

std::optional<std::vector<uint32_t>> plx_mib_oid(std::string_view name) {
    for (const PlxMibObject &o : kObjects)
        if (o.name == name)
            return std::vector<uint32_t>(o.oid.begin(), o.oid.end());
    return std::nullopt;
}

}  // namespace cdbd
