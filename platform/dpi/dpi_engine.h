// The application-recognition engine: a small layer over nDPI that gives the router its own
// protocol ids, names and families.
//
// Ids: every protocol nDPI knows gets the unique id (nDPI's protocol number + 1), so that
// nDPI's "unknown" becomes id 1, "unclassified", and every id stays below DPI_MAX_PROTO_IDS,
// the size of the tables shared with the forwarding plane. Names are nDPI's names in lower case
// ("http", "bittorrent"); the long name keeps nDPI's spelling ("HTTP", "BitTorrent"). The family
// of a protocol is the display name of one of the router's 31 application families ("Web",
// "Peer to Peer"), from the table in dpi_family_map.h, or "" for the few protocols that
// deliberately have none.
//
// One engine per process, started by dpi_init and stopped by dpi_release. Every call is made from
// one thread.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t DPI_PROTO_UNCLASSIFIED = 1;
inline constexpr const char *DPI_UNCLASSIFIED_NAME = "unclassified";
// Every unique id is below this bound.
inline constexpr uint32_t DPI_MAX_PROTO_IDS = 4096;

// Engine error codes (negative) and exception codes.
enum dpi_code : int {
    DPI_OK = 0,
    DPI_ERR_NOT_STARTED = -1,  // the engine is not running
    DPI_ERR_STARTED = -2,      // dpi_init while running
    DPI_ERR_NOMEM = -3,        // nDPI could not allocate its detection module or a flow
    DPI_ERR_TOO_MANY = -4,     // a protocol number that no unique id can hold
    DPI_ERR_INVALID = -5,      // bad argument
    DPI_ERR_NOT_ENABLED = -6,  // a walk before dpi_enable_all_protocols
    DPI_ERR_CALLBACK = -7,     // a walk callback asked to stop
    DPI_ERR_FLOW_TABLE = -8,   // exception: a flow table is full, a flow goes unrecognised
    DPI_CODE_MIN = -8,
};

// Start-up options. dpi_config_defaults gives nDPI's own behaviour; each switch adds to it.
struct dpi_config {
    bool guess_on_giveup;       // a flow given up is guessed from its ports
    bool skip_tor_hosts;        // do not load nDPI's list of Tor relays
    bool ja3_plus;              // extended TLS fingerprints
    bool tls_block_dissection;  // follow TLS past the handshake
    bool giveup_on_close;       // a TCP flow closed (FIN, RST) before a verdict is given up
    bool dns_subclassify;       // a DNS flow is named after the application it resolves
    bool extra_dissection;      // keep dissecting a recognised flow while nDPI wants more
    bool count_unclassified;    // flows given up without a verdict count as "unclassified"
    bool host_names;            // recognise services by TLS SNI and HTTP Host
    uint32_t max_packets;       // packets of a flow before it is given up (0: nDPI's choice)
};

void dpi_config_defaults(dpi_config *cfg);

// Exceptions are raised at run time (e.g. a full flow table) with a code of dpi_code.
using dpi_exception_fn = void (*)(int code);
void dpi_register_exception_handler(dpi_exception_fn fn);
// Raises an exception through the registered handler (none: ignored).
void dpi_raise_exception(int code);
// Printable text of an exception code.
const char *dpi_exception_text(int code);

// Starts the engine: DPI_OK or an error code.
dpi_code dpi_init(const dpi_config &cfg);
// Text of an error code into buf (always terminated).
void dpi_error_text(int code, char *buf, size_t size);
// Turns recognition on for every protocol the engine knows: DPI_OK or an error code.
dpi_code dpi_enable_all_protocols();

// One protocol as the walk reports it.
struct dpi_proto {
    const char *name;
    const char *family;  // "" when the protocol has no family
    uint32_t unique_id;
};
enum dpi_proto_filter { DPI_PROTO_ALL };
// Calls fn once per protocol in id order; a nonzero return of fn stops the walk with
// DPI_ERR_CALLBACK. DPI_OK or an error code.
using dpi_proto_walk_fn = int (*)(const dpi_proto *proto, void *arg);
dpi_code dpi_walk_protocols(dpi_proto_filter filter, dpi_proto_walk_fn fn, void *arg);

struct dpi_engine;
// The running engine, null when stopped.
const dpi_engine *dpi_get_handle();
// "nDPI <version>", or "" for a null handle.
const char *dpi_get_version(const dpi_engine *engine);

// Name of a protocol id; null when the id is unknown.
const char *dpi_proto_name(uint32_t id);
// Id of a protocol name (any case); 0 when unknown or not running.
int dpi_proto_id(const char *name);

struct dpi_proto_info {
    const char *long_name;
    const char *family;  // "" when none
};
// Long name and family of an id; null when the id is unknown.
const dpi_proto_info *dpi_get_proto_info(uint32_t id);

// Number of unique ids in use (highest id), 0 when not running.
uint32_t dpi_max_proto_id();

// Stops the engine; no effect when stopped.
void dpi_release();
