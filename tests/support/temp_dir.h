// A fresh private directory for one test.
#pragma once

#include <stdlib.h>

#include <string>

// Creates /tmp/<prefix>-XXXXXX; returns its path, or "" when it cannot be created.
inline std::string make_temp_dir(const std::string &prefix) {
    std::string path = "/tmp/" + prefix + "-XXXXXX";
    return mkdtemp(path.data()) ? path : std::string();
}
