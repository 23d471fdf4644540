// Strict parsing into the value model. RapidJSON's SAX reader validates the grammar and UTF-8,
// hands numbers over as their raw text (so the three number kinds are decided here, exactly),
// and lets the handler refuse the 128th nesting level before the reader descends into it.
#include <charconv>
#include <limits>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "kest/json.hpp"

namespace kest::json {
namespace {

constexpr unsigned kParseFlags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;

// Reads a number literal (already validated by the reader) into its kind.
std::expected<Value, std::string> number_from_literal(std::string_view text) {
  bool negative = !text.empty() && text.front() == '-';
  bool integral = text.find_first_of(".eE") == std::string_view::npos;
  if (integral) {
    std::string_view digits = negative ? text.substr(1) : text;
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
      if (!negative) return Value(magnitude);
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (magnitude == 0) return Value(-0.0);  // "-0" is the float negative zero
      if (magnitude < kMinMagnitude) return Value(-static_cast<std::int64_t>(magnitude));
      if (magnitude == kMinMagnitude) return Value(std::numeric_limits<std::int64_t>::min());
    }
    // Beyond both integer kinds: the literal becomes a float.
  }
  double d = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Either too large for a double or so small it rounds to zero: tell them by the exponent.
    std::size_t e = text.find_first_of("eE");
    std::string_view mantissa = text.substr(0, e);
    std::size_t point = mantissa.find('.');
    std::size_t first_nonzero = mantissa.find_first_not_of("-0.");
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::string_view exp_text = text.substr(e + 1);
      if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
      auto r = std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
      if (r.ec != std::errc())
        exponent = exp_text.front() == '-' ? std::numeric_limits<long long>::min() / 2
                                           : std::numeric_limits<long long>::max() / 2;
    }
    std::size_t int_end = point == std::string_view::npos ? mantissa.size() : point;
    long long magnitude_digits = static_cast<long long>(int_end) - static_cast<long long>(first_nonzero);
    if (first_nonzero != std::string_view::npos && magnitude_digits + exponent > 0) {
      return std::unexpected(std::string(rapidjson::GetParseError_En(rapidjson::kParseErrorNumberTooBig)));
    }
    return Value(negative ? -0.0 : 0.0);
  }
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::unexpected(std::string("Invalid number."));
  }
  return Value(d);
}

std::string located(std::string_view description, std::size_t offset) {
  return std::string(description) + " (at offset " + std::to_string(offset) + ")";
}

// Builds values without recursion. Every finished value waits on one flat stack until its
// container closes; the container then takes its elements off the top in one exact-sized move,
// so no container grows element by element.
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  bool Null() { return add(nullptr); }
  bool Bool(bool b) { return add(b); }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    auto number = number_from_literal(std::string_view(str, length));
    if (!number) {
      failure_ = std::move(number.error());
      return false;
    }
    return add(std::move(*number));
  }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    std::string_view text(str, length);
    if (!check_no_surrogate(text)) return false;
    return add(std::string(text));
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    std::string_view text(str, length);
    if (!check_no_surrogate(text)) return false;
    keys_.emplace_back(text);
    return true;
  }
  bool StartObject() { return open(); }
  bool StartArray() { return open(); }
  bool EndObject(rapidjson::SizeType) {
    OpenContainer container = open_.back();
    open_.pop_back();
    std::vector<Member> members;
    members.reserve(keys_.size() - container.first_key);
    for (std::size_t k = container.first_key, v = container.first_value; k < keys_.size(); ++k, ++v) {
      members.push_back(Member{std::move(keys_[k]), std::move(values_[v])});
    }
    keys_.resize(container.first_key);
    values_.resize(container.first_value);
    return add(Object::from_members(std::move(members)));
  }
  bool EndArray(rapidjson::SizeType) {
    OpenContainer container = open_.back();
    open_.pop_back();
    auto first = values_.begin() + static_cast<std::ptrdiff_t>(container.first_value);
    Array elements(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    return add(std::move(elements));
  }

  Value take_root() { return std::move(values_.back()); }
  const std::string& failure() const { return failure_; }

 private:
  // Where an open container's elements (and, for an object, its keys) start on the stacks.
  struct OpenContainer {
    std::size_t first_value;
    std::size_t first_key;
  };

  // The reader refuses surrogates written as raw bytes and a high surrogate escape without its
  // low half, but decodes a lone low surrogate escape ("\uDC00") into the bytes ED B0..BF.
  // Whatever surrogate bytes a decoded string holds therefore came from such an escape.
  bool check_no_surrogate(std::string_view text) {
    for (std::size_t i = text.find('\xED'); i != std::string_view::npos; i = text.find('\xED', i + 1)) {
      if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
        failure_ = rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid);
        return false;
      }
    }
    return true;
  }

  bool open() {
    if (open_.size() >= kMaxParseDepth) {
      failure_ = "Nesting deeper than " + std::to_string(kMaxParseDepth) + " levels.";
      return false;
    }
    open_.push_back(OpenContainer{values_.size(), keys_.size()});
    return true;
  }

  template <typename T>
  bool add(T&& value) {
    values_.emplace_back(std::forward<T>(value));
    return true;
  }

  std::vector<OpenContainer> open_;
  std::vector<Value> values_;
  std::vector<std::string> keys_;
  std::string failure_;
};

}  // namespace

std::expected<Value, std::string> parse(std::string_view text) {
  TreeBuilder builder;
  rapidjson::Reader reader;
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, builder);
  if (!result) {
    bool refused_by_builder = result.Code() == rapidjson::kParseErrorTermination && !builder.failure().empty();
    return std::unexpected(
        located(refused_by_builder ? builder.failure() : rapidjson::GetParseError_En(result.Code()), result.Offset()));
  }
  // The reader takes a NUL byte for the end of its input, so it stops early at a NUL after the
  // value; whatever follows the value there is refused here.
  if (stream.Tell() != text.size()) {
    return std::unexpected(
        located(rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular), stream.Tell()));
  }
  return builder.take_root();
}

}  // namespace kest::json
