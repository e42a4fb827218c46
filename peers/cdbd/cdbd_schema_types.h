// Helpers on libyang types shared by the schema's value conversion, path resolution and
// schema export.
#pragma once

#include <libyang/libyang.h>

#include "peers/cdbd/cdbd_schema.h"

namespace cdbd {

// The type a leafref finally refers to (t itself for other types).
const lysc_type *resolve_type(const lysc_type *t);
// The client value type of a leaf type.
confd_vtype vtype_of(const lysc_type *t);
// Finds a label for an enumeration or bits value in t or, for a union, its members.
const lysc_type *find_member(const lysc_type *t, LY_DATA_TYPE base);
// The type of a leaf or leaf-list (null for other nodes).
const lysc_type *leaf_type(const lysc_node *n);
// Converts one stored value. leaf gives the tag of empty-typed leaves.
bool value_from(const SchemaDb &db, const lysc_node *leaf, const lyd_value &value,
                confd_value_t &out);

}  // namespace cdbd
