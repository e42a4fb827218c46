// The operator's dump of the message-queue transport as a configuration-database action: every
// queue handle with its state and statistics, printed to the session that ran the action.
#pragma once

#include "platform/confd/confd_dp.h"

confd_action_fn plx_dump_msgq;
