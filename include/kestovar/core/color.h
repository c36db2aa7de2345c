// RGBA colour of four bytes, with the conversions to and from HSL.
//
// Conversion rules:
// - integer components are clamped to [0, 255];
// - float and double components are multiplied by a scale (255 for the forms without a scale
//   argument), truncated toward zero, then clamped to [0, 255]: 1.0 gives 255, 0.999 gives 254,
//   -0.1 gives 0; NaN gives 0.
//
// HSL values: hue in degrees [0, 360), saturation and luminance in [0, 1]. Colours rebuilt from
// HSL round each component to the nearest byte, so RGB -> HSL -> RGB gives the bytes back.
#pragma once

#include <cstdint>

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// r, g, b in [0, 1] to hue (degrees), saturation and luminance. A grey gives hue 0 and
// saturation 0.
KESTOVAR_API void ConvertRGBToHSL(float r, float g, float b, float& hue, float& saturation, float& luminance);
// The inverse: hue in degrees (any value, taken modulo 360), saturation and luminance clamped to
// [0, 1]; r, g, b in [0, 1].
KESTOVAR_API void ConvertHSLToRGB(float hue, float saturation, float luminance, float& r, float& g, float& b);

class KESTOVAR_API CRGBColor {
public:
    uint8_t r, g, b, a;

    // Opaque black.
    CRGBColor() : r(0), g(0), b(0), a(255) {}
    CRGBColor(int cr, int cg, int cb, int ca = 255) { SetColor(cr, cg, cb, ca); }
    CRGBColor(float cr, float cg, float cb, float ca) { SetColor(cr, cg, cb, ca); }
    CRGBColor(float cr, float cg, float cb, float ca, float scale) { SetColor(cr, cg, cb, ca, scale); }
    CRGBColor(double cr, double cg, double cb, double ca) { SetColor(cr, cg, cb, ca); }
    CRGBColor(double cr, double cg, double cb, double ca, double scale) { SetColor(cr, cg, cb, ca, scale); }
    CRGBColor(uint8_t cr, uint8_t cg, uint8_t cb, uint8_t ca) : r(cr), g(cg), b(cb), a(ca) {}
    CRGBColor(uint8_t cr, uint8_t cg, uint8_t cb) : r(cr), g(cg), b(cb), a(255) {}
    // From the 32-bit value of GetValue.
    explicit CRGBColor(uint32_t value) { SetValue(value); }
    // From `count` bytes r, g, b, a (missing components: 0 for colours, 255 for alpha; bytes
    // beyond the fourth are ignored). `bytes` may be null when `count` is 0.
    CRGBColor(const uint8_t* bytes, int count) { SetColor(bytes, count); }

    void SetColor(int cr, int cg, int cb, int ca = 255);
    void SetColor(float cr, float cg, float cb, float ca) { SetColor(cr, cg, cb, ca, 255.0f); }
    void SetColor(float cr, float cg, float cb, float ca, float scale);
    void SetColor(double cr, double cg, double cb, double ca) { SetColor(cr, cg, cb, ca, 255.0); }
    void SetColor(double cr, double cg, double cb, double ca, double scale);
    void SetColor(const uint8_t* bytes, int count);

    // The four bytes as one value: r in the lowest byte, then g, b, and a in the highest, which
    // is also the in-memory order of the record.
    uint32_t GetValue() const { return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16) | (uint32_t(a) << 24); }
    void SetValue(uint32_t value) {
        r = uint8_t(value);
        g = uint8_t(value >> 8);
        b = uint8_t(value >> 16);
        a = uint8_t(value >> 24);
    }

    bool operator==(const CRGBColor& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const CRGBColor& o) const { return !(*this == o); }

    // HSL view of r, g, b (alpha is never touched).
    void ConvertToHSL(float& hue, float& saturation, float& luminance) const;
    void InitFromHSL(float hue, float saturation, float luminance);
    float GetHue() const;
    float GetSaturation() const;
    float GetLuminance() const;
    void SetHue(float hue);
    void SetSaturation(float saturation);
    void SetLuminance(float luminance);
    // Raises (lowers) the luminance by `amount`, in luminance units [0, 1], clamped.
    void Lighten(float amount);
    void Darken(float amount);

    // "r, g, b" and "r, g, b, a" as decimal numbers, e.g. "255, 128, 0".
    CXTString<wchar_t> GetRGBString() const;
    CXTString<wchar_t> GetRGBAString() const;
};

}  // namespace kestovar
