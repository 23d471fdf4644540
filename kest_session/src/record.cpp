// Reading a chain-tail element into a record: every member is tested, in a fixed order, before
// anything is taken out of the element.
#include "kest/session.hpp"

namespace kest::session {

Result<events::ChainedRecord> parse_record(json::Value element) {
  const json::Value& seq = element["seq"];
  const std::string* type = element["type"].if_string();
  json::Value* payload = element.find("payload");
  const std::string* prev_sig = element["prevSig"].if_string();
  const std::string* sig = element["sig"].if_string();
  if (!seq.is_uint()) return fail("record missing seq");
  if (type == nullptr) return fail("record missing type");
  if (payload == nullptr) return fail("record missing payload");
  if (prev_sig == nullptr) return fail("record missing prevSig");
  if (sig == nullptr) return fail("record missing sig");
  return events::ChainedRecord{
      .seq = seq.as_uint(),
      .type = *type,
      .payload = std::move(*payload),
      .prev_sig = *prev_sig,
      .sig = *sig,
  };
}

}  // namespace kest::session
