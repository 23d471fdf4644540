// The compact writer. It walks the value with an explicit stack, so a value of any depth is
// written without recursion.
#include <array>
#include <charconv>
#include <cmath>

#include "kest/json.hpp"

namespace kest::json {
namespace {

template <typename T>
void append_decimal(std::string& out, T n) {
  std::array<char, 24> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n);
  out.append(buffer.data(), end);
}

void append_double(std::string& out, double d) {
  // JSON has no text for NaN or the infinities; like ECMAScript's JSON.stringify, write null.
  if (!std::isfinite(d)) {
    out.append("null");
    return;
  }
  std::array<char, 32> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), d);
  std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  out.append(text);
  // An integral float keeps a fraction so that it reads back as a float, not an integer.
  if (text.find_first_of(".e") == std::string_view::npos) out.append(".0");
}

void append_scalar(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Kind::kNull: out.append("null"); break;
    case Kind::kBool: out.append(value.as_bool() ? "true" : "false"); break;
    case Kind::kUint: append_decimal(out, value.as_uint()); break;
    case Kind::kInt: append_decimal(out, value.as_int()); break;
    case Kind::kDouble: append_double(out, value.as_double()); break;
    case Kind::kString: write_string(out, value.as_string()); break;
    case Kind::kArray:
    case Kind::kObject: break;
  }
}

// One open container: the array or object being written and how far it has got.
struct Frame {
  const Value* container;
  std::size_t next;
};

}  // namespace

void write_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.substr(run_start, i - run_start));
    run_start = i + 1;
    out.push_back('\\');
    switch (c) {
      case '\b': out.push_back('b'); break;
      case '\t': out.push_back('t'); break;
      case '\n': out.push_back('n'); break;
      case '\f': out.push_back('f'); break;
      case '\r': out.push_back('r'); break;
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      default:
        out.append("u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.substr(run_start));
  out.push_back('"');
}

void write_to(std::string& out, const Value& root) {
  std::vector<Frame> stack;
  auto enter = [&](const Value& value) {
    if (value.is_array()) {
      out.push_back('[');
      stack.push_back(Frame{&value, 0});
    } else if (value.is_object()) {
      out.push_back('{');
      stack.push_back(Frame{&value, 0});
    } else {
      append_scalar(out, value);
    }
  };
  enter(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (const Array* array = frame.container->if_array()) {
      if (frame.next == array->size()) {
        out.push_back(']');
        stack.pop_back();
        continue;
      }
      if (frame.next > 0) out.push_back(',');
      enter((*array)[frame.next++]);
    } else {
      const Object& object = frame.container->as_object();
      if (frame.next == object.size()) {
        out.push_back('}');
        stack.pop_back();
        continue;
      }
      if (frame.next > 0) out.push_back(',');
      const Member& member = *(object.begin() + static_cast<std::ptrdiff_t>(frame.next++));
      write_string(out, member.key);
      out.push_back(':');
      enter(member.value);
    }
  }
}

std::string write(const Value& value) {
  std::string out;
  write_to(out, value);
  return out;
}

}  // namespace kest::json
