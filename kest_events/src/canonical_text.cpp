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
#include "nfc_inert.hpp"
#include "plain_ascii.hpp"

namespace kest::events {
namespace {

bool is_whitespace(char c) {
  constexpr std::uint64_t kWhitespace = 1ULL << ' ' | 1ULL << '\n' | 1ULL << '\r' | 1ULL << '\t';
  auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' && (kWhitespace >> byte & 1) != 0;  // one comparison for the usual non-blank
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

// Members that arrive in runs at least this long on average are merged rather than sorted.
constexpr std::size_t kMinMergedRun = 16;
// Fewer members than this are sorted by insertion, without looking for runs.
constexpr std::size_t kFewMembers = 2 * kMinMergedRun;

// Text is copied in fixed-size blocks of this many bytes, a couple of moves each rather than a
// call, which may read and write up to a block less one byte past the text copied: both sides
// must have that much room.
constexpr std::size_t kShortCopy = 16;

// Copies `length` bytes block by block: a rearranged object's members, which are mostly longer
// than a block but too short for a call to pay.
void copy_in_blocks(char* to, const char* from, std::size_t length) {
  for (std::size_t done = 0; done < length; done += kShortCopy) std::memcpy(to + done, from + done, kShortCopy);
}

// Copies `length` bytes: a token that fits a block as one block, a longer one with a call.
void copy_short_or_long(char* to, const char* from, std::size_t length) {
  if (length <= kShortCopy) {
    std::memcpy(to, from, kShortCopy);
  } else {
    std::memcpy(to, from, length);
  }
}

// Where the scan stands: the next input byte to read and the next output byte to write. The steps
// of the scan take it and hand it back by value (two pointers travel in registers) rather than
// keep it in the scanner, where every byte written through the output pointer would make the
// compiler read both back from memory, since a char may alias anything.
struct Cursor {
  const char* in = nullptr;  // null once the text is left to the general path
  char* out = nullptr;

  explicit operator bool() const { return in != nullptr; }
};

constexpr Cursor kLeftToGeneralPath{};

class CanonicalScanner {
 public:
  // Every token is copied, dropped or (a string with escapes) written no longer than the input
  // wrote it, so the canonical text fits in the space of the input. The slack behind it lets a
  // short token be copied as one fixed-size block, whose excess the next token overwrites. The
  // buffers are not cleared: every byte read back has been written.
  explicit CanonicalScanner(std::string_view text)
      : text_(text),
        end_(text.data() + text.size()),
        capacity_(text.size() + kShortCopy),
        out_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

  std::optional<CanonicalText> scan() {
    Cursor at{skip_whitespace(text_.data()), out_.get()};
    bool in_object = false;  // whether the innermost open container is an object
    std::size_t depth = 0;   // how many containers are open, kept at hand for every value's end
    while (true) {
      // A value starts here, after its key in an object. Keys are read in this one place only, so
      // that the reading is inlined here.
      if (in_object && !(at = key(at))) return std::nullopt;
      if (at.in == end_) return std::nullopt;
      if (*at.in == '{' || *at.in == '[') {
        in_object = *at.in == '{';
        if (!(at = open(at))) return std::nullopt;
        ++depth;
        at.in = skip_whitespace(at.in);
        if (!is_at(at.in, in_object ? '}' : ']')) continue;  // on to the first member or element
        // An empty container ends where it starts.
      } else if (!(at = scalar(at))) {
        return std::nullopt;
      }
      // A value ended: close what it ends, then find where the next one starts.
      while (true) {
        at.in = skip_whitespace(at.in);
        if (depth == 0) {
          if (at.in != end_) return std::nullopt;
          std::size_t size = offset(at.out);
          // All but the non-ASCII characters of strings is ASCII, and those were counted as read.
          return CanonicalText{std::move(out_), size, size - extra_utf8_bytes_};
        }
        if (is_at(at.in, ',')) {
          *at.out++ = *at.in++;
          at.in = skip_whitespace(at.in);
          break;
        }
        if (!(at = close(at))) return std::nullopt;
        in_object = --depth > 0 && open_.back().is_object;
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
    std::size_t escaped_keys;  // how many of its members' keys were decoded into escaped_keys_
  };
  // A string read from its opening quote to just after its closing one.
  struct StringToken {
    std::string_view content;  // with its escapes decoded
    const char* end;           // after the closing quote
    bool escaped;
    bool non_ascii;
  };
  // A member of an open object: its key as the input holds it, and where its text starts. Its
  // text ends at the comma before the next member, or the last one's where the object closes.
  // The key is held as two words, which are stored as they were computed: a string_view is
  // spilled to the stack as two words and read back as one wide one, which stalls the processor
  // on every key.
  struct PendingMember {
    std::uint64_t key_leading_bytes;
    const char* key_data;
    std::size_t key_size;
    std::size_t out_start;
    bool key_in_doubt;  // may sort apart from byte order

    std::string_view key() const { return {key_data, key_size}; }
  };
  // A member of an object being rearranged, by its place among the object's members.
  struct SortKey {
    std::uint64_t leading_bytes;
    std::size_t member;
  };

  std::size_t offset(const char* out) const { return static_cast<std::size_t>(out - out_.get()); }

  bool is_at(const char* in, char c) const { return in != end_ && *in == c; }

  const char* skip_whitespace(const char* in) const {
    while (in != end_ && is_whitespace(*in)) ++in;
    return in;
  }

  // Copies the input from `from` up to `to`.
  char* copy(const char* from, const char* to, char* out) const {
    auto length = static_cast<std::size_t>(to - from);
    // The output never runs ahead of the input, so a block that stays inside the input also
    // stays inside the output and its slack.
    if (static_cast<std::size_t>(end_ - from) >= kShortCopy) {
      copy_short_or_long(out, from, length);
    } else {
      std::memcpy(out, from, length);
    }
    return out + length;
  }

  Cursor open(Cursor at) {
    if (open_.size() >= json::kMaxParseDepth) return kLeftToGeneralPath;  // json::parse refuses the next level
    bool is_object = *at.in == '{';
    *at.out++ = *at.in++;
    open_.push_back(Open{is_object, true, false, offset(at.out), members_.size(), 0});
    return at;
  }

  Cursor close(Cursor at) {
    const Open& container = open_.back();
    if (!is_at(at.in, container.is_object ? '}' : ']')) return kLeftToGeneralPath;
    if (container.is_object && !container.keys_in_order && !(at.out = put_in_order(container, at.out))) {
      return kLeftToGeneralPath;
    }
    members_.resize(container.first_member);
    if (container.escaped_keys > 0) escaped_keys_.resize(escaped_keys_.size() - container.escaped_keys);
    open_.pop_back();
    *at.out++ = *at.in++;
    return at;
  }

  // A member's key and the colon after it; the member's value comes next.
  Cursor key(Cursor at) {
    if (!is_at(at.in, '"')) return kLeftToGeneralPath;
    auto token = string(at.in);
    if (!token || token->content == kForbiddenKeyText) return kLeftToGeneralPath;
    Open& object = open_.back();
    std::string_view key = token->content;
    const char* readable_end = end_;
    if (token->escaped) {
      // The members keep their keys until the object closes; decoded ones need a home till then.
      key = escaped_keys_.emplace_back(key);
      readable_end = key.data() + key.size();
      ++object.escaped_keys;
    }
    // Built in place: a copy assembled on the stack first would be read back wider than it was
    // written, which stalls the processor on every key.
    const PendingMember& member =
        members_.emplace_back(leading_bytes(key, readable_end), key.data(), key.size(), offset(at.out),
                              token->non_ascii && may_sort_apart_from_byte_order(key));
    object.keys_in_doubt = object.keys_in_doubt || member.key_in_doubt;
    if (object.keys_in_order && &member != &members_[object.first_member]) {
      const PendingMember& previous = (&member)[-1];
      object.keys_in_order = sorts_before(previous, member, previous.key_in_doubt || member.key_in_doubt);
    }
    at.out = put_string(at.in, at.out, *token);
    at.in = skip_whitespace(token->end);
    if (!is_at(at.in, ':')) return kLeftToGeneralPath;
    *at.out++ = *at.in++;
    at.in = skip_whitespace(at.in);
    return at;
  }

  // UTF-16 order of two keys; byte order, which agrees with it, unless one of them is in doubt.
  static bool sorts_before(const PendingMember& a, const PendingMember& b, bool in_doubt) {
    if (in_doubt) return json::utf16_less(a.key(), b.key());
    if (a.key_leading_bytes != b.key_leading_bytes) return a.key_leading_bytes < b.key_leading_bytes;
    return a.key() < b.key();
  }

  // A value other than an object or array, at a position inside the text.
  Cursor scalar(Cursor at) {
    const char* start = at.in;
    if (*start == '"') {
      auto token = string(start);
      if (!token) return kLeftToGeneralPath;
      return {token->end, put_string(start, at.out, *token)};
    }
    // The first character tells which literal it can only be.
    const char* end = *start == 't'   ? literal(start, "true")
                      : *start == 'f' ? literal(start, "false")
                      : *start == 'n' ? literal(start, "null")
                                      : integer(start);
    if (end == nullptr) return kLeftToGeneralPath;
    return {end, copy(start, end, at.out)};
  }

  // A string without escapes is written as the input quotes it; one with escapes is quoted afresh.
  char* put_string(const char* quote, char* out, const StringToken& token) {
    if (!token.escaped) return copy(quote, token.end, out);
    quoted_.clear();
    json::write_string(quoted_, token.content);
    std::memcpy(out, quoted_.data(), quoted_.size());
    return out + quoted_.size();
  }

  // The end of `word` when the text spells it from `start`, else null.
  const char* literal(const char* start, std::string_view word) const {
    bool spelt = static_cast<std::size_t>(end_ - start) >= word.size() && word == std::string_view(start, word.size());
    return spelt ? start + word.size() : nullptr;
  }

  // The end of the JS-safe integer other than "-0" that starts at `start`, with nothing after it
  // that would make it a float, else null.
  const char* integer(const char* start) const {
    const char* digits = start + (*start == '-' ? 1 : 0);
    const char* end = digits;
    while (end != end_ && is_digit(*end)) ++end;
    auto count = static_cast<std::size_t>(end - digits);
    if (count == 0 || (*digits == '0' && (count > 1 || digits != start))) return nullptr;
    if (end != end_ && (*end == '.' || *end == 'e' || *end == 'E')) return nullptr;
    constexpr std::string_view kMaxSafeDigits = "9007199254740991";
    // Digit strings of one length compare as their values do.
    bool safe = count < kMaxSafeDigits.size() ||
                (count == kMaxSafeDigits.size() && std::string_view(digits, count) <= kMaxSafeDigits);
    return safe ? end : nullptr;
  }

  // A string in NFC, from its opening quote.
  std::optional<StringToken> string(const char* quote) {
    const char* content = quote + 1;
    const char* stop = skip_plain_ascii(content, end_);
    if (is_at(stop, '"')) return StringToken{{content, stop}, stop + 1, false, false};  // most strings
    return string_from(content, stop);
  }

  // The rest of a string that holds more than plain ASCII, from the character at `in`; `content`
  // is where its content starts. Kept out of line so that the common path above stays small
  // where it is inlined.
  [[gnu::noinline]] std::optional<StringToken> string_from(const char* content, const char* in) {
    bool escaped = false;
    bool nfc_active = false;      // holds a character the NFC test must ask ICU about
    std::size_t extra_bytes = 0;  // UTF-8 bytes beyond the UTF-16 units they make
    while (true) {
      // Non-ASCII characters often come several in a row, where a block scan would find nothing.
      if (in != end_ && is_plain_ascii(*in)) {
        const char* run = in;
        in = skip_plain_ascii(in, end_);
        if (escaped) unescaped_.append(run, in);
      }
      if (in == end_) return std::nullopt;
      auto byte = static_cast<unsigned char>(*in);
      if (byte == '"') {
        std::string_view decoded = escaped ? std::string_view(unescaped_) : std::string_view(content, in);
        if (nfc_active && !assert_nfc(decoded)) return std::nullopt;
        extra_utf8_bytes_ += extra_bytes;
        return StringToken{decoded, in + 1, escaped, extra_bytes > 0};
      }
      if (byte == '\\') {
        if (!std::exchange(escaped, true)) unescaped_.assign(content, in);
        auto code_point = unescape(in);
        if (!code_point) return std::nullopt;
        extra_bytes += append_utf8(unescaped_, *code_point);
        nfc_active = nfc_active || *code_point >= kFirstNfcActiveCodePoint;
        continue;
      }
      std::size_t length = utf8_sequence_length({in, end_});  // 0 for a control character too
      if (length == 0) return std::nullopt;
      extra_bytes += length == 4 ? 2 : length - 1;
      nfc_active = nfc_active || byte >= kFirstNfcActiveLeadByte;
      if (escaped) unescaped_.append(in, length);
      in += length;
    }
  }

  // The character of the escape at `in`, which is moved past it. A lone surrogate, which
  // json::parse refuses, is not taken.
  std::optional<char32_t> unescape(const char*& in) const {
    if (end_ - in < 2) return std::nullopt;
    char kind = in[1];
    in += 2;
    static constexpr std::string_view kShortForms = "\"\\/bfnrt";
    static constexpr std::string_view kShortFormCharacters = "\"\\/\b\f\n\r\t";
    if (std::size_t i = kShortForms.find(kind); i != std::string_view::npos) {
      return static_cast<char32_t>(kShortFormCharacters[i]);
    }
    if (kind != 'u') return std::nullopt;
    auto code_point = code_unit(in);
    if (!code_point || (*code_point >= 0xDC00 && *code_point <= 0xDFFF)) return std::nullopt;
    if (*code_point >= 0xD800 && *code_point <= 0xDBFF) {
      if (!std::string_view(in, end_).starts_with("\\u")) return std::nullopt;
      in += 2;
      auto low = code_unit(in);
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
      code_point = 0x10000 + ((*code_point - 0xD800) << 10) + (*low - 0xDC00);
    }
    return code_point;
  }

  // The four hex digits of a \u escape, which `in` is moved past.
  std::optional<char32_t> code_unit(const char*& in) const {
    if (end_ - in < 4) return std::nullopt;
    char32_t unit = 0;
    for (char c : std::string_view(in, 4)) {
      auto digit = hex_digit(c);
      if (!digit) return std::nullopt;
      unit = unit << 4 | *digit;
    }
    in += 4;
    return unit;
  }

  // Puts the members of a closing object whose keys arrived out of order in UTF-16 order of their
  // keys, the object's text ending at `out`; gives where the output then ends. A repeated key
  // (whose last value would win) is left to the general path.
  char* put_in_order(const Open& object, char* out) {
    auto members = std::span(members_).subspan(object.first_member);
    std::size_t out_size = offset(out);
    auto member_end = [&](std::size_t i) { return i + 1 < members.size() ? members[i + 1].out_start - 1 : out_size; };
    if (!has_last_shape(members)) {
      // The sort moves small (leading bytes, member) pairs rather than the members, and most
      // pairs are told apart by their leading bytes alone.
      order_.clear();
      for (std::size_t i = 0; i < members.size(); ++i) order_.push_back(SortKey{members[i].key_leading_bytes, i});
      auto less = [&](const SortKey& a, const SortKey& b) {
        if (!object.keys_in_doubt && a.leading_bytes != b.leading_bytes) return a.leading_bytes < b.leading_bytes;
        return sorts_before(members[a.member], members[b.member], object.keys_in_doubt);
      };
      sort_members(less);
      auto not_before = [&](const SortKey& a, const SortKey& b) { return !less(a, b); };
      if (std::ranges::adjacent_find(order_, not_before) != order_.end()) return nullptr;
      remember_shape(object, members);
    }
    // The members are gathered into the scratch buffer (both buffers have the slack of the input's
    // size for the short copies), and the same members and commas in another order take the same
    // space. An object holding more text than precedes it is gathered where it will lie, and the
    // text before it copied over, after which the buffers trade places; any other is gathered at
    // the scratch buffer's start and copied back. Either way the lesser part is copied, and the
    // scratch buffer's pages are touched no further than the output's.
    if (!reordered_) reordered_ = std::make_unique_for_overwrite<char[]>(capacity_);
    std::size_t size = out_size - object.out_start;
    bool trade_places = size > object.out_start;
    char* const gathered = reordered_.get() + (trade_places ? object.out_start : 0);
    char* to = gathered;
    for (const SortKey& key : order_) {
      std::size_t start = members[key.member].out_start;
      std::size_t length = member_end(key.member) - start;
      if (to != gathered) *to++ = ',';
      copy_in_blocks(to, out_.get() + start, length);
      to += length;
    }
    if (trade_places) {
      std::memcpy(reordered_.get(), out_.get(), object.out_start);
      std::swap(out_, reordered_);
    } else {
      copy_in_blocks(out_.get() + object.out_start, gathered, size);
    }
    return out_.get() + out_size;
  }

  // Whether `members` arrive with the keys of the last small object put in order, in the same
  // order; order_ then still holds the order found for them, repeated keys ruled out. A program's
  // records of one kind (the properties of every entity) arrive alike, and each after the first
  // is put in order without sorting.
  bool has_last_shape(std::span<const PendingMember> members) const {
    auto same_key = [](const PendingMember& member, const PendingMember& remembered) {
      return member.key_leading_bytes == remembered.key_leading_bytes && member.key_size == remembered.key_size &&
             (member.key_size <= sizeof member.key_leading_bytes || member.key() == remembered.key());
    };
    return !last_shape_.empty() && std::ranges::equal(members, last_shape_, same_key);
  }

  // Keeps the keys of a small object just put in order, unless some were decoded from escapes:
  // those are dropped when the object closes, while the input's own stay for the whole scan.
  void remember_shape(const Open& object, std::span<const PendingMember> members) {
    last_shape_.clear();
    if (members.size() < kFewMembers && object.escaped_keys == 0) last_shape_.assign(members.begin(), members.end());
  }

  // Sorts order_. A program's map kept in insertion order ("e0" ... "e9", "e10" ... "e99", ...)
  // arrives as a few runs already in order, which merging joins in far fewer steps than sorting.
  template <class Less>
  void sort_members(const Less& less) {
    if (order_.size() < kFewMembers) {
      insertion_sort(less);
      return;
    }
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

  // Sorts order_ by inserting one pair after another, moving the pairs it passes one at a time:
  // std::sort inserts by moving runs with a call to memmove each, which for an object's few
  // members costs more than the moves.
  template <class Less>
  void insertion_sort(const Less& less) {
    for (std::size_t i = 1; i < order_.size(); ++i) {
      SortKey inserted = order_[i];
      std::size_t at = i;
      for (; at > 0 && less(inserted, order_[at - 1]); --at) order_[at] = order_[at - 1];
      order_[at] = inserted;
    }
  }

  std::string_view text_;
  const char* end_;              // of the text
  std::size_t capacity_;         // of the output and the scratch buffer: the input and slack
  std::unique_ptr<char[]> out_;  // written up to the cursor's output position
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
  std::vector<PendingMember> last_shape_;  // the keys order_ was last found for, if a small object's
  std::vector<std::size_t> run_ends_;      // where each run of members already in order ends
};

}  // namespace

std::optional<CanonicalText> canonical_json_of_text(std::string_view text) { return CanonicalScanner(text).scan(); }

}  // namespace kest::events
