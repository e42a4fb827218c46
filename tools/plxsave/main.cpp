// plxsave: writes the program placed under a filter number in the forwarding plane's filter
// memory to a file, byte for byte, so that `plxc eval` can say offline which record a packet
// selects and `plxc compile --dump`'s reader can print it. The filter numbers in use are those
// of `cdbcli request /plx/dump/memory-stats`.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fplink/fp_common.h"
#include "progmem/plx_fpmem_save.h"

namespace {

const char kUsage[] =
    "usage: plxsave FILTER_ID OUTPUT\n"
    "Writes the program placed under FILTER_ID in the forwarding plane's filter memory to\n"
    "OUTPUT (for plxc eval). PLX_ROOT and PLX_SHM_PREFIX select the router.\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) {
        fputs(kUsage, stderr);
        return 2;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long id = strtoul(argv[1], &end, 10);
    if (errno || !*argv[1] || *end || id > 0xFFFFFFFEul) {
        fprintf(stderr, "plxsave: bad filter number '%s'\n", argv[1]);
        return 2;
    }
    if (fp_shm_attach(false, false) != 0) {
        fputs("plxsave: cannot map the forwarding plane's shared memory\n", stderr);
        return 1;
    }
    if (!fp_global_ready(*fp_global_ctrl_tbl())) {
        fputs("plxsave: the forwarding plane is not running\n", stderr);
        fp_shm_detach();
        return 1;
    }
    const PlxMemTables t{fp_filter_mem(), g_fp_scaling.num_filter_mem_blocks, fp_filters().data(),
                         g_fp_scaling.num_filters};
    std::vector<uint8_t> bytes;
    const std::string err = plx_mem_copy_program(t, static_cast<uint32_t>(id), bytes);
    fp_shm_detach();
    if (!err.empty()) {
        fprintf(stderr, "plxsave: %s\n", err.c_str());
        return 1;
    }
    FILE *f = fopen(argv[2], "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        fprintf(stderr, "plxsave: cannot write %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    printf("filter %lu: %zu bytes written to %s\n", id, bytes.size(), argv[2]);
    return 0;
}
