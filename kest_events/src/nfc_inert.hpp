// Where the NFC test can answer without asking ICU.
#pragma once

namespace kest::events {

// Code points below U+0300 (ASCII, Latin-1 and the Latin extensions) are NFC on their own and
// never combine with or reorder against what precedes them, so text of nothing else is NFC.
inline constexpr char32_t kFirstNfcActiveCodePoint = 0x300;
// The UTF-8 lead byte of that code point: text whose bytes are all below it holds nothing else.
inline constexpr unsigned char kFirstNfcActiveLeadByte = 0xC0 | kFirstNfcActiveCodePoint >> 6;

}  // namespace kest::events
