// Signatures and state hashes: hmac_sha256_hex, sign_record, world_state_hash and
// global_region_hash.
#include "kest/signing.hpp"
#include "kest/snapshot.hpp"
#include "methods.hpp"

namespace kest::boundary {
namespace {

// The hash text, or a ValueError "{prefix}{kind}" naming the canonical-form fault.
PyObject* hash_or_value_error(const std::expected<std::string, events::CanonError>& hash, std::string_view prefix) {
  if (hash) return to_py_text(*hash);
  return raise_value_error(std::string(prefix) + std::string(events::canon_error_name(hash.error())));
}

PyObject* hmac_sha256_hex(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "message"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "hmac_sha256_hex", names, 2, slots)) return nullptr;
  auto key = to_key_bytes(slots[0], "key");
  if (!key) return nullptr;
  auto message = to_text(slots[1], "message");
  if (!message) return nullptr;
  return to_py_text(events::hmac_sha256_hex(*key, *message));
}

PyObject* sign_record(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "seq", "type_", "payload_json", "prev_sig"};
  PyObject* slots[5];
  if (!bind_arguments(args, kwargs, "sign_record", names, 5, slots)) return nullptr;
  auto key = to_key_bytes(slots[0], "key");
  if (!key) return nullptr;
  auto seq = to_u64(slots[1], "seq");
  if (!seq) return nullptr;
  auto type = to_text(slots[2], "type_");
  if (!type) return nullptr;
  auto payload_json = to_text(slots[3], "payload_json");
  if (!payload_json) return nullptr;
  auto prev_sig = to_text(slots[4], "prev_sig");
  if (!prev_sig) return nullptr;
  auto payload = json::parse(*payload_json);
  if (!payload) return raise_value_error("invalid payload JSON: " + payload.error());
  return hash_or_value_error(events::sign_record(*key, *seq, *type, *payload, *prev_sig),
                             "non-canonicalizable payload: ");
}

PyObject* world_state_hash(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "state_json"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "world_state_hash", names, 2, slots)) return nullptr;
  auto key = to_text(slots[0], "key");
  if (!key) return nullptr;
  auto state_json = to_text(slots[1], "state_json");
  if (!state_json) return nullptr;
  auto hash = snapshot::world_state_hash_of_text(*key, *state_json);
  if (hash) return to_py_text(*hash);
  if (const auto* parse_error = std::get_if<std::string>(&hash.error())) {
    return raise_value_error("bad state json: " + *parse_error);
  }
  return raise_value_error("hash: " +
                           std::string(events::canon_error_name(std::get<events::CanonError>(hash.error()))));
}

PyObject* global_region_hash(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"key", "regions_json"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "global_region_hash", names, 2, slots)) return nullptr;
  auto key = to_text(slots[0], "key");
  if (!key) return nullptr;
  auto regions_json = to_text(slots[1], "regions_json");
  if (!regions_json) return nullptr;
  auto regions = json::parse(*regions_json);
  if (!regions) return raise_value_error("bad regions json: " + regions.error());
  return hash_or_value_error(snapshot::global_region_hash(*key, *regions), "region hash: ");
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
