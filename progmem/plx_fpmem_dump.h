// The operator's dumps of program memory as configuration-database actions: the filter summary,
// the memory map and every placed program with its action slots, printed to the session that
// ran the action.
#pragma once

#include "platform/confd/confd_dp.h"

int plx_dump_memory_stats(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp,
                          confd_tag_value_t *params, int nparams);
int plx_dump_memory_map(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp,
                        confd_tag_value_t *params, int nparams);
int plx_dump_filter(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp,
                    confd_tag_value_t *params, int nparams);
