// Which characters of a font HarfBuzz shapes pairwise, read from the font's
// own tables. A character is plain when its glyph (the same in every
// Unicode character map the font has) starts no substitution and no
// positioning other than a pair adjustment of its own advance (the first
// glyph's x advance, nothing on the second glyph), and is no mark. A string
// of plain Latin-1 characters is then laid out as the characters' advances
// plus one adjustment per neighbouring pair: no substitution can start at
// any of its glyphs, no positioning but those pair adjustments. Fonts with
// Apple's layout tables (morx, mort, kerx, trak) or a kern table HarfBuzz
// would read as a state machine have no plain characters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::text {

// The characters considered: printable ASCII and Latin-1 (U+0020-U+007E, U+00A0-U+00FF).
// The soft hyphen, a default ignorable that HarfBuzz hides, is left out.
constexpr bool plain_candidate(uint32_t cp) {
  return (cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF && cp != 0xAD);
}

// Whether the character belongs to the Latin script (the rest of the candidates are Common).
constexpr bool latin_letter(uint32_t cp) {
  return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || cp == 0xAA || cp == 0xBA ||
         (cp >= 0xC0 && cp <= 0xFF && cp != 0xD7 && cp != 0xF7);
}

// plain[cp] for cp < 256 from the font file's bytes (face 0 of a collection).
// All false when the tables cannot be read or the font is not shaped pairwise.
void find_plain_glyphs(const uint8_t* data, size_t size, bool plain[256]);

}  // namespace kv::text
