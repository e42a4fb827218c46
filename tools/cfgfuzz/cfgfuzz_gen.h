// The configuration fuzzer's generator: random commits that the router's YANG models allow,
// drawn from the models themselves (read with libyang), applied to a copy of the running
// configuration that the generator keeps, so that every commit builds on the last one the
// database took. Leafrefs name existing targets, ranges and patterns are honoured, and besides
// single sets and deletes it makes subtree deletes, renames and whole replace-loads.
#pragma once

#include <libyang/libyang.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace cfgfuzz {

// One commit as the database's command line takes it.
struct Commit {
    enum Kind { Set, Delete, Replace } kind = Set;
    std::string path;   // Set, Delete: the cdbcli path (/a/b{key}/c)
    std::string value;  // Set: the leaf's text
    std::string xml;    // Replace: the whole configuration
    bool valid = true;  // the models accept the result (libyang's own validation)
    std::string describe() const;
};

class Generator {
  public:
    // Loads the models from yang_dir; `initial` is the XML of the configuration the database
    // starts with. False (with why) when either fails.
    bool init(const std::string &yang_dir, const std::string &initial, uint32_t seed,
              std::string &why);
    ~Generator();

    // The next commit. Mostly valid ones; about one in ten breaks a constraint on purpose, so
    // that refusals are exercised too.
    Commit next();
    // The database took the last commit: it becomes the running configuration.
    void accepted();

  private:
    bool mutate_set(Commit &c);
    bool mutate_delete(Commit &c);
    bool mutate_replace(Commit &c);
    // A new node at a random schema node, its list ancestors keyed by existing or new names.
    bool random_path(const lysc_node *leaf, std::string &xpath, std::string &cli);
    std::string random_value(const lysc_node *node);
    std::string random_text(const lysc_node *node, const lysc_type *type);
    std::string key_value(const lysc_node *key);
    bool validate(lyd_node **tree);
    uint32_t r(uint32_t n) { return n ? rng_() % n : 0; }
    bool coin(uint32_t percent = 50) { return r(100) < percent; }

    ly_ctx *ctx_ = nullptr;
    lyd_node *running_ = nullptr;           // what the database holds
    lyd_node *pending_ = nullptr;           // the tree after the commit last returned
    std::vector<const lysc_node *> nodes_;  // config leaves, leaf-lists and lists
    std::vector<const lysc_node *> hot_;    // those of them picked more often
    std::mt19937 rng_;
};

}  // namespace cfgfuzz
