#pragma once
// Picks the charset a message needs for a text, from the scripts its
// characters belong to.
#include <cstdint>

// The code page for a text of UTF-16 code units: 0 when the text is empty or
// all ASCII (no charset needed), otherwise 28591, 28592, a single-script page
// (932, 949, 936, 28598, 28596, 28595, 28597, 874) or 65001.
unsigned chooseCharsetForText(const uint16_t* units, uint32_t count);

// chooseCharsetForText, kept only when that charset carries the whole text
// (charsetCarriesText); otherwise 65001.
unsigned chooseCarryingCharset(const uint16_t* units, uint32_t count);

// Whether a UTF-8 text survives being sent in the charset of codePage: every
// character converts and comes back unchanged, and a reader that decodes the
// bytes by the charset's mail name gets the same characters. Some names
// mean a smaller standard set to readers: shift_jis, iso-2022-jp and euc-jp
// (JIS X 0208, without 932's vendor rows and six marks it maps otherwise),
// gb2312 (936 without GBK's additions), ks_c_5601-1987 (949 within EUC-KR),
// big5 (950 without its additions and eleven marks). UTF-8 always carries;
// never a page without tables, UTF-16 or UTF-32 (mail text must be
// ASCII-compatible), nor 874 (readers do not know "windows-874").
bool charsetCarriesText(unsigned codePage, const void* utf8, uint32_t n);
