// Combination of two class tables: the classes of the cross product A x B.
#pragma once

#include <cstdint>

#include "compiler/eclass.h"

// How the classes of the pairs are found. Both give the same table; `automatic` picks by the
// size of the cross product.
enum class PlxCombineMethod : uint8_t {
    automatic,
    // One AND, hash and probe of two whole rule vectors per pair.
    direct,
    // The vectors are cut into groups of words and each pair's class is known by the ids of its
    // groups (see combine.cpp).
    by_parts,
};

// Fills T from A and B (both holding their class vectors): T.combo_ec[a * |B| + b] is the class
// of A's class a AND B's class b, and T's classes are numbered in the order in which the pairs
// are visited: A's classes in vector order and, within each, B's classes in vector order. A
// final table keeps each class's pair (ClassSet::add_pair); any other table keeps its vectors.
// Returns the method used: by parts falls back to direct when the parts would not pay. With
// threads > 1 the pairs by parts are found on that many threads (the table is the same).
PlxCombineMethod plx_combine_classes(EcTable &T, EcTable &A, EcTable &B, bool final_table,
                                     PlxCombineMethod method = PlxCombineMethod::automatic,
                                     uint32_t threads = 1);
