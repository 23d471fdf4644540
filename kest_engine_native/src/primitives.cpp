// The primitive functions: version, range bands, dice, PCG32 output, floor division and
// initiative order. Most take less time than releasing the interpreter lock and taking it back,
// so they keep it; a long dice sum or a long initiative list releases it for its work.
#include <charconv>

#include "kest/combat.hpp"
#include "kest/math.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace kest::boundary {
namespace {

PyObject* version(PyObject* args, PyObject* kwargs) {
  if (!bind_arguments(args, kwargs, "version", {}, 0, {})) return nullptr;
  return to_py_text(kVersion);
}

PyObject* band_from_distance_ft(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"feet"};
  PyObject* slots[1];
  if (!bind_arguments(args, kwargs, "band_from_distance_ft", names, 1, slots)) return nullptr;
  auto feet = to_i64(slots[0], "feet");
  if (!feet) return nullptr;
  return to_py_text(combat::band_name(combat::band_from_distance_ft(*feet)));
}

PyObject* band_within(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"band", "max_band"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "band_within", names, 2, slots)) return nullptr;
  auto band = to_text(slots[0], "band");
  if (!band) return nullptr;
  auto max_band = to_text(slots[1], "max_band");
  if (!max_band) return nullptr;
  return PyBool_FromLong(combat::band_within(*band, *max_band) ? 1 : 0);
}

PyObject* roll_die(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"seed", "sides"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "roll_die", names, 2, slots)) return nullptr;
  auto seed = to_u64(slots[0], "seed");
  if (!seed) return nullptr;
  auto sides = to_u32(slots[1], "sides");
  if (!sides) return nullptr;
  return PyLong_FromUnsignedLong(math::roll_die(*seed, *sides));
}

PyObject* roll_dice(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"seed", "count", "sides"};
  PyObject* slots[3];
  if (!bind_arguments(args, kwargs, "roll_dice", names, 3, slots)) return nullptr;
  auto seed = to_u64(slots[0], "seed");
  if (!seed) return nullptr;
  auto count = to_u32(slots[1], "count");
  if (!count) return nullptr;
  auto sides = to_u32(slots[2], "sides");
  if (!sides) return nullptr;
  if (*count < kItemsWorthReleasing) return PyLong_FromUnsignedLongLong(math::roll_dice(*seed, *count, *sides));
  return PyLong_FromUnsignedLongLong(without_interpreter_lock([&] { return math::roll_dice(*seed, *count, *sides); }));
}

PyObject* pcg32_next(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"seed"};
  PyObject* slots[1];
  if (!bind_arguments(args, kwargs, "pcg32_next", names, 1, slots)) return nullptr;
  auto seed = to_u64(slots[0], "seed");
  if (!seed) return nullptr;
  return PyLong_FromUnsignedLong(math::pcg32_next(*seed));
}

PyObject* floor_div(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"a", "b"};
  PyObject* slots[2];
  if (!bind_arguments(args, kwargs, "floor_div", names, 2, slots)) return nullptr;
  auto a = to_i64(slots[0], "a");
  if (!a) return nullptr;
  auto b = to_i64(slots[1], "b");
  if (!b) return nullptr;
  auto quotient = math::floor_div(*a, *b);
  if (!quotient) return raise_value_error(quotient.error());
  return PyLong_FromLongLong(*quotient);
}

PyObject* initiative_order_ids(PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"entries"};
  PyObject* slots[1];
  if (!bind_arguments(args, kwargs, "initiative_order_ids", names, 1, slots)) return nullptr;
  auto tuples = to_entry_list(slots[0], "entries");
  if (!tuples) return nullptr;
  auto order = [&] {
    std::vector<combat::InitiativeEntry> entries;
    entries.reserve(tuples->size());
    for (auto [id, total, modifier, d20] : *tuples) {
      entries.push_back(combat::InitiativeEntry{std::to_string(id), total, modifier, d20});
    }
    return combat::initiative_order(std::move(entries));
  };
  std::vector<combat::InitiativeEntry> entries =
      tuples->size() < kItemsWorthReleasing ? order() : without_interpreter_lock(order);
  PyObject* ids = PyList_New(static_cast<Py_ssize_t>(entries.size()));
  if (ids == nullptr) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& text = entries[i].id;
    long long id = 0;  // the ids were written from integers above, so they always read back
    std::from_chars(text.data(), text.data() + text.size(), id);
    PyObject* item = PyLong_FromLongLong(id);
    if (item == nullptr) {
      Py_DECREF(ids);
      return nullptr;
    }
    PyList_SetItem(ids, static_cast<Py_ssize_t>(i), item);
  }
  return ids;
}

const PyMethodDef kMethods[] = {
    method<version>("version", "version()\n--\n\n"),
    method<band_from_distance_ft>("band_from_distance_ft", "band_from_distance_ft(feet)\n--\n\n"),
    method<band_within>("band_within", "band_within(band, max_band)\n--\n\n"),
    method<roll_die>("roll_die", "roll_die(seed, sides)\n--\n\n"),
    method<roll_dice>("roll_dice", "roll_dice(seed, count, sides)\n--\n\n"),
    method<pcg32_next>("pcg32_next", "pcg32_next(seed)\n--\n\n"),
    method<floor_div>("floor_div", "floor_div(a, b)\n--\n\n"),
    method<initiative_order_ids>(
        "initiative_order_ids",
        "initiative_order_ids(entries)\n--\n\nOrder initiative entries and return their ids. Each entry is a\n(id, "
        "total, modifier, d20) tuple. Same tiebreak as the core: total DESC,\nmodifier DESC, d20 DESC, id ASC (string "
        "compare - see the engine's note on the\nid tiebreak; numeric ids round-trip through to_string/parse here)."),
};

}  // namespace

std::span<const PyMethodDef> primitive_methods() { return kMethods; }

}  // namespace kest::boundary
