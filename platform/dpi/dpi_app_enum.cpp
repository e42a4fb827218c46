// dpi-app-enum: writes the YANG submodule that defines `app-enum`, the applications an app list
// can name, from the recognition engine's own protocol list: each protocol's name with its id as
// the enumeration value. Run at build time, so the configuration model and the engine the daemon
// links can never disagree.
//
// usage: dpi-app-enum OUTPUT
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/dpi/dpi_engine.h"

namespace {

int write_enum(const dpi_proto *p, void *arg) {
    auto &out = *static_cast<std::ostringstream *>(arg);
    out << "      enum \"" << p->name << "\" {\n        value " << p->unique_id << ";\n      }\n";
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dpi-app-enum OUTPUT\n");
        return 2;
    }
    dpi_config cfg;
    dpi_config_defaults(&cfg);
    cfg.skip_tor_hosts = true;
    int rc = dpi_init(cfg);
    if (rc == 0)
        rc = dpi_enable_all_protocols();
    std::ostringstream enums;
    if (rc == 0)
        rc = dpi_walk_protocols(DPI_PROTO_ALL, write_enum, &enums);
    if (rc != 0) {
        char text[256];
        dpi_error_text(rc, text, sizeof text);
        std::fprintf(stderr, "dpi-app-enum: %s\n", text);
        return 1;
    }
    std::string version = dpi_get_version(dpi_get_handle());
    dpi_release();

    std::ostringstream y;
    y << "submodule quorvel-policy-apps {\n"
         "  yang-version 1.1;\n"
         "  belongs-to quorvel-policy {\n"
         "    prefix pol;\n"
         "  }\n\n"
         "  organization \"plxd developers\";\n"
         "  description\n"
         "    \"Applications an app list can name. Written at build time from the\n"
         "     protocol list of the application-recognition engine ("
      << version
      << "); do not edit.\";\n\n"
         "  typedef app-enum {\n"
         "    type enumeration {\n"
      << enums.str()
      << "    }\n"
         "    description\n"
         "      \"An application by the name the recognition engine knows it by; the\n"
         "       value is the engine's protocol id.\";\n"
         "  }\n"
         "}\n";
    std::string tmp = std::string(argv[1]) + ".tmp";
    {
        std::ofstream f(tmp);
        f << y.str();
        if (!f) {
            std::fprintf(stderr, "dpi-app-enum: cannot write %s\n", tmp.c_str());
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[1]) != 0) {
        std::perror("dpi-app-enum: rename");
        return 1;
    }
    return 0;
}
