#include <algorithm>
#include <tuple>

#include "kest/combat.hpp"
#include "kest/ids.hpp"

namespace kest::combat {

std::vector<InitiativeEntry> initiative_order(std::vector<InitiativeEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const InitiativeEntry& a, const InitiativeEntry& b) {
    auto descending = [](const InitiativeEntry& e) { return std::tie(e.total, e.modifier, e.d20); };
    if (descending(a) != descending(b)) return descending(a) > descending(b);
    return ruleset::id_less(a.id, b.id);
  });
  return entries;
}

}  // namespace kest::combat
