
// Combination of two class tables.
//
// The direct method ANDs the two rule vectors of every pair, hashes the result and looks it up
// among the classes found so far (one comparison of whole vectors per hit). A large cross
// product visits millions of pairs but finds few classes, so nearly every pair pays for a
// comparison against a class vector somewhere in megabytes of them.
//
// The method by parts does the vector work once per distinct piece instead of once per pair.
// The words of B's vectors are cut into groups; within a group, B's classes take few distinct
// values (parts). For each class a of A, each part is ANDed with a's words of the group and the
// result looked up in that group's set of masked parts, which gives it an id and a hash. A pair
// (a, b) is then known exactly by the tuple of ids of b's parts under a: equal tuples mean equal
// vectors, and the sum of the parts' hashes is the hash of the whole vector. The pair loop reads
// a few small ids and compares a few words instead of two vectors.
#include "compiler/combine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "common/plx_log.h"
#include "compiler/plx_compiler.h"
#include "compiler/plx_jobs.h"

namespace {

// How many pairs pass between two calls of the yield hook.
constexpr uint32_t YIELD_EVERY = 1024;

// Cross products smaller than this, or vectors of one word, are combined directly: preparing
// the parts would cost about as much as the pairs.
constexpr uint64_t kByPartsMinPairs = uint64_t{1} << 15;

void combine_direct(EcTable &T, ClassSet &A, ClassSet &B, bool final_table) {
    const std::vector<uint32_t> &order_a = A.sorted();
    const std::vector<uint32_t> &order_b = B.sorted();
    const uint32_t n = B.size();
    const uint32_t nw = T.classes.nwords();
    std::vector<uint64_t> z(nw), keys(nw);
    for (uint32_t w = 0; w < nw; ++w)
        keys[w] = plx_word_key(w);
    uint32_t steps = 0;
    for (uint32_t a : order_a) {
        const uint64_t *x = A.vec(a);
        uint32_t *row = T.combo_ec.data() + size_t{a} * n;
        plx_compiler_yield();
        for (uint32_t b : order_b) {
            const uint64_t *y = B.vec(b);
            uint64_t h = 0;
            for (uint32_t w = 0; w < nw; ++w) {
                uint64_t v = x[w] & y[w];
                z[w] = v;
                h += v * keys[w];
            }
            row[b] = final_table ? T.classes.find_or_add_pair(z.data(), h, a, b, A, B)
                                 : T.classes.find_or_add(z.data(), h);
            if (++steps % YIELD_EVERY == 0)
                plx_compiler_yield();
        }
    }
}

// Dense ids of (prefix id, word) pairs, numbered from 0 in the order first met.
class PrefixIds {
  public:
    PrefixIds() { slots_.resize(1024); }
    void clear() {
        for (uint32_t i : used_)
            slots_[i].id1 = 0;
        used_.clear();
    }
    uint32_t size() const { return static_cast<uint32_t>(used_.size()); }
    uint32_t id(uint32_t prefix, uint64_t word) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash(prefix, word) & mask;; i = (i + 1) & mask) {
            Slot &s = slots_[i];
            if (!s.id1) {
                const uint32_t id = size();
                s = Slot{word, prefix, id + 1};
                used_.push_back(static_cast<uint32_t>(i));
                if (used_.size() * 2 > slots_.size())
                    grow();
                return id;
            }
            if (s.word == word && s.prefix == prefix)
                return s.id1 - 1;
        }
    }

  private:
    struct Slot {
        uint64_t word = 0;
        uint32_t prefix = 0;
        uint32_t id1 = 0;  // id + 1; 0 empty
    };
    static uint64_t hash(uint32_t prefix, uint64_t word) {
        return plx_hash_mix(word + uint64_t{prefix} * 0x9e3779b97f4a7c15ULL);
    }
    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        const size_t mask = slots.size() - 1;
        for (uint32_t &u : used_) {
            const Slot &s = slots_[u];
            size_t i = hash(s.prefix, s.word) & mask;
            while (slots[i].id1)
                i = (i + 1) & mask;
            slots[i] = s;
            u = static_cast<uint32_t>(i);
        }
        slots_.swap(slots);
    }

    std::vector<Slot> slots_;
    std::vector<uint32_t> used_;  // occupied slots
};

// A group of words [w0, w0 + nw) of the vectors and the distinct values B's classes take there.
struct Group {
    uint32_t w0 = 0, nw = 0;
    uint32_t nparts = 0;
    std::vector<uint64_t> parts;  // nparts x nw words
    // The masked parts: every part ANDed with the group's words of a class of A, deduplicated.
    ClassSet masked;
    // For each distinct value of A's words on the group, the masked id of every part.
    ClassSet a_values;
    std::vector<uint32_t> ids;  // a_values.size() x nparts
    // Per value of A: every part masks to the same id (A's value has none of the group's rules,
    // typically), so the group adds the same to every key of the row.
    std::vector<uint8_t> constant;
    uint32_t key_word = 0;  // where the ids go in a pair's key
    uint32_t shift = 0;
};

// Dense ids of every class's prefix of words in a group, extended one word at a time.
struct PrefixColumns {
    // Word w of the i-th class at w * n + i. Every word is written below, so the columns are
    // left uninitialised: clearing a large table's columns first would fault in all of their
    // pages in one stretch.
    std::unique_ptr<uint64_t[]> col;
    std::vector<uint32_t> cur, next;
    PrefixIds ids;
    uint32_t count = 0;

    // Words of the classes of S, the class ec going to place position[ec].
    PrefixColumns(const ClassSet &S, const std::vector<uint32_t> &position)
        : col(new uint64_t[size_t{S.nwords()} * S.size()]), cur(S.size(), 0), next(S.size()) {
        const uint32_t n = S.size(), nw = S.nwords();
        for (uint32_t ec = 0; ec < n; ++ec) {
            const uint64_t *v = S.vec(ec);
            for (uint32_t w = 0; w < nw; ++w)
                col[size_t{w} * n + position[ec]] = v[w];
            if ((ec & 0x3FF) == 0x3FF)
                plx_compiler_yield();
        }
    }
    uint32_t size() const { return static_cast<uint32_t>(cur.size()); }
    const uint64_t *column(uint32_t w) const { return &col[size_t{w} * size()]; }
    // Ids of the prefixes extended by word w (or of word w alone) into next; stops early once
    // there are more than `stop`. Returns their number.
    uint32_t extend(uint32_t w, bool alone, uint32_t stop) {
        const uint64_t *c = column(w);
        ids.clear();
        for (uint32_t i = 0; i < size(); ++i) {
            next[i] = ids.id(alone ? 0 : cur[i], c[i]);
            if (ids.size() > stop)
                break;
            if ((i & 0xFFFF) == 0xFFFF)
                plx_compiler_yield();
        }
        return ids.size();
    }
    void accept() {
        cur.swap(next);
        count = ids.size();
    }
};

// Cuts the words of the vectors into groups. A wider group means fewer ids per pair but more
// masking: for every distinct value of A on the group, every distinct value (part) of B's
// classes there is masked once. A group grows word by word while that masking,
// (A's values) x (B's parts) x (words), stays within `budget` word operations. part_of[j][i]
// is the part of group j of the i-th class of B in order.
std::vector<Group> make_groups(const ClassSet &A, const ClassSet &B,
                               const std::vector<uint32_t> &order_b, uint64_t budget,
                               std::vector<std::vector<uint32_t>> &part_of) {
    const uint32_t na = A.size(), nb = B.size(), nw = B.nwords();
    std::vector<uint32_t> position(nb);
    for (uint32_t i = 0; i < nb; ++i)
        position[order_b[i]] = i;
    PrefixColumns pb(B, position);
    std::vector<uint32_t> identity(na);
    for (uint32_t i = 0; i < na; ++i)
        identity[i] = i;
    PrefixColumns pa(A, identity);

    std::vector<Group> groups;
    uint32_t w0 = 0;
    auto close = [&](uint32_t w1) {
        Group &g = groups.emplace_back();
        g.w0 = w0;
        g.nw = w1 - w0;
        g.nparts = pb.count;
        g.parts.resize(size_t{g.nparts} * g.nw);
        std::vector<bool> seen(g.nparts, false);
        for (uint32_t i = 0; i < nb; ++i) {
            const uint32_t p = pb.cur[i];
            if (seen[p])
                continue;
            seen[p] = true;
            for (uint32_t w = 0; w < g.nw; ++w)
                g.parts[size_t{p} * g.nw + w] = pb.column(w0 + w)[i];
            if ((p & 0xFFF) == 0xFFF)
                plx_compiler_yield();
        }
        g.masked = ClassSet(g.nw * 64);
        g.a_values = ClassSet(g.nw * 64);
        part_of.push_back(pb.cur);
    };
    for (uint32_t w = 0; w < nw; ++w) {
        if (w > w0) {
            const uint64_t width = w - w0 + 1;
            const uint32_t values = pa.extend(w, false, na);
            const uint64_t room = budget / (values * width);
            const uint32_t parts =
                pb.extend(w, false, static_cast<uint32_t>(std::min<uint64_t>(room, nb)));
            if (parts <= room) {
                pa.accept();
                pb.accept();
                continue;
            }
            close(w);
            w0 = w;
        }
        pa.extend(w, true, na);
        pb.extend(w, true, nb);
        pa.accept();
        pb.accept();
    }
    close(nw);
    return groups;
}

// A pair's key: the masked ids of its parts packed side by side into K words.
template <uint32_t K>
using PairKey = std::array<uint64_t, K>;

// Word by word: std::array's == ends in a memcmp call, too slow for the pair loop.
template <uint32_t K>
inline bool same_key(const PairKey<K> &x, const PairKey<K> &y) {
    uint64_t diff = 0;
    for (uint32_t k = 0; k < K; ++k)
        diff |= x[k] ^ y[k];
    return diff == 0;
}

// Classes by key. Open addressing over ec_id + 1 (0: empty), keys kept by class: the slots stay
// small enough to sit in the cache next to the rest of a row's data.
template <uint32_t K>
class KeyIndex {
  public:
    KeyIndex() : slots_(1024, 0) {}

    // The class of key, or make() for a new one.
    template <typename Make>
    uint32_t find_or_add(const PairKey<K> &key, Make &&make) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = index(key);; i = (i + 1) & mask) {
            const uint32_t s = slots_[i];
            if (!s) {
                const uint32_t ec = make();
                PLX_ASSERT(ec == keys_.size());
                plx_reserve_yielding(keys_, 1);
                keys_.push_back(key);
                slots_[i] = ec + 1;
                if (keys_.size() * 2 > slots_.size())
                    grow();
                return ec;
            }
            if (same_key<K>(keys_[s - 1], key))
                return s - 1;
        }
    }

  private:
    size_t index(const PairKey<K> &key) const {
        uint64_t h = key[0];
        for (uint32_t k = 1; k < K; ++k)
            h = h * 0x9e3779b97f4a7c15ULL + key[k];
        return plx_hash_mix(h) & (slots_.size() - 1);
    }
    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        const size_t mask = slots_.size() - 1;
        for (uint32_t ec = 0; ec < keys_.size(); ++ec) {
            size_t i = index(keys_[ec]);
            while (slots_[i])
                i = (i + 1) & mask;
            slots_[i] = ec + 1;
            if ((ec & 0xFFFF) == 0xFFFF)
                plx_compiler_yield();
        }
    }

    std::vector<uint32_t> slots_;
    std::vector<PairKey<K>> keys_;  // by ec_id
};

// Combination by parts; see the top of the file.
class PartsCombiner {
  public:
    PartsCombiner(EcTable &T, ClassSet &A, ClassSet &B, bool final_table, uint32_t threads)
        : T_(T),
          A_(A),
          B_(B),
          final_(final_table),
          order_a_(A.sorted()),
          order_b_(B.sorted()),
          na_(A.size()),
          nb_(B.size()),
          nw_(T.classes.nwords()),
          threads_(threads) {}

    // False when the parts do not pay (the caller combines directly).
    bool run() {
        // Each group costs a pass over the pairs: a group may spend half of that on masking.
        groups_ = make_groups(A_, B_, order_b_, uint64_t{na_} * nb_ / 2, part_of_);
        const uint32_t G = static_cast<uint32_t>(groups_.size());

        // The distinct values of A's classes on each group: a_value_[ai * G + j].
        a_value_.resize(size_t{na_} * G);
        size_t id_words = 0;
        for (uint32_t j = 0; j < G; ++j) {
            Group &g = groups_[j];
            for (uint32_t ai = 0; ai < na_; ++ai) {
                const uint64_t *xg = A_.vec(order_a_[ai]) + g.w0;
                a_value_[size_t{ai} * G + j] = g.a_values.find_or_add(xg, plx_vec_hash(xg, g.nw));
                if ((ai & 0xFFF) == 0xFFF)
                    plx_compiler_yield();
            }
            id_words += size_t{g.a_values.size()} * g.nparts;
        }
        // Parts nearly as many as the pairs: the ids would outweigh the combination.
        if (id_words > std::max<size_t>(size_t{na_} * nb_, size_t{16} << 20))
            return false;

        mask_parts();

        // Each group's ids go to one word of the key, at the next free bits of that word.
        uint32_t word = 0, bits = 0;
        for (Group &g : groups_) {
            const uint32_t width = static_cast<uint32_t>(std::bit_width(g.masked.size() - 1));
            if (bits + width > 64) {
                ++word;
                bits = 0;
            }
            g.key_word = word;
            g.shift = bits;
            bits += width;
        }
        switch (word + 1) {
            case 1:
                threaded<1>() ? pairs_threaded<1>() : pairs<1>();
                return true;
            case 2:
                threaded<2>() ? pairs_threaded<2>() : pairs<2>();
                return true;
            case 3:
                threaded<3>() ? pairs_threaded<3>() : pairs<3>();
                return true;
            case 4:
                threaded<4>() ? pairs_threaded<4>() : pairs<4>();
                return true;
            default:
                return false;
        }
    }

  private:
    // Whether the pairs are found on several threads. That pays only when rows repeat their
    // keys (a row's distinct keys are looked up again on this thread): long rows of which a
    // few, spread over the table, have at most one distinct key in 16 pairs.
    template <uint32_t K>
    bool threaded() {
        if (threads_ <= 1 || nb_ < 4096)
            return false;
        std::vector<const uint32_t *> ids_of(groups_.size());
        std::vector<PairKey<K>> keys(nb_);
        const uint32_t most = nb_ / 16;
        for (uint32_t ai : {na_ / 4, na_ / 2, na_ - 1 - na_ / 4}) {
            row_ids(ai, ids_of);
            row_keys<K>(ai, ids_of, keys);
            if (!at_most_distinct<K>(keys, most))
                return false;
        }
        return true;
    }

    // Are there at most `most` distinct keys? Counted in a small hash set, stopping early.
    template <uint32_t K>
    static bool at_most_distinct(const std::vector<PairKey<K>> &keys, uint32_t most) {
        const size_t size = std::bit_ceil(size_t{most} * 2 + 2);
        std::vector<uint32_t> slots(size, 0);  // index + 1 of a key; 0 empty
        uint32_t distinct = 0;
        for (uint32_t i = 0; i < keys.size(); ++i) {
            for (size_t s = index_of<K>(keys[i]) & (size - 1);; s = (s + 1) & (size - 1)) {
                if (!slots[s]) {
                    if (++distinct > most)
                        return false;
                    slots[s] = i + 1;
                    break;
                }
                if (same_key<K>(keys[slots[s] - 1], keys[i]))
                    break;
            }
        }
        return true;
    }

    // Masked ids of every part under every distinct value of A. The groups are independent
    // (each numbers its own masked parts), so they are masked on the threads.
    void mask_parts() {
        plx_run_jobs(threads_, groups_.size(), [this](size_t j) { mask_group(groups_[j]); });
    }

    void mask_group(Group &g) {
        std::vector<uint64_t> m(g.nw);
        uint32_t steps = 0;
        g.ids.resize(size_t{g.a_values.size()} * g.nparts);
        g.constant.assign(g.a_values.size(), 1);
        for (uint32_t v = 0; v < g.a_values.size(); ++v) {
            const uint64_t *xg = g.a_values.vec(v);
            uint32_t *ids = g.ids.data() + size_t{v} * g.nparts;
            if (std::all_of(xg, xg + g.nw, [](uint64_t w) { return w == 0; })) {
                std::fill(m.begin(), m.end(), 0);
                std::fill(ids, ids + g.nparts, g.masked.find_or_add(m.data(), 0));
                continue;
            }
            const uint64_t *part = g.parts.data();
            for (uint32_t p = 0; p < g.nparts; ++p, part += g.nw) {
                for (uint32_t w = 0; w < g.nw; ++w)
                    m[w] = xg[w] & part[w];
                ids[p] = g.masked.find_or_add(m.data(), plx_vec_hash(m.data(), g.nw));
                // A group of a large table has tens of thousands of parts per value.
                if (++steps % YIELD_EVERY == 0)
                    plx_compiler_yield();
            }
            g.constant[v] = std::all_of(ids, ids + g.nparts,
                                        [first = ids[0]](uint32_t id) { return id == first; });
            plx_compiler_yield();
        }
    }

    // The class of the pair (A's ai-th class in order, B's i-th) with the given key, made from
    // its masked parts when new. Kept out of the pair loop, which rarely needs it. With threads
    // the new class only gets its number here, in order, and is made with the others by
    // add_new_classes.
    template <uint32_t K>
    __attribute__((noinline)) uint32_t find_or_add(KeyIndex<K> &index, const PairKey<K> &key,
                                                   uint32_t ai, uint32_t i,
                                                   const std::vector<const uint32_t *> &row_ids) {
        return index.find_or_add(key, [&] {
            if (threads_ > 1) {
                new_classes_.push_back({ai, i});
                return static_cast<uint32_t>(T_.classes.size() + new_classes_.size() - 1);
            }
            new_class(row_ids, i, z_.data());
            const uint64_t h = plx_vec_hash(z_.data(), nw_);
            const uint32_t a = order_a_[ai], b = order_b_[i];
            return final_ ? T_.classes.add_pair(z_.data(), h, a, b) : T_.classes.add(z_.data(), h);
        });
    }

    // The vector of the pair (row, i-th of B): its masked parts side by side.
    void new_class(const std::vector<const uint32_t *> &row_ids, uint32_t i, uint64_t *z) const {
        for (uint32_t j = 0; j < groups_.size(); ++j) {
            const Group &g = groups_[j];
            const uint64_t *v = g.masked.vec(row_ids[j][part_of_[j][i]]);
            std::copy(v, v + g.nw, z + g.w0);
        }
    }

    // Makes the classes numbered by find_or_add: their vectors and hashes on the threads, then
    // added in their order.
    void add_new_classes() {
        const size_t n = new_classes_.size();
        if (!n)
            return;
        std::unique_ptr<uint64_t[]> vecs(new uint64_t[n * nw_]);
        std::unique_ptr<uint64_t[]> hashes(new uint64_t[n]);
        const size_t chunks = std::min<size_t>(n, size_t{threads_} * 8);
        plx_run_jobs(threads_, chunks, [&](size_t c) {
            std::vector<const uint32_t *> ids(groups_.size());
            uint32_t row = UINT32_MAX;
            for (size_t k = c * n / chunks; k < (c + 1) * n / chunks; ++k) {
                const NewClass &nc = new_classes_[k];
                if (nc.ai != row)
                    row_ids(row = nc.ai, ids);
                uint64_t *z = vecs.get() + k * nw_;
                new_class(ids, nc.i, z);
                hashes[k] = plx_vec_hash(z, nw_);
            }
        });
        T_.classes.reserve(n, final_);
        for (size_t k = 0; k < n; ++k) {
            const uint64_t *z = vecs.get() + k * nw_;
            const uint32_t a = order_a_[new_classes_[k].ai], b = order_b_[new_classes_[k].i];
            if (final_)
                T_.classes.add_pair(z, hashes[k], a, b);
            else
                T_.classes.add(z, hashes[k]);
            if ((k & 0xFFF) == 0xFFF)
                plx_compiler_yield();
        }
        new_classes_.clear();
    }

    template <uint32_t K>
    void pairs() {
        std::vector<PairKey<K>> keys(nb_);
        // A row's classes are found in B's order (neighbours often share a key) and then
        // written by class id: gathering from the row's list is cheaper than scattering.
        std::vector<uint32_t> ec_at(nb_), position_b(nb_);
        for (uint32_t i = 0; i < nb_; ++i)
            position_b[order_b_[i]] = i;
        std::vector<const uint32_t *> ids_of(groups_.size());
        KeyIndex<K> index;
        // A row has few distinct keys, each met many times: a small direct-mapped cache of
        // recent keys answers most pairs without a probe of the index.
        struct CacheSlot {
            PairKey<K> key;
            uint32_t ec1;  // ec_id + 1; 0 empty
        };
        constexpr uint32_t kCacheBits = 12;
        std::vector<CacheSlot> cache(size_t{1} << kCacheBits, CacheSlot{});
        for (uint32_t ai = 0; ai < na_; ++ai) {
            const uint32_t a = order_a_[ai];
            plx_compiler_yield();
            row_ids(ai, ids_of);
            row_keys<K>(ai, ids_of, keys);
            for (uint32_t i = 0; i < nb_; ++i) {
                if (i % YIELD_EVERY == YIELD_EVERY - 1)
                    plx_compiler_yield();
                const PairKey<K> &key = keys[i];
                CacheSlot &c = cache[index_of<K>(key) >> (32 - kCacheBits)];
                if (c.ec1 && same_key<K>(c.key, key)) {
                    ec_at[i] = c.ec1 - 1;
                    continue;
                }
                const uint32_t ec = find_or_add<K>(index, key, ai, i, ids_of);
                c = CacheSlot{key, ec + 1};
                ec_at[i] = ec;
            }
            uint32_t *row = T_.combo_ec.data() + size_t{a} * nb_;
            for (uint32_t b = 0; b < nb_; ++b)
                row[b] = ec_at[position_b[b]];
        }
        add_new_classes();
    }

    // Row ai's pointers to each group's masked ids.
    void row_ids(uint32_t ai, std::vector<const uint32_t *> &out) const {
        const uint32_t G = static_cast<uint32_t>(groups_.size());
        for (uint32_t j = 0; j < G; ++j) {
            const Group &g = groups_[j];
            out[j] = g.ids.data() + size_t{a_value_[size_t{ai} * G + j]} * g.nparts;
        }
    }

    // The keys of row ai's pairs, B's classes in order.
    template <uint32_t K>
    void row_keys(uint32_t ai, const std::vector<const uint32_t *> &ids_of,
                  std::vector<PairKey<K>> &keys) const {
        const uint32_t G = static_cast<uint32_t>(groups_.size());
        // Groups that add the same id to every key of the row go into a base key; only the
        // others are read pair by pair.
        PairKey<K> base{};
        std::vector<uint32_t> varying;
        varying.reserve(G);
        for (uint32_t j = 0; j < G; ++j) {
            const Group &g = groups_[j];
            if (g.constant[a_value_[size_t{ai} * G + j]])
                base[g.key_word] |= uint64_t{ids_of[j][0]} << g.shift;
            else
                varying.push_back(j);
        }
        if (varying.empty())
            std::fill(keys.begin(), keys.end(), base);
        // Up to four groups of the same key word per pass: one read and write of each key
        // for all of them. The first pass starts the keys from the base.
        for (size_t k = 0; k < varying.size();) {
            size_t e = k + 1;
            while (e < varying.size() && e < k + 4 &&
                   groups_[varying[e]].key_word == groups_[varying[k]].key_word)
                ++e;
            const uint32_t *js = varying.data() + k;
            switch (e - k) {
                case 1:
                    or_groups<K, 1>(ids_of, js, k ? nullptr : &base, keys);
                    break;
                case 2:
                    or_groups<K, 2>(ids_of, js, k ? nullptr : &base, keys);
                    break;
                case 3:
                    or_groups<K, 3>(ids_of, js, k ? nullptr : &base, keys);
                    break;
                default:
                    or_groups<K, 4>(ids_of, js, k ? nullptr : &base, keys);
                    break;
            }
            k = e;
        }
    }

    // ORs the ids of groups js[0 .. N) (one key word) into the keys, or into base written over
    // them.
    template <uint32_t K, uint32_t N>
    void or_groups(const std::vector<const uint32_t *> &ids_of, const uint32_t *js,
                   const PairKey<K> *base, std::vector<PairKey<K>> &keys) const {
        const uint32_t *ids[N], *part[N];
        uint32_t sh[N];
        for (uint32_t n = 0; n < N; ++n) {
            ids[n] = ids_of[js[n]];
            part[n] = part_of_[js[n]].data();
            sh[n] = groups_[js[n]].shift;
        }
        const uint32_t kw = groups_[js[0]].key_word;
        auto ids_at = [&](uint32_t i) {
            uint64_t v = 0;
#pragma GCC unroll 4
            for (uint32_t n = 0; n < N; ++n)
                v |= uint64_t{ids[n][part[n][i]]} << sh[n];
            return v;
        };
        if (base) {
            for (uint32_t i = 0; i < nb_; ++i) {
                keys[i] = *base;
                keys[i][kw] |= ids_at(i);
            }
        } else {
            for (uint32_t i = 0; i < nb_; ++i)
                keys[i][kw] |= ids_at(i);
        }
    }

    // The pair loop on several threads, giving the same table as pairs(). Classes are numbered
    // in the order their pairs are visited, so the work is split in three:
    //  1. (threads) each row's distinct keys, numbered within the row in the order first met,
    //     and every pair's row-local number, written to the row by class id;
    //  2. (this thread) the rows in order, each row's distinct keys in order, looked up in the
    //     table's classes: new classes are met in exactly the order pairs() meets them;
    //  3. (threads) every pair's row-local number replaced by its class.
    // A row has few distinct keys (hundreds among tens of thousands of pairs), so step 2 is small.
    template <uint32_t K>
    void pairs_threaded() {
        std::vector<uint32_t> position_b(nb_);
        for (uint32_t i = 0; i < nb_; ++i)
            position_b[order_b_[i]] = i;
        struct Row {
            std::vector<PairKey<K>> keys;  // distinct keys in the order first met
            std::vector<uint32_t> first;   // where each was first met (B's classes in order)
        };
        std::vector<Row> rows(na_);
        const size_t chunks = std::min<size_t>(na_, size_t{threads_} * 8);
        plx_run_jobs(threads_, chunks, [&](size_t c) {
            std::vector<PairKey<K>> keys(nb_);
            std::vector<uint32_t> local(nb_);
            std::vector<const uint32_t *> ids_of(groups_.size());
            // Open addressing over row-local number + 1 for the current row (stamp = row + 1).
            struct Slot {
                uint32_t stamp = 0, id = 0;
            };
            std::vector<Slot> slots(4096);
            for (uint32_t ai = static_cast<uint32_t>(c * na_ / chunks);
                 ai < static_cast<uint32_t>((c + 1) * na_ / chunks); ++ai) {
                row_ids(ai, ids_of);
                row_keys<K>(ai, ids_of, keys);
                Row &row = rows[ai];
                const uint32_t stamp = ai + 1;
                size_t mask = slots.size() - 1;
                for (uint32_t i = 0; i < nb_; ++i) {
                    const PairKey<K> &key = keys[i];
                    for (size_t at = index_of<K>(key) & mask;; at = (at + 1) & mask) {
                        Slot &sl = slots[at];
                        if (sl.stamp != stamp) {
                            sl = Slot{stamp, static_cast<uint32_t>(row.keys.size())};
                            row.keys.push_back(key);
                            row.first.push_back(i);
                            local[i] = sl.id;
                            if (row.keys.size() * 2 > slots.size()) {
                                regrow<K>(slots, row.keys, stamp);
                                mask = slots.size() - 1;
                            }
                            break;
                        }
                        if (same_key<K>(row.keys[sl.id], key)) {
                            local[i] = sl.id;
                            break;
                        }
                    }
                }
                uint32_t *out = T_.combo_ec.data() + size_t{order_a_[ai]} * nb_;
                for (uint32_t b = 0; b < nb_; ++b)
                    out[b] = local[position_b[b]];
            }
        });

        KeyIndex<K> index;
        std::vector<const uint32_t *> ids_of(groups_.size());
        std::vector<std::vector<uint32_t>> class_of(na_);
        for (uint32_t ai = 0; ai < na_; ++ai) {
            row_ids(ai, ids_of);
            Row &row = rows[ai];
            class_of[ai].resize(row.keys.size());
            for (size_t k = 0; k < row.keys.size(); ++k)
                class_of[ai][k] = find_or_add<K>(index, row.keys[k], ai, row.first[k], ids_of);
            Row().keys.swap(row.keys);
            plx_compiler_yield();
        }
        add_new_classes();

        plx_run_jobs(threads_, chunks, [&](size_t c) {
            for (uint32_t ai = static_cast<uint32_t>(c * na_ / chunks);
                 ai < static_cast<uint32_t>((c + 1) * na_ / chunks); ++ai) {
                const uint32_t *cls = class_of[ai].data();
                uint32_t *out = T_.combo_ec.data() + size_t{order_a_[ai]} * nb_;
                for (uint32_t b = 0; b < nb_; ++b)
                    out[b] = cls[out[b]];
            }
        });
    }

    template <uint32_t K>
    static size_t index_of(const PairKey<K> &key) {
        uint64_t h = key[0];
        for (uint32_t k = 1; k < K; ++k)
            h = h * 0x9e3779b97f4a7c15ULL + key[k];
        return (h * 0x9e3779b97f4a7c15ULL) >> 32;
    }

    template <uint32_t K, typename Slot>
    static void regrow(std::vector<Slot> &slots, const std::vector<PairKey<K>> &keys,
                       uint32_t stamp) {
        slots.assign(slots.size() * 2, Slot{});
        const size_t mask = slots.size() - 1;
        for (uint32_t id = 0; id < keys.size(); ++id) {
            size_t at = index_of<K>(keys[id]) & mask;
            while (slots[at].stamp == stamp)
                at = (at + 1) & mask;
            slots[at] = Slot{stamp, id};
        }
    }

    EcTable &T_;
    ClassSet &A_, &B_;
    const bool final_;
    const std::vector<uint32_t> &order_a_, &order_b_;
    const uint32_t na_, nb_, nw_;
    const uint32_t threads_;
    std::vector<Group> groups_;
    std::vector<std::vector<uint32_t>> part_of_;  // by group, B's classes in order
    std::vector<uint32_t> a_value_;
    std::vector<uint64_t> z_ = std::vector<uint64_t>(nw_);
    // Classes numbered but not made yet (threads only): each pair's row and place in B's order.
    struct NewClass {
        uint32_t ai, i;
    };
    std::vector<NewClass> new_classes_;
};

}  // namespace

PlxCombineMethod plx_combine_classes(EcTable &T, EcTable &A, EcTable &B, bool final_table,
                                     PlxCombineMethod method, uint32_t threads) {
    PLX_ASSERT(A.classes.has_vectors() && B.classes.has_vectors());
    T.classes = ClassSet(A.classes.nbits());
    // The pair table of a large combination holds hundreds of millions of entries. Every entry
    // is written below, so it is sized without being cleared (its pages are faulted in as the
    // pairs are written, by whichever thread writes them).
    const size_t cells = size_t{A.num_classes()} * B.num_classes();
    T.combo_ec.clear();
    T.combo_ec.resize(cells);
    if (method == PlxCombineMethod::automatic) {
        const uint64_t pairs = uint64_t{A.num_classes()} * B.num_classes();
        method = pairs >= kByPartsMinPairs && T.classes.nwords() > 1 ? PlxCombineMethod::by_parts
                                                                     : PlxCombineMethod::direct;
    }
    if (method == PlxCombineMethod::by_parts &&
        PartsCombiner(T, A.classes, B.classes, final_table, threads).run())
        return PlxCombineMethod::by_parts;
    combine_direct(T, A.classes, B.classes, final_table);
    return PlxCombineMethod::direct;
}
