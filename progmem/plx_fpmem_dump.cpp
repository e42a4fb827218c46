#include "progmem/plx_fpmem_dump.h"

#include "oper/plx_cli_print.h"
#include "progmem/plx_if_fpmem.h"

namespace {

using dump_fn = void (*)(const PlxPrinter &);

int run(confd_user_info *uinfo, dump_fn dump) {
    PlxCliPrinter cli(uinfo);
    dump(cli.printer());
    return CONFD_OK;
}

}  // namespace

int plx_dump_memory_stats(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *,
                          confd_tag_value_t *, int) {
    return run(uinfo, static_cast<dump_fn>(&plx_dump_memory_stats));
}

int plx_dump_memory_map(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *,
                        int) {
    return run(uinfo, static_cast<dump_fn>(&plx_dump_memory_map));
}

int plx_dump_filter(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *,
                    int) {
    return run(uinfo, static_cast<dump_fn>(&plx_dump_filter));
}
