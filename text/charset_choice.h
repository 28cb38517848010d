#pragma once
// Picks the charset a message needs for a text, from the scripts its
// characters belong to.
#include <cstdint>

// The code page for a text of UTF-16 code units: 0 when the text is empty or
// all ASCII (no charset needed), otherwise 28591, 28592, a single-script page
// (932, 949, 936, 28598, 28596, 28595, 28597, 874) or 65001.
unsigned chooseCharsetForText(const uint16_t* units, uint32_t count);
