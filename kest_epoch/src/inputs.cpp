// Readers of the members of epoch input documents.
#include "kest/epoch.hpp"

namespace kest::epoch {

std::vector<std::string> parse_actor_tags(const json::Value& input) {
  std::vector<std::string> tags;
  if (const json::Array* elements = input["actorTags"].if_array()) {
    for (const json::Value& element : *elements) {
      if (const std::string* tag = element.if_string()) tags.push_back(*tag);
    }
  }
  return tags;
}

}  // namespace kest::epoch
