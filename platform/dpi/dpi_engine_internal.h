// What the flow classifier needs from the running engine; not for other users.
#pragma once

#include <cstdint>

#include "platform/dpi/dpi_engine.h"

struct ndpi_detection_module_struct;

// nDPI's detection module once protocols are enabled, else null.
ndpi_detection_module_struct *dpi_internal_module();
const dpi_config *dpi_internal_config();
// Unique id of an nDPI protocol number ("unclassified" for numbers the engine does not know).
uint32_t dpi_internal_unique_id(uint16_t ndpi_proto);
