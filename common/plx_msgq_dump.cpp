#include "common/plx_msgq_dump.h"

#include "common/msgq_util.h"
#include "oper/plx_cli_print.h"

int plx_dump_msgq(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int) {
    PlxCliPrinter cli(uinfo);
    PlxPrinter out = cli.printer();
    msgq_dump_all(out.write, out.arg);
    // The dump's lines start with their newline: end the last one.
    cli.write("\n");
    return CONFD_OK;
}
