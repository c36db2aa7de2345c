// Transcoders between UTF-8, UTF-16 and UTF-32 (wchar_t), and the UTF-16LE byte form of wide text.
// Each decoder turns its input into a sequence of code points, replacing ill-formed parts with
// U+FFFD, and each encoder writes code points that are already valid; the counting pass (dst null)
// and the writing pass run the same code.
#include <cstring>
#include <utility>

#include "kestovar/core/xstring.h"

namespace kestovar {

namespace {

constexpr char32_t kReplacement = kReplacementCharacter;

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// A wide character as a code point: invalid values (surrogates, negative, above U+10FFFF) become
// U+FFFD.
char32_t ValidCodePoint(wchar_t ch) {
    uint32_t c = uint32_t(ch);
    return (c > 0x10FFFF || IsSurrogate(c)) ? kReplacement : char32_t(c);
}

// Decodes the code point starting at s[i] (i < length) and returns the number of bytes it takes.
// Lead bytes fix the sequence length and the allowed range of the second byte (which excludes
// overlong forms, surrogates and values above U+10FFFF); a sequence that breaks off yields one
// U+FFFD for the bytes read so far and decoding resumes at the offending byte.
size_t DecodeUTF8(const unsigned char* s, size_t length, size_t i, char32_t& cp) {
    unsigned lead = s[i];
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t trail;
    char32_t value;
    unsigned lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;       // below: overlong
        else if (lead == 0xED) hi = 0x9F;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        value = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;       // below: overlong
        else if (lead == 0xF4) hi = 0x8F;  // above: beyond U+10FFFF
    } else {
        cp = kReplacement;  // continuation byte without a lead, C0, C1, F5..FF
        return 1;
    }
    for (size_t k = 1; k <= trail; ++k) {
        if (i + k >= length) {
            cp = kReplacement;
            return k;
        }
        unsigned b = s[i + k];
        if (b < lo || b > hi) {
            cp = kReplacement;
            return k;
        }
        lo = 0x80;
        hi = 0xBF;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    return trail + 1;
}

// Decodes the code point starting at s[i] (i < length); returns the number of units it takes.
size_t DecodeUTF16(const char16_t* s, size_t length, size_t i, char32_t& cp) {
    uint32_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length) {
        uint32_t v = s[i + 1];
        if (v >= 0xDC00 && v <= 0xDFFF) {
            cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
            return 2;
        }
    }
    cp = IsSurrogate(u) ? kReplacement : char32_t(u);
    return 1;
}

// Encoders: write the units of a valid code point at dst + pos when dst is not null; return the
// number of units.
size_t EncodeUTF8(char32_t cp, char* dst, size_t pos) {
    unsigned char buffer[4];
    size_t n;
    if (cp < 0x80) {
        buffer[0] = (unsigned char)cp;
        n = 1;
    } else if (cp < 0x800) {
        buffer[0] = (unsigned char)(0xC0 | (cp >> 6));
        buffer[1] = (unsigned char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buffer[0] = (unsigned char)(0xE0 | (cp >> 12));
        buffer[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        buffer[2] = (unsigned char)(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buffer[0] = (unsigned char)(0xF0 | (cp >> 18));
        buffer[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
        buffer[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        buffer[3] = (unsigned char)(0x80 | (cp & 0x3F));
        n = 4;
    }
    if (dst) std::memcpy(dst + pos, buffer, n);
    return n;
}

size_t EncodeUTF16(char32_t cp, char16_t* dst, size_t pos) {
    if (cp < 0x10000) {
        if (dst) dst[pos] = char16_t(cp);
        return 1;
    }
    if (dst) {
        dst[pos] = char16_t(0xD800 + ((cp - 0x10000) >> 10));
        dst[pos + 1] = char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    return 2;
}

size_t EncodeUTF32(char32_t cp, wchar_t* dst, size_t pos) {
    if (dst) dst[pos] = wchar_t(cp);
    return 1;
}

// A wide character is one unit; invalid values decode to U+FFFD.
size_t DecodeUTF32(const wchar_t* s, size_t, size_t i, char32_t& cp) {
    cp = ValidCodePoint(s[i]);
    return 1;
}

// Every converter: decode a code point, encode it, until the input is used up. Returns the number
// of output units; writes them only when `dst` is not null (the counting pass).
template <class In, class Out, size_t (*Decode)(const In*, size_t, size_t, char32_t&),
          size_t (*Encode)(char32_t, Out*, size_t)>
size_t Transcode(const In* src, size_t length, Out* dst) {
    if (!src) return 0;
    size_t out = 0;
    for (size_t i = 0; i < length;) {
        char32_t cp;
        i += Decode(src, length, i, cp);
        out += Encode(cp, dst, out);
    }
    return out;
}

}  // namespace

size_t xConvertUTF8ToUTF32(const char* src, size_t length, wchar_t* dst) {
    return Transcode<unsigned char, wchar_t, DecodeUTF8, EncodeUTF32>(reinterpret_cast<const unsigned char*>(src),
                                                                       length, dst);
}

size_t xConvertUTF8ToUTF16(const char* src, size_t length, char16_t* dst) {
    return Transcode<unsigned char, char16_t, DecodeUTF8, EncodeUTF16>(reinterpret_cast<const unsigned char*>(src),
                                                                        length, dst);
}

size_t xConvertUTF32ToUTF8(const wchar_t* src, size_t length, char* dst) {
    return Transcode<wchar_t, char, DecodeUTF32, EncodeUTF8>(src, length, dst);
}

size_t xConvertUTF32ToUTF16(const wchar_t* src, size_t length, char16_t* dst) {
    return Transcode<wchar_t, char16_t, DecodeUTF32, EncodeUTF16>(src, length, dst);
}

size_t xConvertUTF16ToUTF8(const char16_t* src, size_t length, char* dst) {
    return Transcode<char16_t, char, DecodeUTF16, EncodeUTF8>(src, length, dst);
}

size_t xConvertUTF16ToUTF32(const char16_t* src, size_t length, wchar_t* dst) {
    return Transcode<char16_t, wchar_t, DecodeUTF16, EncodeUTF32>(src, length, dst);
}

size_t xEncodeUTF16LE(const wchar_t* text, size_t length, void* out) {
    if (!text) return 0;
    unsigned char* bytes = static_cast<unsigned char*>(out);
    size_t units = 0;
    for (size_t i = 0; i < length; ++i) {
        char16_t pair[2];
        size_t n = EncodeUTF16(ValidCodePoint(text[i]), pair, 0);
        if (bytes) {
            for (size_t k = 0; k < n; ++k) {
                bytes[2 * (units + k)] = (unsigned char)(pair[k] & 0xFF);
                bytes[2 * (units + k) + 1] = (unsigned char)(pair[k] >> 8);
            }
        }
        units += n;
    }
    return 2 * units;
}

namespace {

// Decodes UTF-16LE bytes to code points (a trailing odd byte becomes U+FFFD); returns the count and
// writes the characters when `dst` is not null.
size_t DecodeUTF16LEBytes(const unsigned char* b, size_t byteCount, wchar_t* dst) {
    size_t units = byteCount / 2;
    auto unitAt = [b](size_t i) { return uint32_t(b[2 * i]) | (uint32_t(b[2 * i + 1]) << 8); };
    size_t n = 0;
    for (size_t i = 0; i < units;) {
        uint32_t u = unitAt(i);
        char32_t cp;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) <= 0xDFFF) {
            cp = 0x10000 + ((u - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
            i += 2;
        } else {
            cp = IsSurrogate(u) ? kReplacement : char32_t(u);
            i += 1;
        }
        n += EncodeUTF32(cp, dst, n);
    }
    if (byteCount & 1) n += EncodeUTF32(kReplacement, dst, n);
    return n;
}

}  // namespace

void xDecodeUTF16LE(const void* bytes, size_t byteCount, CXStringW& out) {
    if (!bytes || byteCount == 0) {
        out.Empty();
        return;
    }
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    size_t count = DecodeUTF16LEBytes(b, byteCount, nullptr);
    if (count > size_t(INT_MAX)) XThrow<CXMemoryException>("text too long");
    // Decoded into a string of its own: the bytes may lie in `out`'s buffer.
    CXStringW text;
    DecodeUTF16LEBytes(b, byteCount, text.GetBuffer(int(count)));
    text.ReleaseBuffer(int(count));
    out = std::move(text);
}

}  // namespace kestovar
