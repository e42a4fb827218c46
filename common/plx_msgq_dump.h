// The operator's dump of the message-queue transport as a configuration-database action: every
// queue handle with its state and statistics, printed to the session that ran the action.
#pragma once

#include "platform/confd/confd_dp.h"

int plx_dump_msgq(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp,
                  confd_tag_value_t *params, int nparams);
