// Canonical text straight from JSON text, in one pass and without building values.
//
// For the texts a world state is made of, the canonical text is the JSON text itself with its
// whitespace dropped and its objects put in key order: a string without a backslash is written
// exactly as it is quoted in the input (JSON text cannot hold the characters JSON.stringify
// escapes), and an integer literal without fraction, exponent or leading zero is its own
// decimal text. So this pass copies tokens and rearranges only objects whose keys arrive out of
// order. Whatever it is not sure of (an escape, a float, a repeated key, any fault), it hands
// back to the general path, json::parse and then canonical_json, which decides every outcome.
// The grammar it accepts is a part of strict JSON, so it never answers for a text json::parse
// would refuse.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace kest::events {
namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The first eight bytes of a key as one big-endian number, zero-padded. The keys taken here
// hold no byte below 0x20, so comparing these numbers is comparing the keys' leading bytes, a
// shorter key first; only keys that agree on all eight need looking at in full.
std::uint64_t leading_bytes(std::string_view key) {
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < 8; ++i) bytes = bytes << 8 | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return bytes;
}

// The length of the well-formed UTF-8 sequence starting at s[0] (a byte of 0x80 or more), or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence_length(std::string_view s) {
  auto byte = [&](std::size_t i) -> unsigned char { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
  unsigned char lead = byte(0);
  auto second_in = [&](unsigned char low, unsigned char high) { return byte(1) >= low && byte(1) <= high; };
  if (lead >= 0xC2 && lead <= 0xDF) return is_continuation(byte(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    bool second = lead == 0xE0 ? second_in(0xA0, 0xBF) : lead == 0xED ? second_in(0x80, 0x9F) : second_in(0x80, 0xBF);
    return second && is_continuation(byte(2)) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    bool second = lead == 0xF0 ? second_in(0x90, 0xBF) : lead == 0xF4 ? second_in(0x80, 0x8F) : second_in(0x80, 0xBF);
    return second && is_continuation(byte(2)) && is_continuation(byte(3)) ? 4 : 0;
  }
  return 0;
}

class CanonicalScanner {
 public:
  // Every token is copied or dropped, so the canonical text fits in the space of the input.
  explicit CanonicalScanner(std::string_view text) : text_(text), out_(text.size(), '\0') {}

  std::optional<CanonicalText> scan() {
    skip_whitespace();
    while (true) {
      // A value starts here.
      if (at('{') || at('[')) {
        if (!open()) return std::nullopt;
        skip_whitespace();
        bool is_object = open_.back().is_object;
        if (!at(is_object ? '}' : ']')) {
          if (is_object && !key()) return std::nullopt;
          continue;  // on to the first element or member value
        }
        // An empty container ends where it starts.
      } else if (!scalar()) {
        return std::nullopt;
      }
      // A value ended: close what it ends, then find where the next one starts.
      while (true) {
        skip_whitespace();
        if (open_.empty()) {
          if (pos_ != text_.size()) return std::nullopt;
          out_.resize(out_size_);
          // Everything but string contents is ASCII, and string contents are copied unchanged.
          std::size_t utf16_length = out_size_ - extra_utf8_bytes_;
          return CanonicalText{std::move(out_), utf16_length};
        }
        if (at(',')) {
          copy_char();
          skip_whitespace();
          if (open_.back().is_object && !key()) return std::nullopt;
          break;
        }
        if (!close()) return std::nullopt;
      }
    }
  }

 private:
  struct Open {
    bool is_object;
    bool keys_in_doubt;     // some key's byte order may differ from its UTF-16 order
    std::size_t out_start;  // just after the opening bracket
    std::size_t first_member;
  };
  // A member of an open object: its key as the input holds it, and where its text lies.
  struct PendingMember {
    std::uint64_t key_leading_bytes;
    std::string_view key;
    std::size_t out_start;
    std::size_t out_end = 0;  // set when its object is rearranged
  };

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skip_whitespace() {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
  }

  void put(std::string_view s) {
    std::memcpy(out_.data() + out_size_, s.data(), s.size());
    out_size_ += s.size();
  }

  // Copies the punctuation character at the current position.
  void copy_char() { out_[out_size_++] = text_[pos_++]; }

  bool open() {
    if (open_.size() >= json::kMaxParseDepth) return false;  // json::parse refuses the next level
    bool is_object = at('{');
    copy_char();
    open_.push_back(Open{is_object, false, out_size_, members_.size()});
    return true;
  }

  bool close() {
    Open container = open_.back();
    if (!at(container.is_object ? '}' : ']')) return false;
    if (container.is_object && !put_in_order(container)) return false;
    members_.resize(container.first_member);
    open_.pop_back();
    copy_char();
    return true;
  }

  // A member's key and the colon after it; the member's value comes next.
  bool key() {
    std::size_t start = pos_;
    if (!at('"')) return false;
    auto key = string();
    if (!key || *key == "__proto__") return false;
    open_.back().keys_in_doubt = open_.back().keys_in_doubt || std::ranges::any_of(*key, [](char c) {
                                   return static_cast<unsigned char>(c) >= 0xEE;
                                 });
    members_.push_back(PendingMember{leading_bytes(*key), *key, out_size_});
    put(text_.substr(start, pos_ - start));
    skip_whitespace();
    if (!at(':')) return false;
    copy_char();
    skip_whitespace();
    return true;
  }

  bool scalar() {
    std::size_t start = pos_;
    if (at('"')) {
      if (!string()) return false;
    } else if (!literal("true") && !literal("false") && !literal("null") && !integer()) {
      return false;
    }
    put(text_.substr(start, pos_ - start));
    return true;
  }

  bool literal(std::string_view word) {
    if (!text_.substr(pos_).starts_with(word)) return false;
    pos_ += word.size();
    return true;
  }

  // A JS-safe integer other than "-0", with nothing after it that would make it a float.
  bool integer() {
    std::size_t start = pos_;
    if (at('-')) ++pos_;
    std::size_t digits_start = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    std::string_view digits = text_.substr(digits_start, pos_ - digits_start);
    if (digits.empty() || (digits.front() == '0' && (digits.size() > 1 || digits_start > start))) return false;
    if (at('.') || at('e') || at('E')) return false;
    constexpr std::string_view kMaxSafeDigits = "9007199254740991";
    // Digit strings of one length compare as their values do.
    return digits.size() < kMaxSafeDigits.size() ||
           (digits.size() == kMaxSafeDigits.size() && digits <= kMaxSafeDigits);
  }

  // A string without escapes and in NFC, from its opening quote: its content, with the position
  // after its closing quote.
  std::optional<std::string_view> string() {
    ++pos_;  // the opening quote
    std::size_t start = pos_;
    std::size_t extra_bytes = 0;  // UTF-8 bytes beyond the UTF-16 units they make
    while (pos_ < text_.size()) {
      auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte == '"') {
        std::string_view content = text_.substr(start, pos_ - start);
        ++pos_;
        if (extra_bytes > 0 && !assert_nfc(content)) return std::nullopt;
        extra_utf8_bytes_ += extra_bytes;
        return content;
      }
      if (byte == '\\' || byte < 0x20) return std::nullopt;
      if (byte < 0x80) {
        ++pos_;
        continue;
      }
      std::size_t length = utf8_sequence_length(text_.substr(pos_));
      if (length == 0) return std::nullopt;
      extra_bytes += length == 4 ? 2 : length - 1;
      pos_ += length;
    }
    return std::nullopt;
  }

  // Puts the members of a closing object in UTF-16 order of their keys; a repeated key (whose
  // last value would win) is left to the general path.
  bool put_in_order(const Open& object) {
    auto members = std::span(members_).subspan(object.first_member);
    auto less = [&](const PendingMember& a, const PendingMember& b) {
      if (object.keys_in_doubt) return json::utf16_less(a.key, b.key);
      if (a.key_leading_bytes != b.key_leading_bytes) return a.key_leading_bytes < b.key_leading_bytes;
      return a.key < b.key;
    };
    auto not_before = [&](const PendingMember& a, const PendingMember& b) { return !less(a, b); };
    if (std::ranges::adjacent_find(members, not_before) == members.end()) return true;
    // Member i's text ends at the comma before member i + 1, the last one's at the end.
    for (std::size_t i = 0; i < members.size(); ++i) {
      members[i].out_end = i + 1 < members.size() ? members[i + 1].out_start - 1 : out_size_;
    }
    std::ranges::sort(members, less);
    if (std::ranges::adjacent_find(members, not_before) != members.end()) return false;
    reordered_.clear();
    reordered_.reserve(out_size_ - object.out_start);
    for (const PendingMember& member : members) {
      if (!reordered_.empty()) reordered_.push_back(',');
      reordered_.append(out_, member.out_start, member.out_end - member.out_start);
    }
    // The same members and commas in another order take the same space.
    std::memcpy(out_.data() + object.out_start, reordered_.data(), reordered_.size());
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string out_;  // sized for the whole input; the first out_size_ bytes are written
  std::size_t out_size_ = 0;
  std::size_t extra_utf8_bytes_ = 0;
  std::vector<Open> open_;
  std::vector<PendingMember> members_;  // of every open object, innermost last
  std::string reordered_;               // scratch space for rearranging objects, kept from one to the next
};

}  // namespace

std::optional<CanonicalText> canonical_json_of_text(std::string_view text) { return CanonicalScanner(text).scan(); }

}  // namespace kest::events
