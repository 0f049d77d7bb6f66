// The selection both backends of ListDirectory make from a directory's entries: the first
// `limit` by byte-wise name order, sorted. Internal to platform/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace platform {

// Cuts `entries` to the `limit` whose names (`name_of(entry)`) sort first, in that order.
template <typename Entry, typename NameOf>
void KeepFirstByName(std::vector<Entry>* entries, size_t limit, NameOf name_of) {
  auto before = [&](const Entry& a, const Entry& b) {
    return std::string_view(name_of(a)) < std::string_view(name_of(b));
  };
  if (entries->size() > limit) {
    std::nth_element(entries->begin(), entries->begin() + limit, entries->end(), before);
    entries->resize(limit);
  }
  std::sort(entries->begin(), entries->end(), before);
}

}  // namespace platform
