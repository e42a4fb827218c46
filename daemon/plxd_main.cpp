// plxd: the policy-manager daemon.
#include "daemon/plx_daemon.h"

int main(int argc, char **argv) {
    return appmain(argc, argv);
}
