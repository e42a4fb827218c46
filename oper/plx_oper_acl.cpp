#include "oper/plx_oper_acl.h"

namespace plx::oper {

namespace {
AclSource *g_source = nullptr;
}

void plx_oper_set_acl_source(AclSource *source) {
    g_source = source;
}

AclSource *plx_oper_acl_source() {
    return g_source;
}

}  // namespace plx::oper
