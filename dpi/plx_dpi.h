// Application recognition in the daemon: starts and stops the recognition engine, gives the
// policy configuration the engine's protocol id of an application name, fills the
// protocol-to-family table shared with the forwarding plane, keeps the shared DPI state word in
// line with the number of policy users of recognition, and answers the DPI dump and clear
// actions. Everything runs on the event-loop thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "dpi/plx_dpi_family.h"
#include "dpi/plx_dpi_tables.h"
#include "platform/confd/confd_dp.h"

struct plx_ctx;

// Start-up step: PLX_OK, or the engine's negative code (start-up goes on without recognition).
int plx_dpi_init(plx_ctx *ctx);
// Releases the engine (shutdown).
void plx_dpi_destroy();
// The forwarding plane restarted and cleared its tables: fills the protocol-to-family table
// again and publishes the number of policies using application recognition. PLX_OK, or -1 on an
// engine error.
int plx_dpi_tables_refill(plx_ctx *ctx);

// Engine protocol id of an application name: "unclassified" is 1 without asking the engine;
// otherwise the engine's id, or 0 (logged) when the engine does not know the name.
uint32_t plx_dpi_get_engine_id(const char *name);
// Engine name of a protocol id; null when unknown.
const char *plx_dpi_get_proto_name(uint32_t id);
// The id an app-list entry stands for: for PLX_APP_LIST_KIND_APP an application
// (plx_dpi_get_engine_id), for PLX_APP_LIST_KIND_FAMILY a family (plx_family_from_config_name, 0
// when unknown). 0 when not supported.
uint32_t plx_dpi_app_id(std::string_view name, uint32_t kind);

// App visibility switch: when the value changes, the policy model stores it and counts it as one
// more (or one fewer) user of recognition. Nothing without a policy model.
void plx_dpi_set_app_visibility(plx_ctx *ctx, bool on);
// End of a configuration transaction: publishes the flow knob (users of flow export) and the log
// frequency to their shared words; when the shared DPI state word differs from the number of
// policy users, writes the number, and when it is 0 tells fibd (one-byte type-5 message).
void plx_dpi_publish_state(plx_ctx *ctx);
// The DPI state: as the daemon last published it (control), or the shared word itself.
uint32_t plx_dpi_state_word(bool control);

// Registered with the engine: logs "Error: DPI engine exception: <text>".
void plx_dpi_exception_handler(int code);
// Traces one engine attribute; while an action runs, prints it to the operator's session too.
void plx_dpi_attr_callback(const char *attribute);

// Actions: each prints to the session that invoked it.
confd_action_fn plx_dpi_dump_protocol_list;
confd_action_fn plx_dpi_dump_protocol_family_mapping;
confd_action_fn plx_dpi_dump_protocol_hits;
confd_action_fn plx_dpi_dump_configuration;
confd_action_fn plx_dpi_clear_protocol_hits;
