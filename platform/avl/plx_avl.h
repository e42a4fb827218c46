// Intrusive ordered collections used by the daemon's models.
//
// avl_tree: a balanced (AVL) search tree whose records carry their own link (`avl_link`) and
// whose order is given by one comparison per tree. Built on Boost.Intrusive's avltree, so a
// record may sit in several trees and lists at once, and insertion never allocates.
//
// dl_list: a doubly-linked list with an element count, for sequences kept in an explicit order.
//
// Both come in an owning flavour (the default): the collection holds its records through
// std::unique_ptr at insertion, deletes them on destroy_all() and in its destructor, and hands a
// unique_ptr back from remove(). The non-owning flavour only links records that some other
// collection owns (a second index over the same records).
//
// The order of a tree is a type with
//     using key_type = ...;                                  // cheap to build (views, numbers)
//     static key_type key(const T &);
//     static int compare(const key_type &, const key_type &);  // <0, 0, >0
// Look-ups take a key_type, so a record never has to be built just to be searched for.
#pragma once

#include <boost/intrusive/avltree.hpp>
#include <boost/intrusive/list.hpp>
#include <cstddef>
#include <memory>
#include <utility>

#include "common/plx_log.h"

namespace plx {

using avl_link = boost::intrusive::avl_set_member_hook<>;
using list_link = boost::intrusive::list_member_hook<>;

// Insertion cookie: remembers where a failed find would insert its key, so that the following
// insert does not search again. Valid only until the tree changes.
template <class Tree>
struct avl_where {
    typename Tree::impl_type::insert_commit_data data{};
    bool valid = false;
};

namespace detail {

// What the tree and the list share over their Boost.Intrusive container `Impl`: unlinking
// (handing the record back in the owning flavour), neighbours, the walk, the size, destruction
// and iteration.
template <class T, class Impl, bool Owning>
class intrusive_collection {
  public:
    using impl_type = Impl;
    using value_type = T;
    using iterator = typename Impl::iterator;
    using const_iterator = typename Impl::const_iterator;

    intrusive_collection() = default;
    intrusive_collection(const intrusive_collection &) = delete;
    intrusive_collection &operator=(const intrusive_collection &) = delete;
    ~intrusive_collection() { destroy_all(); }

    // Unlinks a record of this collection; the owning flavour returns it to the caller.
    std::unique_ptr<T> remove(T &node) requires Owning {
        impl_.erase(impl_.iterator_to(node));
        return std::unique_ptr<T>(&node);
    }
    void remove(T &node) requires(!Owning) { impl_.erase(impl_.iterator_to(node)); }
    // Unlinks and frees a record (owning flavour).
    void erase(T &node) requires Owning {
        impl_.erase_and_dispose(impl_.iterator_to(node), std::default_delete<T>());
    }

    T *first() const { return empty() ? nullptr : const_cast<T *>(&*impl_.begin()); }
    T *last() const { return empty() ? nullptr : const_cast<T *>(&*impl_.rbegin()); }
    T *next(const T &node) const {
        auto it = ++impl_.iterator_to(node);
        return it == impl_.end() ? nullptr : const_cast<T *>(&*it);
    }
    T *prev(const T &node) const {
        auto it = impl_.iterator_to(node);
        return it == impl_.begin() ? nullptr : const_cast<T *>(&*--it);
    }

    // Calls fn(T&) for every record in order. fn may remove (or erase) the record it is given.
    template <class F>
    void walk(F &&fn) {
        for (auto it = impl_.begin(); it != impl_.end();) {
            T &node = *it++;
            fn(node);
        }
    }

    size_t count() const { return impl_.size(); }
    bool empty() const { return impl_.empty(); }

    // Removes every record; the owning flavour frees them.
    void destroy_all() {
        if constexpr (Owning)
            impl_.clear_and_dispose(std::default_delete<T>());
        else
            impl_.clear();
    }
    // Removes every record, handing each to `disposer` (which then owns it when owning).
    template <class F>
    void destroy_all(F &&disposer) {
        impl_.clear_and_dispose([&](T *p) {
            if constexpr (Owning)
                disposer(std::unique_ptr<T>(p));
            else
                disposer(*p);
        });
    }

    iterator begin() { return impl_.begin(); }
    iterator end() { return impl_.end(); }
    const_iterator begin() const { return impl_.begin(); }
    const_iterator end() const { return impl_.end(); }

  protected:
    Impl impl_;
};

template <class T, class Order>
struct avl_node_less {
    bool operator()(const T &a, const T &b) const {
        return Order::compare(Order::key(a), Order::key(b)) < 0;
    }
};

template <class T, avl_link T::*Link, class Order>
using avl_impl = boost::intrusive::avltree<T, boost::intrusive::member_hook<T, avl_link, Link>,
                                           boost::intrusive::compare<avl_node_less<T, Order>>,
                                           boost::intrusive::constant_time_size<true>>;

template <class T, list_link T::*Link>
using list_impl = boost::intrusive::list<T, boost::intrusive::member_hook<T, list_link, Link>,
                                         boost::intrusive::constant_time_size<true>>;

}  // namespace detail

template <class T, avl_link T::*Link, class Order, bool Owning = true>
class avl_tree : public detail::intrusive_collection<T, detail::avl_impl<T, Link, Order>, Owning> {
    struct key_less {
        using key_type = typename Order::key_type;
        bool operator()(const key_type &k, const T &b) const {
            return Order::compare(k, Order::key(b)) < 0;
        }
        bool operator()(const T &a, const key_type &k) const {
            return Order::compare(Order::key(a), k) < 0;
        }
    };
    using detail::intrusive_collection<T, detail::avl_impl<T, Link, Order>, Owning>::impl_;

  public:
    using key_type = typename Order::key_type;
    using where_type = avl_where<avl_tree>;

    // The record with this key, or nullptr.
    T *find(const key_type &key) const {
        auto it = impl_.find(key, key_less{});
        return it == impl_.end() ? nullptr : const_cast<T *>(&*it);
    }

    // As find(); when the key is absent, fills `where` for insert(node, where).
    T *find(const key_type &key, where_type &where) {
        auto r = impl_.insert_unique_check(key, key_less{}, where.data);
        where.valid = r.second;
        return r.second ? nullptr : &*r.first;
    }

    // Smallest record whose key is greater than `key` (the key itself need not be present).
    T *find_next(const key_type &key) const {
        auto it = impl_.upper_bound(key, key_less{});
        return it == impl_.end() ? nullptr : const_cast<T *>(&*it);
    }

    // Smallest record whose key is not less than `key`.
    T *lower_bound(const key_type &key) const {
        auto it = impl_.lower_bound(key, key_less{});
        return it == impl_.end() ? nullptr : const_cast<T *>(&*it);
    }

    // Inserts a record whose key must not be present yet (an internal error otherwise).
    T *insert(std::unique_ptr<T> node) requires Owning {
        T *p = node.get();
        PLX_ASSERT(impl_.insert_unique(*p).second);
        node.release();
        return p;
    }
    T *insert(std::unique_ptr<T> node, where_type &where) requires Owning {
        PLX_ASSERT(where.valid);
        T *p = node.release();
        impl_.insert_unique_commit(*p, where.data);
        where.valid = false;
        return p;
    }
    T *insert(T &node) requires(!Owning) {
        PLX_ASSERT(impl_.insert_unique(node).second);
        return &node;
    }
};

template <class T, list_link T::*Link, bool Owning = true>
class dl_list : public detail::intrusive_collection<T, detail::list_impl<T, Link>, Owning> {
    using detail::intrusive_collection<T, detail::list_impl<T, Link>, Owning>::impl_;

  public:
    T *push_back(std::unique_ptr<T> node) requires Owning {
        impl_.push_back(*node);
        return node.release();
    }
    T *push_front(std::unique_ptr<T> node) requires Owning {
        impl_.push_front(*node);
        return node.release();
    }
    // Inserts before `pos`; a null `pos` appends.
    T *insert_before(T *pos, std::unique_ptr<T> node) requires Owning {
        impl_.insert(pos ? impl_.iterator_to(*pos) : impl_.end(), *node);
        return node.release();
    }
    T *push_back(T &node) requires(!Owning) {
        impl_.push_back(node);
        return &node;
    }
    T *insert_before(T *pos, T &node) requires(!Owning) {
        impl_.insert(pos ? impl_.iterator_to(*pos) : impl_.end(), node);
        return &node;
    }
};

// Three-way comparison helper for orders: -1, 0 or 1.
template <class A>
constexpr int avl_cmp(const A &a, const A &b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace plx
