// Canonical text straight from JSON text, in one pass and without building values.
//
// For the texts a world state is made of, the canonical text is the JSON text itself with its
// whitespace dropped and its objects put in key order: a string without a backslash is written
// exactly as it is quoted in the input (JSON text cannot hold the characters JSON.stringify
// escapes), and an integer literal without fraction, exponent or leading zero is its own
// decimal text. So this pass copies tokens, quotes afresh only strings that hold escapes, and
// rearranges only objects whose keys arrive out of order. Whatever it is not sure of (a float, a
// repeated key, any fault), it hands back to the general path, json::parse and then
// canonical_json, which decides every outcome. The grammar it accepts is a part of strict JSON,
// so it never answers for a text json::parse would refuse.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "canonical_keys.hpp"
#include "kest/canonical.hpp"
#include "kest/utf8.hpp"

namespace kest::events {
namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ASCII a string holds as it is: not a control character, quotation mark or backslash.
bool is_plain_ascii(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

std::optional<char32_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<char32_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<char32_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<char32_t>(c - 'A' + 10);
  return std::nullopt;
}

// Appends the UTF-8 form of a code point; returns how many bytes it takes beyond its UTF-16 units.
std::size_t append_utf8(std::string& out, char32_t cp) {
  auto byte = [&](char32_t bits) { out.push_back(static_cast<char>(bits)); };
  if (cp < 0x80) {
    byte(cp);
    return 0;
  }
  if (cp < 0x800) {
    byte(0xC0 | cp >> 6);
    byte(0x80 | (cp & 0x3F));
    return 1;
  }
  if (cp < 0x10000) {
    byte(0xE0 | cp >> 12);
    byte(0x80 | (cp >> 6 & 0x3F));
    byte(0x80 | (cp & 0x3F));
    return 2;
  }
  byte(0xF0 | cp >> 18);
  byte(0x80 | (cp >> 12 & 0x3F));
  byte(0x80 | (cp >> 6 & 0x3F));
  byte(0x80 | (cp & 0x3F));
  return 2;
}

// Eight bytes from `p` as one number whose lowest byte is p[0], whatever the machine's byte order.
std::uint64_t load_little_endian(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// How many of the eight bytes from `p` a string holds as they are (plain ASCII), all eight at
// once: a byte is flagged when it is a quotation mark, a backslash, below 0x20 or from 0x80 up.
// A borrow can flag a byte wrongly only above a byte rightly flagged, so the lowest flag is true.
std::size_t plain_ascii_prefix(const char* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighBits = kOnes * 0x80;
  std::uint64_t word = load_little_endian(p);
  auto below = [&](std::uint64_t bytes, unsigned char bound) { return (bytes - kOnes * bound) & ~bytes & kHighBits; };
  std::uint64_t flagged =
      below(word ^ (kOnes * '"'), 1) | below(word ^ (kOnes * '\\'), 1) | below(word, 0x20) | (word & kHighBits);
  return static_cast<std::size_t>(std::countr_zero(flagged)) / 8;
}

// The first eight bytes of a key as one big-endian number, zero-padded. A key that sorts before
// another has the smaller or an equal number (padding meets a real byte only where the shorter
// key ends, or agrees with a NUL), so only keys with equal numbers need comparing in full. The
// bytes up to `readable_end` may be read, so a key with eight of them is loaded in one go.
std::uint64_t leading_bytes(std::string_view key, const char* readable_end) {
  if (readable_end - key.data() >= 8) {
    std::uint64_t bytes = std::byteswap(load_little_endian(key.data()));
    return key.size() >= 8 ? bytes : bytes & ~(~std::uint64_t{0} >> (8 * key.size()));
  }
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

// Copies `length` bytes; one that short is copied as a single fixed-size block, for which both
// sides must have room.
constexpr std::size_t kShortCopy = 16;

// Members that arrive in runs at least this long on average are merged rather than sorted.
constexpr std::size_t kMinMergedRun = 16;

void copy_short_or_long(char* to, const char* from, std::size_t length) {
  if (length <= kShortCopy) {
    std::memcpy(to, from, kShortCopy);  // a constant size, so a couple of moves and no call
  } else {
    std::memcpy(to, from, length);
  }
}

class CanonicalScanner {
 public:
  // Every token is copied, dropped or (a string with escapes) written no longer than the input
  // wrote it, so the canonical text fits in the space of the input. The slack behind it lets a
  // short token be copied as one fixed-size block, whose excess the next token overwrites. The
  // buffers are not cleared: every byte read back has been written.
  explicit CanonicalScanner(std::string_view text)
      : text_(text), capacity_(text.size() + kShortCopy), out_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

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
          // All but the non-ASCII characters of strings is ASCII, and those were counted as read.
          std::size_t utf16_length = out_size_ - extra_utf8_bytes_;
          return CanonicalText{std::move(out_), out_size_, utf16_length};
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
    bool keys_in_order;     // every key so far sorts after the one before it
    bool keys_in_doubt;     // some key's byte order may differ from its UTF-16 order
    std::size_t out_start;  // just after the opening bracket
    std::size_t first_member;
    std::size_t first_escaped_key;
  };
  // A string read from its opening quote to just after its closing one.
  struct StringToken {
    std::string_view content;  // with its escapes decoded
    bool escaped;
    bool non_ascii;
  };
  // A member of an open object: its key as the input holds it, and where its text lies.
  struct PendingMember {
    std::uint64_t key_leading_bytes;
    std::string_view key;
    std::size_t out_start;
    std::size_t out_end;  // set when its object is rearranged
    bool key_in_doubt;    // may sort apart from byte order
  };
  // A member of an object being rearranged, by its place among the object's members.
  struct SortKey {
    std::uint64_t leading_bytes;
    std::size_t member;
  };

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void skip_whitespace() {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
  }

  // Copies the input from `start` up to the current position.
  void copy_from(std::size_t start) {
    std::size_t length = pos_ - start;
    // The output never runs ahead of the input, so a block that stays inside the input also
    // stays inside the output and its slack.
    if (text_.size() - start >= kShortCopy) {
      copy_short_or_long(out_.get() + out_size_, text_.data() + start, length);
    } else {
      std::memcpy(out_.get() + out_size_, text_.data() + start, length);
    }
    out_size_ += length;
  }

  void put(std::string_view s) {
    std::memcpy(out_.get() + out_size_, s.data(), s.size());
    out_size_ += s.size();
  }

  // Copies the punctuation character at the current position.
  void copy_char() { out_[out_size_++] = text_[pos_++]; }

  bool open() {
    if (open_.size() >= json::kMaxParseDepth) return false;  // json::parse refuses the next level
    bool is_object = at('{');
    copy_char();
    open_.push_back(Open{is_object, true, false, out_size_, members_.size(), escaped_keys_.size()});
    return true;
  }

  bool close() {
    Open container = open_.back();
    if (!at(container.is_object ? '}' : ']')) return false;
    if (container.is_object && !container.keys_in_order && !put_in_order(container)) return false;
    members_.resize(container.first_member);
    escaped_keys_.resize(container.first_escaped_key);
    open_.pop_back();
    copy_char();
    return true;
  }

  // A member's key and the colon after it; the member's value comes next.
  bool key() {
    std::size_t start = pos_;
    if (!at('"')) return false;
    auto token = string();
    if (!token || token->content == kForbiddenKeyText) return false;
    // The members keep their keys until the object closes; decoded ones need a home till then.
    std::string_view key = token->escaped ? escaped_keys_.emplace_back(token->content) : token->content;
    const char* readable_end = token->escaped ? key.data() + key.size() : text_.data() + text_.size();
    // Built in place: a copy assembled on the stack first would be read back wider than it was
    // written, which stalls the processor on every key.
    const PendingMember& member = members_.emplace_back(leading_bytes(key, readable_end), key, out_size_, 0,
                                                        token->non_ascii && may_sort_apart_from_byte_order(key));
    Open& object = open_.back();
    object.keys_in_doubt = object.keys_in_doubt || member.key_in_doubt;
    if (object.keys_in_order && members_.size() - object.first_member > 1) {
      const PendingMember& previous = members_[members_.size() - 2];
      object.keys_in_order = sorts_before(previous, member, previous.key_in_doubt || member.key_in_doubt);
    }
    put_string(start, *token);
    skip_whitespace();
    if (!at(':')) return false;
    copy_char();
    skip_whitespace();
    return true;
  }

  // UTF-16 order of two keys; byte order, which agrees with it, unless one of them is in doubt.
  static bool sorts_before(const PendingMember& a, const PendingMember& b, bool in_doubt) {
    if (in_doubt) return json::utf16_less(a.key, b.key);
    if (a.key_leading_bytes != b.key_leading_bytes) return a.key_leading_bytes < b.key_leading_bytes;
    return a.key < b.key;
  }

  bool scalar() {
    std::size_t start = pos_;
    if (at('"')) {
      auto token = string();
      if (!token) return false;
      put_string(start, *token);
      return true;
    }
    // The first character tells which literal it can only be.
    bool taken = at('t') ? literal("true") : at('f') ? literal("false") : at('n') ? literal("null") : integer();
    if (!taken) return false;
    copy_from(start);
    return true;
  }

  // A string without escapes is written as the input quotes it; one with escapes is quoted afresh.
  void put_string(std::size_t start, const StringToken& token) {
    if (!token.escaped) {
      copy_from(start);
      return;
    }
    quoted_.clear();
    json::write_string(quoted_, token.content);
    put(quoted_);
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

  void skip_plain_ascii() {
    while (text_.size() - pos_ >= 8) {
      std::size_t plain = plain_ascii_prefix(text_.data() + pos_);
      pos_ += plain;
      if (plain < 8) return;
    }
    while (pos_ < text_.size() && is_plain_ascii(text_[pos_])) ++pos_;
  }

  // A string in NFC, with the position after its closing quote.
  std::optional<StringToken> string() {
    std::size_t start = ++pos_;  // after the opening quote
    skip_plain_ascii();
    if (at('"')) {  // most strings are plain ASCII throughout
      ++pos_;
      return StringToken{text_.substr(start, pos_ - 1 - start), false, false};
    }
    return string_from(start);
  }

  // The rest of a string that holds more than plain ASCII, from the character at the current
  // position; `start` is where its content starts. Kept out of line so that the common path
  // above stays small where it is inlined.
  [[gnu::noinline]] std::optional<StringToken> string_from(std::size_t start) {
    bool escaped = false;
    std::size_t extra_bytes = 0;  // UTF-8 bytes beyond the UTF-16 units they make
    while (pos_ < text_.size()) {
      std::size_t run_start = pos_;
      skip_plain_ascii();
      if (escaped) unescaped_.append(text_.substr(run_start, pos_ - run_start));
      if (pos_ == text_.size()) break;
      auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte == '"') {
        std::string_view content = escaped ? std::string_view(unescaped_) : text_.substr(start, pos_ - start);
        ++pos_;
        if (extra_bytes > 0 && !assert_nfc(content)) return std::nullopt;
        extra_utf8_bytes_ += extra_bytes;
        return StringToken{content, escaped, extra_bytes > 0};
      }
      if (byte == '\\') {
        if (!std::exchange(escaped, true)) unescaped_.assign(text_.substr(start, pos_ - start));
        auto extra = unescape();
        if (!extra) return std::nullopt;
        extra_bytes += *extra;
        continue;
      }
      std::size_t length = utf8_sequence_length(text_.substr(pos_));  // 0 for a control character too
      if (length == 0) return std::nullopt;
      extra_bytes += length == 4 ? 2 : length - 1;
      if (escaped) unescaped_.append(text_.substr(pos_, length));
      pos_ += length;
    }
    return std::nullopt;
  }

  // Decodes the escape at the current position onto unescaped_; returns the UTF-8 bytes it
  // takes beyond its UTF-16 units. A lone surrogate, which json::parse refuses, is not taken.
  std::optional<std::size_t> unescape() {
    if (pos_ + 1 >= text_.size()) return std::nullopt;
    char kind = text_[pos_ + 1];
    pos_ += 2;
    static constexpr std::string_view kShortForms = "\"\\/bfnrt";
    static constexpr std::string_view kShortFormCharacters = "\"\\/\b\f\n\r\t";
    if (std::size_t i = kShortForms.find(kind); i != std::string_view::npos) {
      unescaped_.push_back(kShortFormCharacters[i]);
      return 0;
    }
    if (kind != 'u') return std::nullopt;
    auto code_point = code_unit();
    if (!code_point || (*code_point >= 0xDC00 && *code_point <= 0xDFFF)) return std::nullopt;
    if (*code_point >= 0xD800 && *code_point <= 0xDBFF) {
      if (!text_.substr(pos_).starts_with("\\u")) return std::nullopt;
      pos_ += 2;
      auto low = code_unit();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
      code_point = 0x10000 + ((*code_point - 0xD800) << 10) + (*low - 0xDC00);
    }
    return append_utf8(unescaped_, *code_point);
  }

  // The four hex digits of a \u escape.
  std::optional<char32_t> code_unit() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    char32_t unit = 0;
    for (char c : text_.substr(pos_, 4)) {
      auto digit = hex_digit(c);
      if (!digit) return std::nullopt;
      unit = unit << 4 | *digit;
    }
    pos_ += 4;
    return unit;
  }

  // Puts the members of a closing object whose keys arrived out of order in UTF-16 order of their
  // keys; a repeated key (whose last value would win) is left to the general path.
  bool put_in_order(const Open& object) {
    auto members = std::span(members_).subspan(object.first_member);
    // The sort moves small (leading bytes, member) pairs rather than the members, and most pairs
    // are told apart by their leading bytes alone.
    order_.clear();
    for (std::size_t i = 0; i < members.size(); ++i) {
      order_.push_back(SortKey{members[i].key_leading_bytes, i});
      // Member i's text ends at the comma before member i + 1, the last one's at the end.
      members[i].out_end = i + 1 < members.size() ? members[i + 1].out_start - 1 : out_size_;
    }
    auto less = [&](const SortKey& a, const SortKey& b) {
      if (!object.keys_in_doubt && a.leading_bytes != b.leading_bytes) return a.leading_bytes < b.leading_bytes;
      return sorts_before(members[a.member], members[b.member], object.keys_in_doubt);
    };
    sort_members(less);
    auto not_before = [&](const SortKey& a, const SortKey& b) { return !less(a, b); };
    if (std::ranges::adjacent_find(order_, not_before) != order_.end()) return false;
    // The members are gathered into the scratch buffer (both buffers have the slack of the input's
    // size for the short copies), and the same members and commas in another order take the same
    // space. An object holding more text than precedes it is gathered where it will lie, and the
    // text before it copied over, after which the buffers trade places; any other is gathered at
    // the scratch buffer's start and copied back. Either way the lesser part is copied, and the
    // scratch buffer's pages are touched no further than the output's.
    if (!reordered_) reordered_ = std::make_unique_for_overwrite<char[]>(capacity_);
    std::size_t size = out_size_ - object.out_start;
    bool trade_places = size > object.out_start;
    char* const gathered = reordered_.get() + (trade_places ? object.out_start : 0);
    char* to = gathered;
    for (const SortKey& key : order_) {
      const PendingMember& member = members[key.member];
      if (to != gathered) *to++ = ',';
      copy_short_or_long(to, out_.get() + member.out_start, member.out_end - member.out_start);
      to += member.out_end - member.out_start;
    }
    if (trade_places) {
      std::memcpy(reordered_.get(), out_.get(), object.out_start);
      std::swap(out_, reordered_);
    } else {
      std::memcpy(out_.get() + object.out_start, gathered, size);
    }
    return true;
  }

  // Sorts order_. A program's map kept in insertion order ("e0" ... "e9", "e10" ... "e99", ...)
  // arrives as a few runs already in order, which merging joins in far fewer steps than sorting.
  template <class Less>
  void sort_members(const Less& less) {
    run_ends_.clear();
    for (std::size_t i = 1; i < order_.size(); ++i) {
      if (less(order_[i], order_[i - 1])) run_ends_.push_back(i);
    }
    run_ends_.push_back(order_.size());
    if (run_ends_.size() * kMinMergedRun > order_.size()) {
      std::ranges::sort(order_, less);
      return;
    }
    while (run_ends_.size() > 1) {  // merge neighbouring runs pairwise
      std::size_t merged = 0;
      std::size_t start = 0;
      for (std::size_t i = 0; i < run_ends_.size(); i += 2) {
        std::size_t end = run_ends_[i];
        if (i + 1 < run_ends_.size()) {
          end = run_ends_[i + 1];
          std::inplace_merge(order_.begin() + start, order_.begin() + run_ends_[i], order_.begin() + end, less);
        }
        run_ends_[merged++] = end;
        start = end;
      }
      run_ends_.resize(merged);
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t capacity_;         // of the output and the scratch buffer: the input and slack
  std::unique_ptr<char[]> out_;  // the first out_size_ bytes are written
  std::size_t out_size_ = 0;
  std::size_t extra_utf8_bytes_ = 0;
  std::vector<Open> open_;
  std::vector<PendingMember> members_;    // of every open object, innermost last
  std::deque<std::string> escaped_keys_;  // decoded keys of the pending members that had escapes
  // Scratch space kept from one use to the next: a decoded string, a string quoted afresh, and
  // an object being rearranged with its members' order.
  std::string unescaped_;
  std::string quoted_;
  std::unique_ptr<char[]> reordered_;
  std::vector<SortKey> order_;
  std::vector<std::size_t> run_ends_;  // where each run of members already in order ends
};

}  // namespace

std::optional<CanonicalText> canonical_json_of_text(std::string_view text) { return CanonicalScanner(text).scan(); }

}  // namespace kest::events
