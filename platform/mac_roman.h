// Mac Roman, the character set hosts of this kind send: the Unicode code
// point of each byte from 0x80 up.  Bytes below 0x80 are ASCII.  0xDB is
// the euro sign (it was the currency sign before 1998) and 0xF0 the
// vendor's logo in the private-use area, which fonts here lack, so it draws
// as the missing-glyph box.
#pragma once

#include <cstdint>

namespace zk::platform {

inline constexpr char32_t kMacRomanHigh[128] = {
    U'\u00C4', U'\u00C5', U'\u00C7', U'\u00C9', U'\u00D1', U'\u00D6', U'\u00DC', U'\u00E1',
    U'\u00E0', U'\u00E2', U'\u00E4', U'\u00E3', U'\u00E5', U'\u00E7', U'\u00E9', U'\u00E8',
    U'\u00EA', U'\u00EB', U'\u00ED', U'\u00EC', U'\u00EE', U'\u00EF', U'\u00F1', U'\u00F3',
    U'\u00F2', U'\u00F4', U'\u00F6', U'\u00F5', U'\u00FA', U'\u00F9', U'\u00FB', U'\u00FC',
    U'\u2020', U'\u00B0', U'\u00A2', U'\u00A3', U'\u00A7', U'\u2022', U'\u00B6', U'\u00DF',
    U'\u00AE', U'\u00A9', U'\u2122', U'\u00B4', U'\u00A8', U'\u2260', U'\u00C6', U'\u00D8',
    U'\u221E', U'\u00B1', U'\u2264', U'\u2265', U'\u00A5', U'\u00B5', U'\u2202', U'\u2211',
    U'\u220F', U'\u03C0', U'\u222B', U'\u00AA', U'\u00BA', U'\u03A9', U'\u00E6', U'\u00F8',
    U'\u00BF', U'\u00A1', U'\u00AC', U'\u221A', U'\u0192', U'\u2248', U'\u2206', U'\u00AB',
    U'\u00BB', U'\u2026', U'\u00A0', U'\u00C0', U'\u00C3', U'\u00D5', U'\u0152', U'\u0153',
    U'\u2013', U'\u2014', U'\u201C', U'\u201D', U'\u2018', U'\u2019', U'\u00F7', U'\u25CA',
    U'\u00FF', U'\u0178', U'\u2044', U'\u20AC', U'\u2039', U'\u203A', U'\uFB01', U'\uFB02',
    U'\u2021', U'\u00B7', U'\u201A', U'\u201E', U'\u2030', U'\u00C2', U'\u00CA', U'\u00C1',
    U'\u00CB', U'\u00C8', U'\u00CD', U'\u00CE', U'\u00CF', U'\u00CC', U'\u00D3', U'\u00D4',
    U'\uF8FF', U'\u00D2', U'\u00DA', U'\u00DB', U'\u00D9', U'\u0131', U'\u02C6', U'\u02DC',
    U'\u00AF', U'\u02D8', U'\u02D9', U'\u02DA', U'\u00B8', U'\u02DD', U'\u02DB', U'\u02C7',
};

// The code point a string byte stands for.
inline constexpr char32_t CodePointOf(unsigned char byte) {
  return byte < 0x80 ? char32_t(byte) : kMacRomanHigh[byte - 0x80];
}

}  // namespace zk::platform
