// Validation of a commit's new configuration without validating again what cannot have changed.
//
// libyang validates a whole tree, and its cost grows with every node of it (about 20 us per
// policy sequence), while a commit usually adds or edits a few list entries of a configuration
// that was valid a moment ago. Some lists' entries can only be made invalid by a change to
// themselves or to a few known parts of the configuration: every constraint inside such an entry
// (must, when, leafref) looks at the entry itself or at nodes outside the list, no constraint
// outside the list looks into it, and the list has no lower count limit, uniqueness rule, when
// condition or choice around it (its upper limit is checked on the whole count). Entries of those
// lists that the commit left as they were, and whose outside nodes the commit did not touch, are
// taken out of the tree while libyang validates the rest, and put back where they were afterwards:
// the outcome and the resulting tree are those of validating the whole tree.
#pragma once

#include <libyang/libyang.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace cdbd {

class CommitValidator {
  public:
    // Reads the constraints of the context's implemented modules. A constraint it cannot read
    // (or an instance-identifier, which may point anywhere) makes every commit validate whole.
    explicit CommitValidator(const ly_ctx *ctx);

    // Validates *next, the running configuration with a commit applied, as
    // lyd_validate_all(next, ctx, LYD_VALIDATE_NO_STATE) would; running is the configuration it
    // was made from (valid). skipped, when given, receives the number of list entries that were
    // left out.
    LY_ERR validate(const lyd_node *running, lyd_node **next, size_t *skipped = nullptr) const;

    // Lists whose unchanged entries may be left out (for tests and logs).
    std::vector<const lysc_node *> units() const;

  private:
    // What the constraints inside one list's entries read outside them.
    struct Unit {
        std::vector<const lysc_node *> values;  // nodes whose values or contents are read
        std::vector<const lysc_node *> steps;   // nodes only walked through on a path
        bool has_unit_below = false;            // a list of this kind lies deeper inside
    };
    struct Scan;

    const ly_ctx *ctx_;
    bool whole_ = false;
    std::unordered_map<const lysc_node *, Unit> units_;
    // Schema nodes with a unit at or below them: the scan descends only into those.
    std::unordered_map<const lysc_node *, bool> leads_to_unit_;
};

}  // namespace cdbd
