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

PyObject* hmac_sha256_hex(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "message"};
  Arguments<2> arguments;
  if (!arguments.bind(args, kwargs, "hmac_sha256_hex", names, 2)) return nullptr;
  auto key = to_key_bytes(arguments[0], "key");
  if (!key) return nullptr;
  auto message = to_text(arguments[1], "message");
  if (!message) return nullptr;
  return to_py_text(without_interpreter_lock([&] { return events::hmac_sha256_hex(*key, *message); }));
}

PyObject* sign_record(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "seq", "type_", "payload_json", "prev_sig"};
  Arguments<5> arguments;
  if (!arguments.bind(args, kwargs, "sign_record", names, 5)) return nullptr;
  auto key = to_key_bytes(arguments[0], "key");
  if (!key) return nullptr;
  auto seq = to_u64(arguments[1], "seq");
  if (!seq) return nullptr;
  auto type = to_text(arguments[2], "type_");
  if (!type) return nullptr;
  auto payload_json = to_text(arguments[3], "payload_json");
  if (!payload_json) return nullptr;
  auto prev_sig = to_text(arguments[4], "prev_sig");
  if (!prev_sig) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    auto payload = json::parse(*payload_json);
    if (!payload) return fail("invalid payload JSON: " + payload.error());
    return with_fault_prefix(events::sign_record(*key, *seq, *type, *payload, *prev_sig),
                             "non-canonicalizable payload: ");
  }));
}

PyObject* world_state_hash(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "state_json"};
  Arguments<2> arguments;
  if (!arguments.bind(args, kwargs, "world_state_hash", names, 2)) return nullptr;
  auto key = to_text(arguments[0], "key");
  if (!key) return nullptr;
  auto state_json = to_text(arguments[1], "state_json");
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

PyObject* global_region_hash(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "regions_json"};
  Arguments<2> arguments;
  if (!arguments.bind(args, kwargs, "global_region_hash", names, 2)) return nullptr;
  auto key = to_text(arguments[0], "key");
  if (!key) return nullptr;
  auto regions_json = to_text(arguments[1], "regions_json");
  if (!regions_json) return nullptr;
  return text_or_value_error(without_interpreter_lock([&]() -> Result<std::string> {
    auto regions = json::parse(*regions_json);
    if (!regions) return fail("bad regions json: " + regions.error());
    return with_fault_prefix(snapshot::global_region_hash(*key, *regions), "region hash: ");
  }));
}

const PyMethodDef kMethods[] = {
    method<hmac_sha256_hex>("hmac_sha256_hex", "hmac_sha256_hex(key, message)\n--\n\n"),
    method<sign_record>("sign_record",
                        "sign_record(key, seq, type_, payload_json, prev_sig)\n--\n\nSign one event record. "
                        "`payload_json` is a JSON string (e.g. json.dumps(...));\nraises ValueError if it is not valid "
                        "JSON or carries a non-canonicalizable\nvalue (e.g. a fractional number - banned from signed "
                        "event data)."),
    method<world_state_hash>("world_state_hash",
                             "world_state_hash(key, state_json)\n--\n\nHMAC-SHA-256 of the canonical world state "
                             "(byte-identical to TS/Python worldStateHash)."),
    method<global_region_hash>("global_region_hash",
                               "global_region_hash(key, regions_json)\n--\n\nThe global region hash "
                               "(interest-management Merkle root). `regions_json` is\n{ regionId: regionState, ... }. "
                               "Byte-identical to TS globalRegionHash."),
};

}  // namespace

std::span<const PyMethodDef> signing_methods() { return kMethods; }

}  // namespace kest::boundary
