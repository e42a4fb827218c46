// Redirection of fixed system paths and shared-memory names.
//
// Every fixed path the system uses (/var/run/..., /boot/..., /etc/...) is built with plx_path(),
// which prefixes the directory named by the environment variable PLX_ROOT (unset or empty: the
// real path). Every POSIX shared-memory name goes through plx_shm_name(), which inserts the
// prefix named by PLX_SHM_PREFIX after the leading slash. Tests and demos set both so that
// several routers can run side by side, unprivileged, in temporary directories.
#pragma once

#include <string>
#include <string_view>

// PLX_ROOT + path: plx_path("/var/run/.plxd") with PLX_ROOT=/tmp/r gives "/tmp/r/var/run/.plxd".
std::string plx_path(std::string_view path);

// Shared-memory object name: "/" + PLX_SHM_PREFIX + name without its leading slash.
std::string plx_shm_name(std::string_view name);

// Creates every missing directory of the parent of path (like mkdir -p of its dirname).
// Returns 0 or an errno value.
int plx_make_parent_dirs(const std::string &path);
