#!/bin/sh
# Watches the router's configuration the way the policy manager subscribes to it: every path
# of its subscription table at its add priority and, after the slash, its delete priority.
# Start cdbd first; pass --trigger to receive the whole configuration once as created.
# Usage: examples/cdb-watch.sh [build-dir] [--trigger]
BUILD=${1:-build}
[ $# -gt 0 ] && shift
exec "$BUILD/peers/cdbd/cdbcli" watch "$@" \
    6:policy/class-map/class \
    1/6:policy/lists/data-prefix-list \
    1/6:policy/lists/data-prefix-list/ip-prefix \
    1/6:policy/lists/app-list \
    1/6:policy/lists/app-list/app \
    1/6:policy/lists/app-list/app-family \
    6/1:policy-from-qctrl/sla-class \
    1/6:policy-from-qctrl/lists/vpn-list \
    1/6:policy-from-qctrl/lists/vpn-list/vpn \
    1/6:policy-from-qctrl/lists/data-prefix-list \
    1/6:policy-from-qctrl/lists/data-prefix-list/ip-prefix \
    1/6:policy-from-qctrl/lists/app-list \
    1/6:policy-from-qctrl/lists/app-list/app \
    1/6:policy-from-qctrl/lists/app-list/app-family \
    1/6:policy-from-qctrl/policer \
    2/5:policy-from-qctrl/data-policy \
    3/4:policy-from-qctrl/data-policy/vpn-list \
    3/4:policy-from-qctrl/data-policy/vpn-list/sequence/action/set/qrv-tloc-pref-list \
    4/3:policy-from-qctrl/data-policy/vpn-list/sequence \
    2/5:policy-from-qctrl/app-route-policy \
    3/4:policy-from-qctrl/app-route-policy/vpn-list \
    4/3:policy-from-qctrl/app-route-policy/vpn-list/sequence \
    1/6:policy \
    1/6:policy/mirror \
    1/6:policy/mirror/interface \
    1/6:policy/mirror/remote-dest \
    1/6:policy/policer \
    6/1:policy/access-list \
    6/1:policy/access-list/sequence \
    6/1:policy/ipv6/access-list \
    6/1:policy/ipv6/access-list/sequence \
    6/1:vpn/vpn-instance \
    6/1:vpn/vpn-instance/interface \
    6/1:vpn/vpn-instance/interface/access-list \
    6/1:vpn/vpn-instance/interface/ipv6/access-list \
    1:snmp/trap/group \
    1:snmp/trap/group/enable
