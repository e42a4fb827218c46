#include "common/plx_paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

static std::string_view env_or_empty(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::string_view(v) : std::string_view();
}

std::string plx_path(std::string_view path) {
    std::string_view root = env_or_empty("PLX_ROOT");
    while (!root.empty() && root.back() == '/')
        root.remove_suffix(1);
    std::string out(root);
    out += path;
    return out;
}

std::string plx_shm_name(std::string_view name) {
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    std::string out = "/";
    out += env_or_empty("PLX_SHM_PREFIX");
    out += name;
    return out;
}

int plx_make_parent_dirs(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return 0;
    std::string dir = path.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return errno;
        }
    }
    return 0;
}
