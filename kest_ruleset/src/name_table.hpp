// Tables pairing the names a rule spells with the enumerators they stand for, so that each name
// is written once and compiling a rule turns it into its enumerator.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kest::ruleset {

template <typename Enum>
struct Named {
  std::string_view name;
  Enum value;
};

template <typename Enum, std::size_t kCount>
using NameTable = std::array<Named<Enum>, kCount>;

// The enumerator a rule names; none for any other name.
template <typename Enum, std::size_t kCount>
constexpr std::optional<Enum> value_named(const NameTable<Enum, kCount>& table, std::string_view name) noexcept {
  for (const Named<Enum>& entry : table) {
    if (entry.name == name) return entry.value;
  }
  return std::nullopt;
}

// The name of an enumerator the table lists.
template <typename Enum, std::size_t kCount>
constexpr std::string_view name_of(const NameTable<Enum, kCount>& table, Enum value) noexcept {
  for (const Named<Enum>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return {};
}

}  // namespace kest::ruleset
