#include "text/charset_choice.h"

// Classifies a text by script and decides which charset a message needs.
unsigned chooseCharsetForText(const uint16_t* units, uint32_t count) {
    if (!units || count == 0) return 0;
    uint32_t ascii = 0, latin1 = 0, latinExt = 0, greek = 0, cyrillic = 0, hebrew = 0,
             arabic = 0, thai = 0, kana = 0, hangul = 0, han = 0, notCounted = 0, other = 0;
    for (uint32_t i = 0; i < count; ++i) {
        unsigned c = units[i];
        if (c < 128)
            ++ascii;
        else if (c <= 255)
            ++latin1;
        else if (c >= 256 && c <= 767)
            ++latinExt;
        else if (c >= 880 && c <= 1023)
            ++greek;
        else if (c >= 1024 && c <= 1279)
            ++cyrillic;
        else if (c >= 1424 && c <= 1535)
            ++hebrew;
        else if (c >= 1536 && c <= 1791)
            ++arabic;
        else if (c >= 3584 && c <= 3711)
            ++thai;
        else if ((c >= 12352 && c <= 12543) || (c >= 12032 && c <= 12255))
            ++kana;
        else if ((c >= 44032 && c <= 55215) || (c >= 4352 && c <= 4607))
            ++hangul;
        else if ((c >= 19968 && c <= 40879) || (c >= 13312 && c <= 19903))
            ++han;
        else if ((c >= 12288 && c <= 12351) || (c >= 12800 && c <= 13055) ||
                 (c >= 9632 && c <= 9983) || (c >= 65056 && c <= 65135) ||
                 (c >= 65280 && c <= 65519))
            ++notCounted;
        else
            ++other;
    }
    // 1. Every character ASCII (characters of the not-counted ranges count
    //    toward the length but belong to no class, so they break "every").
    if (ascii == count) return 0;
    // 2., 3.
    if (ascii + latin1 == count) return 28591;
    if (ascii + latin1 + latinExt == count) return 28592;
    // 4. At most one of the seven scripts (Han not counted), no Latin-1 and
    //    no Latin extended.
    int scripts = (greek > 0) + (hebrew > 0) + (arabic > 0) + (kana > 0) + (hangul > 0) +
                  (thai > 0) + (cyrillic > 0);
    if (scripts <= 1 && latin1 == 0 && latinExt == 0) {
        if (kana) return 932;
        if (hangul) return 949;
        if (han) return 936;
        if (hebrew) return 28598;
        if (arabic) return 28596;
        if (cyrillic) return 28595;
        if (greek) return 28597;
        if (thai) return 874;
    }
    // 5.
    return 65001;
}
