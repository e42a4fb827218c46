// The router's metrics in the Prometheus text exposition format (version 0.0.4).
//
// Everything is read the way the operator reads it: counters, policers and programming state by
// one walk of /policy-oper through plxd's show provider (the walk cdbcli show does), filter
// memory and application hits from plxd's dump commands, plxd's registration from the
// database's status, and the age of plxd's last hello from the system manager's status file.
//
//   plx_counted_packets_total{kind,policy,vpn_list,counter}   packets of a counter
//   plx_counted_bytes_total{kind,policy,vpn_list,counter}     bytes of a counter
//   plx_policer_drops_total{kind,policy,vpn_list,policer}     packets a policer dropped
//   plx_policer_bytes_total{kind,policy,vpn_list,policer}     bytes a policer saw
//   plx_program_state{kind,policy,vpn_list,state}             1 for the program's state
//   plx_program_size_bytes{kind,policy,vpn_list}              size of a placed program
//   plx_filter_memory_blocks{state="used"|"free"}             128-byte blocks of filter memory
//   plx_application_flows_total{application}                  flows recognised per application
//   plx_up                                                    1 while plxd is registered
//   plx_last_hello_age_seconds                                since plxd's last hello
//
// kind is data-policy, app-route-policy, access-list or ipv6-access-list; policy is the policy
// or access-list name; vpn_list is empty for access lists.
#pragma once

#include <string>

namespace cdbd::restconf {

class DataApi;

// The exposition text, or false with a message when the database cannot be read.
bool metrics_text(DataApi &api, const std::string &sysmgr_status, std::string &out,
                  std::string &err);

}  // namespace cdbd::restconf
