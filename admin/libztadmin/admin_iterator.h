/* SPDX-License-Identifier: GPL-3.0-or-later */
// admin_iterator.h - the search an iterator of each kind runs (internal).
#ifndef ZT_ADMIN_ITERATOR_H
#define ZT_ADMIN_ITERATOR_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"

namespace zt {

// Longest caller filter, composed filter and search base an iterator takes.
inline constexpr size_t kIteratorCallerFilterMax = 511;
inline constexpr size_t kIteratorFilterMax = 255;
inline constexpr size_t kIteratorBaseMax = 499;

struct IteratorSearch {
    std::string base;
    std::string filter;
};

// The caller's filter with one leading "(" and then one trailing ")"
// dropped, so that "(a=1)" and "a=1" compose alike and "(a=1)(b=2)" closes
// into a conjunction inside the kind's own parentheses.
std::string strip_outer_parentheses(std::string_view filter);

// The base and filter for `kind` below `root`; nothing for an unknown kind
// or when a text exceeds its limit.  `filter` may be null.
std::optional<IteratorSearch> iterator_search(int kind, const char *filter, std::string_view root);

// Orders two entries by their values of the sort attribute as the
// iterators sort: value by value with strcasecmp, an entry without the
// attribute (no values) first, and a list that is a prefix of the other
// before it.  Negative, zero or positive.
int compare_sort_values(const std::vector<std::string> &a, const std::vector<std::string> &b);

}  // namespace zt

#endif  // ZT_ADMIN_ITERATOR_H
