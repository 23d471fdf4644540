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

constexpr Function<0> kVersionFunction = {"version", {}};

PyObject* version(PyObject* args, PyObject* kwargs) {
  Arguments<0> arguments(kVersionFunction);
  if (!arguments.bind(args, kwargs)) return nullptr;
  return to_py_text(kVersion);
}

constexpr Function<1> kBandFromDistanceFt = declare("band_from_distance_ft", {{"feet"}});

PyObject* band_from_distance_ft(PyObject* args, PyObject* kwargs) {
  Arguments<1> arguments(kBandFromDistanceFt);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto feet = arguments.i64(0);
  if (!feet) return nullptr;
  return to_py_text(combat::band_name(combat::band_from_distance_ft(*feet)));
}

constexpr Function<2> kBandWithin = declare("band_within", {{"band"}, {"max_band"}});

PyObject* band_within(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kBandWithin);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto band = arguments.text(0);
  if (!band) return nullptr;
  auto max_band = arguments.text(1);
  if (!max_band) return nullptr;
  return PyBool_FromLong(combat::band_within(*band, *max_band) ? 1 : 0);
}

constexpr Function<2> kRollDie = declare("roll_die", {{"seed"}, {"sides"}});

PyObject* roll_die(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kRollDie);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto seed = arguments.u64(0);
  if (!seed) return nullptr;
  auto sides = arguments.u32(1);
  if (!sides) return nullptr;
  return PyLong_FromUnsignedLong(math::roll_die(*seed, *sides));
}

constexpr Function<3> kRollDice = declare("roll_dice", {{"seed"}, {"count"}, {"sides"}});

PyObject* roll_dice(PyObject* args, PyObject* kwargs) {
  Arguments<3> arguments(kRollDice);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto seed = arguments.u64(0);
  if (!seed) return nullptr;
  auto count = arguments.u32(1);
  if (!count) return nullptr;
  auto sides = arguments.u32(2);
  if (!sides) return nullptr;
  if (*count < kItemsWorthReleasing) return PyLong_FromUnsignedLongLong(math::roll_dice(*seed, *count, *sides));
  return PyLong_FromUnsignedLongLong(without_interpreter_lock([&] { return math::roll_dice(*seed, *count, *sides); }));
}

constexpr Function<1> kPcg32Next = declare("pcg32_next", {{"seed"}});

PyObject* pcg32_next(PyObject* args, PyObject* kwargs) {
  Arguments<1> arguments(kPcg32Next);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto seed = arguments.u64(0);
  if (!seed) return nullptr;
  return PyLong_FromUnsignedLong(math::pcg32_next(*seed));
}

constexpr Function<2> kFloorDiv = declare("floor_div", {{"a"}, {"b"}});

PyObject* floor_div(PyObject* args, PyObject* kwargs) {
  Arguments<2> arguments(kFloorDiv);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto a = arguments.i64(0);
  if (!a) return nullptr;
  auto b = arguments.i64(1);
  if (!b) return nullptr;
  auto quotient = math::floor_div(*a, *b);
  if (!quotient) return raise_value_error(quotient.error());
  return PyLong_FromLongLong(*quotient);
}

constexpr Function<1> kInitiativeOrderIds = declare(
    "initiative_order_ids", {{"entries"}},
    "Order initiative entries and return their ids. Each entry is a\n(id, "
    "total, modifier, d20) tuple. Same tiebreak as the core: total DESC,\nmodifier DESC, d20 DESC, id ASC (string "
    "compare - see the engine's note on the\nid tiebreak; numeric ids round-trip through to_string/parse here).");

PyObject* initiative_order_ids(PyObject* args, PyObject* kwargs) {
  Arguments<1> arguments(kInitiativeOrderIds);
  if (!arguments.bind(args, kwargs)) return nullptr;
  auto tuples = arguments.entry_list(0);
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
    method<version>(kVersionFunction), method<band_from_distance_ft>(kBandFromDistanceFt),
    method<band_within>(kBandWithin),  method<roll_die>(kRollDie),
    method<roll_dice>(kRollDice),      method<pcg32_next>(kPcg32Next),
    method<floor_div>(kFloorDiv),      method<initiative_order_ids>(kInitiativeOrderIds),
};

}  // namespace

std::span<const PyMethodDef> primitive_methods() { return kMethods; }

}  // namespace kest::boundary
