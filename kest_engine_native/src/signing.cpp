// Signatures and state hashes: hmac_sha256_hex, sign_record, world_state_hash and
// global_region_hash.
#include "kest/signing.hpp"
#include "kest/snapshot.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace kest::boundary {
namespace {

// The hash text, or the message "{prefix}{kind}" naming the canonical-form fault.
Result<std::string> with_fault_prefix(std::expected<std::string, events::CanonError> hash, std::string_view prefix) {
  if (hash) return std::move(*hash);
  return fail(std::string(prefix) + std::string(events::canon_error_name(hash.error())));
}

constexpr Function<2> kHmacSha256Hex = declare("hmac_sha256_hex", {{"key"}, {"message"}});

PyObject* hmac_sha256_hex(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kHmacSha256Hex);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto key = arguments.key_bytes(0);
  if (!key) return nullptr;
  auto message = arguments.text(1);
  if (!message) return nullptr;
  return to_py_text(without_interpreter_lock([&] { return events::hmac_sha256_hex(*key, *message); }));
}

constexpr Function<5> kSignRecord =
    declare("sign_record", {{"key"}, {"seq"}, {"type_"}, {"payload_json"}, {"prev_sig"}},
            "Sign one event record. `payload_json` is a JSON string (e.g. json.dumps(...));\nraises ValueError if it "
            "is not valid JSON or carries a non-canonicalizable\nvalue (e.g. a fractional number - banned from signed "
            "event data).");

PyObject* sign_record(PyObject* args, PyObject* kwargs) {
  Arguments<5> arguments(kSignRecord);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto key = arguments.key_bytes(0);
  if (!key) return nullptr;
  auto seq = arguments.u64(1);
  if (!seq) return nullptr;
  auto type = arguments.text(2);
  if (!type) return nullptr;
  auto payload_json = arguments.text(3);
  if (!payload_json) return nullptr;
  auto prev_sig = arguments.text(4);
  if (!prev_sig) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    auto payload = json::parse(*payload_json);
    if (!payload) return fail("invalid payload JSON: " + payload.error());
    return with_fault_prefix(events::sign_record(*key, *seq, *type, *payload, *prev_sig),
                             "non-canonicalizable payload: ");
  }));
}

constexpr Function<2> kWorldStateHash =
    declare("world_state_hash", {{"key"}, {"state_json"}},
            "HMAC-SHA-256 of the canonical world state (byte-identical to TS/Python worldStateHash).");

PyObject* world_state_hash(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kWorldStateHash);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto key = arguments.text(0);
  if (!key) return nullptr;
  auto state_json = arguments.text(1);
  if (!state_json) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    auto hash = snapshot::world_state_hash_of_text(*key, *state_json);
    if (hash) return std::move(*hash);
    if (const auto* parse_error = std::get_if<std::string>(&hash.error())) {
      return fail("bad state json: " + *parse_error);
    }
    return fail("hash: " + std::string(events::canon_error_name(std::get<events::CanonError>(hash.error()))));
  }));
}

constexpr Function<2> kGlobalRegionHash =
    declare("global_region_hash", {{"key"}, {"regions_json"}},
            "The global region hash (interest-management Merkle root). `regions_json` is\n{ regionId: regionState, "
            "... }. Byte-identical to TS globalRegionHash.");

PyObject* global_region_hash(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kGlobalRegionHash);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto key = arguments.text(0);
  if (!key) return nullptr;
  auto regions_json = arguments.text(1);
  if (!regions_json) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    auto regions = json::parse(*regions_json);
    if (!regions) return fail("bad regions json: " + regions.error());
    return with_fault_prefix(snapshot::global_region_hash(*key, *regions), "region hash: ");
  }));
}

const PyMethodDef kMethods[] = {
    method<hmac_sha256_hex>(kHmacSha256Hex),
    method<sign_record>(kSignRecord),
    method<world_state_hash>(kWorldStateHash),
    method<global_region_hash>(kGlobalRegionHash),
};

}  // namespace

std::span<const PyMethodDef> signing_methods() { return kMethods; }

}  // namespace kest::boundary
