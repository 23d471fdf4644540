// Worlds of thousands of entities from a few bytes of input. A fuzzer cannot write such a world
// within its input length, yet a rule whose cost grows with the world only shows as slow on one:
// an input member "grow": n adds n entities to its world, so that run.sh's per-input time limit
// reports such a rule as a finding.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kest/json.hpp"

namespace kest::fuzz {

inline constexpr std::uint64_t kMostGrownEntities = 4096;

// Adds entities "g0", "g1", ... (as many as `grow` says when it is a non-negative integer, at most
// 4096) to the "entities" of `state` when that is an object. Their tags are the ones the seeds
// select and act by, so selections and actor lists find them; every third also carries "x".
inline void grow_world(json::Value& state, const json::Value& grow) {
  json::Object* entities = state["entities"].is_object() ? state.find("entities")->if_object() : nullptr;
  if (entities == nullptr || !grow.is_uint()) return;
  static constexpr std::array<std::string_view, 4> kTags = {"acts_offline", "foe", "pc", "zone"};
  const std::uint64_t count = std::min(grow.as_uint(), kMostGrownEntities);
  // Built in one go: inserting them one by one would shift the sorted members each time.
  std::vector<json::Member> members(std::make_move_iterator(entities->begin()),
                                    std::make_move_iterator(entities->end()));
  for (std::uint64_t i = 0; i < count; ++i) {
    json::Array tags{json::Value(kTags[i % kTags.size()])};
    if (i % 3 == 0) tags.emplace_back("x");
    members.push_back({"g" + std::to_string(i),
                       json::Object{{"properties", json::Object{{"hp", json::Value(i)}}}, {"tags", std::move(tags)}}});
  }
  *entities = json::Object::from_members(std::move(members));
}

// The input text with the world in its member `world` grown by its member "grow"; the text as
// it is when it does not parse or has nothing to grow.
inline std::string grown_input(std::string_view text, std::string_view world) {
  auto input = json::parse(text);
  if (!input || input->find("grow") == nullptr || input->find(world) == nullptr) return std::string(text);
  grow_world(*input->find(world), (*input)["grow"]);
  return json::write(*input);
}

}  // namespace kest::fuzz
