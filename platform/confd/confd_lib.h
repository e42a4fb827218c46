/*
 * Configuration-database client library: values, key paths, errors, schema helpers.
 *
 * A plain C interface (usable from C and C++) to the router's configuration database server
 * (cdbd). Every socket the library connects goes to 127.0.0.1, TCP port 4565, unless the
 * environment variables CONFD_IPC_ADDR (dotted IPv4 address) and CONFD_IPC_PORT (decimal
 * port) say otherwise; they override the address a caller passes.
 *
 * Errors: calls return CONFD_OK (0) on success and CONFD_ERR (-1) on failure, with the error
 * code in the thread-local confd_errno and a text in confd_lasterr(). A call on a socket that
 * the server has closed returns CONFD_EOF (-2).
 *
 * Threads: every call is safe from any thread; one frame is sent atomically per socket, so two
 * threads may share a socket for sending. Replies are read by the thread that sent the request,
 * so two threads must not issue requests on one socket at the same time.
 */
#ifndef PLX_CONFD_LIB_H
#define PLX_CONFD_LIB_H

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONFD_LIB_API_VSN 0x06030100
#define CONFD_PORT 4565

/* The database's usual address: the loopback address, port CONFD_PORT (the CONFD_IPC_ADDR and
   CONFD_IPC_PORT environment variables move it when a socket connects). CONFD_LOCAL_ADDR gives
   it as the address and size arguments of the connect calls. */
const struct sockaddr *confd_local_addr(void);
#define CONFD_LOCAL_ADDR confd_local_addr(), (int)sizeof(struct sockaddr_in)

/* Key-path limits: elements per path and keys per list entry. */
#define MAXDEPTH 20
#define MAXKEYLEN 9

#define CONFD_OK 0
#define CONFD_ERR (-1)
#define CONFD_EOF (-2)

enum confd_debug_level {
    CONFD_SILENT = 0,
    CONFD_DEBUG = 1,
    CONFD_TRACE = 2,
    CONFD_PROTO_TRACE = 3
};

/* Error codes held in confd_errno. */
enum confd_errcode {
    CONFD_ERR_NOEXISTS = 1,       /* the element does not exist */
    CONFD_ERR_ALREADY_EXISTS = 2, /* the element exists already */
    CONFD_ERR_ACCESS_DENIED = 3,
    CONFD_ERR_NOT_WRITABLE = 4, /* configuration data written through an operational session */
    CONFD_ERR_BADTYPE = 5,      /* a value of the wrong type or out of its range */
    CONFD_ERR_NOTCREATABLE = 6,
    CONFD_ERR_NOTDELETABLE = 7,
    CONFD_ERR_BADPATH = 8, /* a path that names no schema node */
    CONFD_ERR_NOSTACK = 9,
    CONFD_ERR_LOCKED = 10,
    CONFD_ERR_INUSE = 11,
    CONFD_ERR_NOTSET = 12,
    CONFD_ERR_NON_UNIQUE = 13,
    CONFD_ERR_BAD_KEYREF = 14,
    CONFD_ERR_TOO_FEW_ELEMS = 15,
    CONFD_ERR_TOO_MANY_ELEMS = 16,
    CONFD_ERR_BADSTATE = 17, /* a call out of order (no session, no delivery in progress, ...) */
    CONFD_ERR_INTERNAL = 18,
    CONFD_ERR_EXTERNAL = 19,
    CONFD_ERR_MALLOC = 20,
    CONFD_ERR_PROTOUSAGE = 21, /* a request the socket's kind does not allow */
    CONFD_ERR_NOSESSION = 22,
    CONFD_ERR_TOOMANYTRANS = 23,
    CONFD_ERR_OS = 24, /* a system call failed; errno tells which */
    CONFD_ERR_HA_CONNECT = 25,
    CONFD_ERR_HA_CLOSED = 26,
    CONFD_ERR_UNAVAILABLE = 44, /* the requested function is not provided by this server */
    CONFD_ERR_VALIDATION = 45,  /* a configuration refused by validation (text says why) */
    CONFD_ERR_NO_SCHEMA = 46,   /* confd_load_schemas has not been called or failed */
    CONFD_ERR_LIB_NOT_INIT = 47 /* confd_init has not been called */
};

/* Value type codes. */
enum confd_vtype {
    C_NOEXISTS = 1, /* no value: a leaf that does not exist (in modifications: deleted) */
    C_XMLTAG = 2,   /* a plain tag: a path element, a leaf of type empty */
    C_SYMBOL = 3,
    C_STR = 4, /* NUL-terminated string (val.s) */
    C_BUF = 5, /* counted buffer (val.buf): the type of YANG strings */
    C_INT8 = 6,
    C_INT16 = 7,
    C_INT32 = 8,
    C_INT64 = 9,
    C_UINT8 = 10,
    C_UINT16 = 11,
    C_UINT32 = 12,
    C_UINT64 = 13,
    C_DOUBLE = 14,
    C_IPV4 = 15,
    C_IPV6 = 16,
    C_BOOL = 17,
    C_QNAME = 18,
    C_DATETIME = 19,
    C_DATE = 20,
    C_TIME = 23,
    C_DURATION = 27,
    C_ENUM_VALUE = 28, /* enumeration: its integer value */
    C_BIT32 = 29,      /* bits with positions below 32 */
    C_BIT64 = 30,
    C_LIST = 31,     /* a leaf-list: val.list of values */
    C_XMLBEGIN = 32, /* opens a container or list entry in a tagged-value array */
    C_XMLEND = 33,   /* closes it */
    C_OBJECTREF = 34,
    C_UNION = 35,
    C_PTR = 36,
    C_CDBBEGIN = 37,
    C_OID = 38,
    C_BINARY = 39,
    C_IPV4PREFIX = 40,
    C_IPV6PREFIX = 41,
    C_DEFAULT = 42,
    C_DECIMAL64 = 43,
    C_IDENTITYREF = 44,
    C_XMLBEGINDEL = 45, /* opens a deleted container or list entry */
    C_DQUAD = 46,
    C_HEXSTR = 47,
    C_IPV4_AND_PLEN = 48,
    C_IPV6_AND_PLEN = 49,
    C_MAXTYPE = 50
};

struct xml_tag {
    uint32_t tag; /* hash of the node's name */
    uint32_t ns;  /* hash of the node's module namespace */
};

typedef struct confd_buf {
    unsigned int size;
    unsigned char *ptr;
} confd_buf_t;

struct confd_datetime {
    int16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t min;
    uint8_t sec;
    uint32_t micro;
    int8_t timezone;
    int8_t timezone_minutes;
};

struct confd_ipv4_prefix {
    struct in_addr ip;
    uint8_t len;
};

struct confd_ipv6_prefix {
    struct in6_addr ip6;
    uint8_t len;
};

struct confd_decimal64 {
    int64_t value;
    uint8_t fraction_digits;
};

struct confd_identityref {
    uint32_t ns;
    uint32_t id;
};

struct confd_value;
struct confd_list {
    unsigned int size;
    struct confd_value *ptr;
};

typedef struct confd_value {
    enum confd_vtype type;
    union {
        struct xml_tag xmltag;
        uint32_t symbol;
        confd_buf_t buf;
        char *s;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        double d;
        struct in_addr ip;
        struct in6_addr ip6;
        int boolean;
        struct confd_datetime datetime;
        int32_t enumvalue;
        uint32_t b32;
        uint64_t b64;
        struct confd_list list;
        struct confd_ipv4_prefix ipv4prefix;
        struct confd_ipv6_prefix ipv6prefix;
        struct confd_decimal64 d64;
        struct confd_identityref idref;
    } val;
} confd_value_t;

/* A value with the tag and namespace of the node it belongs to. */
typedef struct confd_tag_value {
    struct xml_tag tag;
    confd_value_t v;
} confd_tag_value_t;

/*
 * A key path: len elements, stored leaf-most first (v[0] is the element named last in the
 * printed path, v[len - 1] the top-level node). A plain element is v[i][0] of type C_XMLTAG;
 * a list entry is the list's C_XMLTAG element followed (one index lower) by an element
 * holding its keys v[i][0..n-1], ended by a C_NOEXISTS slot when n < MAXKEYLEN. Thus
 * /policy/lists/vpn-list{corp} is len 4: v[3] policy, v[2] lists, v[1] vpn-list, v[0] {corp}.
 */
typedef struct confd_hkeypath {
    int len;
    confd_value_t v[MAXDEPTH][MAXKEYLEN];
} confd_hkeypath_t;

/* Value accessors. */
#define CONFD_GET_XMLTAG(v) ((v)->val.xmltag.tag)
#define CONFD_GET_XMLTAG_NS(v) ((v)->val.xmltag.ns)
#define CONFD_GET_BUFPTR(v) ((v)->val.buf.ptr)
#define CONFD_GET_BUFSIZE(v) ((v)->val.buf.size)
#define CONFD_GET_CBUFPTR(v) ((const char *)(v)->val.buf.ptr)
#define CONFD_GET_STR(v) ((v)->val.s)
#define CONFD_GET_INT8(v) ((v)->val.i8)
#define CONFD_GET_INT16(v) ((v)->val.i16)
#define CONFD_GET_INT32(v) ((v)->val.i32)
#define CONFD_GET_INT64(v) ((v)->val.i64)
#define CONFD_GET_UINT8(v) ((v)->val.u8)
#define CONFD_GET_UINT16(v) ((v)->val.u16)
#define CONFD_GET_UINT32(v) ((v)->val.u32)
#define CONFD_GET_UINT64(v) ((v)->val.u64)
#define CONFD_GET_DOUBLE(v) ((v)->val.d)
#define CONFD_GET_IPV4(v) ((v)->val.ip)
#define CONFD_GET_IPV6(v) ((v)->val.ip6)
#define CONFD_GET_BOOL(v) ((v)->val.boolean)
#define CONFD_GET_DATETIME(v) ((v)->val.datetime)
#define CONFD_GET_ENUM_VALUE(v) ((v)->val.enumvalue)
#define CONFD_GET_BIT32(v) ((v)->val.b32)
#define CONFD_GET_BIT64(v) ((v)->val.b64)
#define CONFD_GET_LIST(v) ((v)->val.list.ptr)
#define CONFD_GET_LISTSIZE(v) ((v)->val.list.size)
#define CONFD_GET_IPV4PREFIX(v) ((v)->val.ipv4prefix)
#define CONFD_GET_IPV6PREFIX(v) ((v)->val.ipv6prefix)
#define CONFD_GET_DECIMAL64(v) ((v)->val.d64)

#define CONFD_SET_NOEXISTS(v) ((v)->type = C_NOEXISTS)
#define CONFD_SET_XMLTAG(v, t, n) \
    ((v)->type = C_XMLTAG, (v)->val.xmltag.tag = (t), (v)->val.xmltag.ns = (n))
#define CONFD_SET_BUF(v, p, sz) \
    ((v)->type = C_BUF, (v)->val.buf.ptr = (unsigned char *)(p), (v)->val.buf.size = (sz))
#define CONFD_SET_STR(v, x) ((v)->type = C_STR, (v)->val.s = (char *)(x))
#define CONFD_SET_INT8(v, x) ((v)->type = C_INT8, (v)->val.i8 = (x))
#define CONFD_SET_INT16(v, x) ((v)->type = C_INT16, (v)->val.i16 = (x))
#define CONFD_SET_INT32(v, x) ((v)->type = C_INT32, (v)->val.i32 = (x))
#define CONFD_SET_INT64(v, x) ((v)->type = C_INT64, (v)->val.i64 = (x))
#define CONFD_SET_UINT8(v, x) ((v)->type = C_UINT8, (v)->val.u8 = (x))
#define CONFD_SET_UINT16(v, x) ((v)->type = C_UINT16, (v)->val.u16 = (x))
#define CONFD_SET_UINT32(v, x) ((v)->type = C_UINT32, (v)->val.u32 = (x))
#define CONFD_SET_UINT64(v, x) ((v)->type = C_UINT64, (v)->val.u64 = (x))
#define CONFD_SET_DOUBLE(v, x) ((v)->type = C_DOUBLE, (v)->val.d = (x))
#define CONFD_SET_IPV4(v, x) ((v)->type = C_IPV4, (v)->val.ip = (x))
#define CONFD_SET_IPV6(v, x) ((v)->type = C_IPV6, (v)->val.ip6 = (x))
#define CONFD_SET_BOOL(v, x) ((v)->type = C_BOOL, (v)->val.boolean = (x))
#define CONFD_SET_DATETIME(v, x) ((v)->type = C_DATETIME, (v)->val.datetime = (x))
#define CONFD_SET_ENUM_VALUE(v, x) ((v)->type = C_ENUM_VALUE, (v)->val.enumvalue = (x))
#define CONFD_SET_BIT32(v, x) ((v)->type = C_BIT32, (v)->val.b32 = (x))
#define CONFD_SET_BIT64(v, x) ((v)->type = C_BIT64, (v)->val.b64 = (x))
#define CONFD_SET_LIST(v, p, sz) \
    ((v)->type = C_LIST, (v)->val.list.ptr = (p), (v)->val.list.size = (sz))
#define CONFD_SET_IPV4PREFIX(v, x) ((v)->type = C_IPV4PREFIX, (v)->val.ipv4prefix = (x))
#define CONFD_SET_IPV6PREFIX(v, x) ((v)->type = C_IPV6PREFIX, (v)->val.ipv6prefix = (x))

#define CONFD_GET_TAG_TAG(tv) ((tv)->tag.tag)
#define CONFD_GET_TAG_NS(tv) ((tv)->tag.ns)
#define CONFD_GET_TAG_VALUE(tv) (&(tv)->v)
#define CONFD_SET_TAG_TAG(tv, t, n) ((tv)->tag.tag = (t), (tv)->tag.ns = (n))
#define CONFD_SET_TAG_XMLBEGIN(tv, t, n)                                 \
    ((tv)->tag.tag = (t), (tv)->tag.ns = (n), (tv)->v.type = C_XMLBEGIN, \
     (tv)->v.val.xmltag.tag = (t), (tv)->v.val.xmltag.ns = (n))
#define CONFD_SET_TAG_XMLEND(tv, t, n)                                 \
    ((tv)->tag.tag = (t), (tv)->tag.ns = (n), (tv)->v.type = C_XMLEND, \
     (tv)->v.val.xmltag.tag = (t), (tv)->v.val.xmltag.ns = (n))
#define CONFD_SET_TAG_NOEXISTS(tv, t) \
    ((tv)->tag.tag = (t), (tv)->tag.ns = 0, (tv)->v.type = C_NOEXISTS)
#define CONFD_SET_TAG_VALUE(tv, t, vp) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, (tv)->v = *(vp))

/* ---- library set-up and errors ---- */

/*
 * Initialises the library: name for log lines, error stream (NULL: standard error), debug
 * level, API version (must be CONFD_LIB_API_VSN) and the key-path limits (must not exceed
 * MAXDEPTH and MAXKEYLEN). Returns CONFD_OK; calling it again re-initialises.
 */
int confd_init_vsn_sz(const char *name, FILE *estream, const enum confd_debug_level debug, int vsn,
                      int maxdepth, int maxkeylen);
#define confd_init(name, estream, debug) \
    confd_init_vsn_sz(name, estream, debug, CONFD_LIB_API_VSN, MAXDEPTH, MAXKEYLEN)

/* The calling thread's last error code; confd_errno reads and writes it. */
int *confd_errno_location(void);
#define confd_errno (*confd_errno_location())
/* The calling thread's last error text (never NULL; "" when none). */
char *confd_lasterr(void);
/* A fixed text for an error code. */
const char *confd_strerror(int code);

/* ---- values ---- */

/*
 * Frees the memory a value owns (C_BUF, C_QNAME, C_LIST, C_OBJECTREF, C_OID, C_BINARY,
 * C_STR values returned by the library; list elements recursively), not the value itself.
 */
void confd_free_value(confd_value_t *v);
/* Deep copy of v into newv; returns newv, or NULL when memory ran out. */
confd_value_t *confd_value_dup_to(const confd_value_t *v, confd_value_t *newv);
/* Deep copy into a new value (free with confd_free_value and free()). */
confd_value_t *confd_value_dup(const confd_value_t *v);
/* Compares two values: 1 when equal (same type and contents), else 0. */
int confd_val_eq(const confd_value_t *v1, const confd_value_t *v2);

/*
 * Prints a value in its usual text form (strings quoted as "..." by ConfD tradition are
 * printed bare here; enumerations as their number unless confd_val2str is used). Returns the
 * length the full text needs, like snprintf.
 */
int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v);
/* Prints a key path as "/policy/lists/vpn-list{corp}"; names need confd_load_schemas. */
int confd_pp_kpath(char *buf, int bufsiz, const confd_hkeypath_t *hkeypath);

/* ---- schema ---- */

/* An opaque value type (YANG type); enumeration and bits labels come from it. */
struct confd_type;

/* Node kinds (confd_cs_node_info.flags). */
#define CS_NODE_IS_LIST (1 << 0)
#define CS_NODE_IS_WRITE (1 << 1) /* configuration (config true) */
#define CS_NODE_IS_CDB (1 << 2)
#define CS_NODE_IS_ACTION (1 << 3)
#define CS_NODE_IS_PARAM (1 << 4)
#define CS_NODE_IS_RESULT (1 << 5)
#define CS_NODE_IS_NOTIF (1 << 6)
#define CS_NODE_IS_CASE (1 << 7)
#define CS_NODE_IS_CONTAINER (1 << 8)
#define CS_NODE_HAS_WHEN (1 << 9)
#define CS_NODE_HAS_DISPLAY_WHEN (1 << 10)
#define CS_NODE_HAS_META_DATA (1 << 11)
#define CS_NODE_IS_WRITE_ALL (1 << 12)
#define CS_NODE_IS_LEAF_LIST (1 << 13)
#define CS_NODE_IS_LEAFREF (1 << 14)
#define CS_NODE_HAS_MOUNT_POINT (1 << 15)
#define CS_NODE_IS_STRING_AS_BINARY (1 << 16)
#define CS_NODE_IS_DYN CS_NODE_IS_LIST

struct confd_cs_node_info {
    uint32_t *keys;                /* list: key tags ended by 0; otherwise NULL */
    int minOccurs;                 /* 1 for mandatory leaves, else 0 */
    int maxOccurs;                 /* 1 for single nodes, -1 for lists and leaf-lists */
    enum confd_vtype shallow_type; /* the value type of a leaf or leaf-list element */
    struct confd_type *type;       /* leaves and leaf-lists: the value's type */
    confd_value_t *defval;         /* the default value, or NULL */
    int flags;                     /* CS_NODE_* */
};

struct confd_cs_node {
    uint32_t tag;
    uint32_t ns;
    struct confd_cs_node_info info;
    struct confd_cs_node *parent;
    struct confd_cs_node *children;
    struct confd_cs_node *next;
    void *opaque;
};

struct confd_nsinfo {
    const char *uri;
    const char *prefix;
    uint32_t hash;
    const char *revision;
    const char *module;
};

/*
 * Fetches the name table and the schema from the server at srv (overridden by
 * CONFD_IPC_ADDR/CONFD_IPC_PORT). Needed by the name, node and type helpers below.
 * Replaces any schema loaded before; pointers into the previous one stay valid.
 */
int confd_load_schemas(const struct sockaddr *srv, int srv_sz);

/* The name of a tag or namespace hash, or NULL when the schema has no such name. */
char *confd_hash2str(uint32_t hash);
/* The tag of a name: from the loaded schema when it holds the name, else the computed hash. */
uint32_t confd_str2hash(const char *str);
/* The loaded namespaces; returns their number and points *listp at a library-owned array. */
int confd_get_nslist(struct confd_nsinfo **listp);
/* The first top-level node of a namespace, or NULL. */
struct confd_cs_node *confd_find_cs_root(uint32_t ns);
/*
 * The node that a path names: "/policy/lists/vpn-list" (absolute; "{keys}" are allowed and
 * ignored) or, from start, a relative "lists/vpn-list". printf-style. NULL when none.
 */
struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start, const char *fmt, ...);
/* The child of parent with the given tag (and namespace, when not 0), or NULL. */
struct confd_cs_node *confd_find_cs_node_child(const struct confd_cs_node *parent,
                                               struct xml_tag xmltag);
/* The named type (typedef) name of the namespace nshash, or NULL. */
struct confd_type *confd_find_ns_type(uint32_t nshash, const char *name);
/*
 * Text of a value of the given type: enumeration and bits labels, otherwise as
 * confd_pp_value. Returns the text's length or CONFD_ERR (value not valid for the type).
 */
int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf, int bufsiz);
/* Like confd_val2str for enumerations: points *strp at the library-owned label. */
int confd_val2str_ptr(struct confd_type *type, const confd_value_t *val, const char **strp);
/* Parses text into a value of the type (strings become C_BUF, to be freed). */
int confd_str2val(struct confd_type *type, const char *str, confd_value_t *val);

#ifdef __cplusplus
}
#endif

#endif /* PLX_CONFD_LIB_H */
