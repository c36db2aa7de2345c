#include "kestovar/core/color.h"

#include <algorithm>
#include <cmath>

namespace kestovar {

namespace {
uint8_t ClampInt(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// c * scale truncated toward zero, then clamped. Clamping happens on the double before the
// conversion so that huge or non-finite values never reach an out-of-range int conversion.
uint8_t ScaleTruncate(double c, double scale) {
    double v = c * scale;
    if (!(v > 0.0)) return 0;  // negative, zero or NaN
    if (v >= 255.0) return 255;
    return uint8_t(int(v));
}

// [0, 1] to the nearest byte (HSL results).
uint8_t RoundUnit(float c) {
    double v = double(c) * 255.0 + 0.5;
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return uint8_t(int(v));
}

float HueToChannel(float p, float q, float t) {
    if (t < 0.0f) t += 1.0f;
    if (t > 1.0f) t -= 1.0f;
    if (t < 1.0f / 6.0f) return p + (q - p) * 6.0f * t;
    if (t < 0.5f) return q;
    if (t < 2.0f / 3.0f) return p + (q - p) * (2.0f / 3.0f - t) * 6.0f;
    return p;
}
}  // namespace

void ConvertRGBToHSL(float r, float g, float b, float& hue, float& saturation, float& luminance) {
    float mx = std::max(r, std::max(g, b));
    float mn = std::min(r, std::min(g, b));
    luminance = (mx + mn) * 0.5f;
    float d = mx - mn;
    if (d <= 0.0f) {
        hue = 0.0f;
        saturation = 0.0f;
        return;
    }
    saturation = luminance > 0.5f ? d / (2.0f - mx - mn) : d / (mx + mn);
    float h;
    if (mx == r)
        h = (g - b) / d + (g < b ? 6.0f : 0.0f);
    else if (mx == g)
        h = (b - r) / d + 2.0f;
    else
        h = (r - g) / d + 4.0f;
    hue = h * 60.0f;
    if (hue >= 360.0f) hue -= 360.0f;
}

void ConvertHSLToRGB(float hue, float saturation, float luminance, float& r, float& g, float& b) {
    float s = std::clamp(saturation, 0.0f, 1.0f);
    float l = std::clamp(luminance, 0.0f, 1.0f);
    if (s <= 0.0f || !std::isfinite(hue)) {
        r = g = b = l;
        return;
    }
    float h = std::fmod(hue, 360.0f);
    if (h < 0.0f) h += 360.0f;
    h /= 360.0f;
    float q = l < 0.5f ? l * (1.0f + s) : l + s - l * s;
    float p = 2.0f * l - q;
    r = HueToChannel(p, q, h + 1.0f / 3.0f);
    g = HueToChannel(p, q, h);
    b = HueToChannel(p, q, h - 1.0f / 3.0f);
}

void CRGBColor::SetColor(int cr, int cg, int cb, int ca) {
    r = ClampInt(cr);
    g = ClampInt(cg);
    b = ClampInt(cb);
    a = ClampInt(ca);
}

void CRGBColor::SetColor(float cr, float cg, float cb, float ca, float scale) {
    SetColor(double(cr), double(cg), double(cb), double(ca), double(scale));
}

void CRGBColor::SetColor(double cr, double cg, double cb, double ca, double scale) {
    r = ScaleTruncate(cr, scale);
    g = ScaleTruncate(cg, scale);
    b = ScaleTruncate(cb, scale);
    a = ScaleTruncate(ca, scale);
}

void CRGBColor::SetColor(const uint8_t* bytes, int count) {
    r = g = b = 0;
    a = 255;
    if (!bytes) return;
    if (count > 0) r = bytes[0];
    if (count > 1) g = bytes[1];
    if (count > 2) b = bytes[2];
    if (count > 3) a = bytes[3];
}

void CRGBColor::ConvertToHSL(float& hue, float& saturation, float& luminance) const {
    ConvertRGBToHSL(r / 255.0f, g / 255.0f, b / 255.0f, hue, saturation, luminance);
}

void CRGBColor::InitFromHSL(float hue, float saturation, float luminance) {
    float fr, fg, fb;
    ConvertHSLToRGB(hue, saturation, luminance, fr, fg, fb);
    r = RoundUnit(fr);
    g = RoundUnit(fg);
    b = RoundUnit(fb);
}

float CRGBColor::GetHue() const {
    float h, s, l;
    ConvertToHSL(h, s, l);
    return h;
}

float CRGBColor::GetSaturation() const {
    float h, s, l;
    ConvertToHSL(h, s, l);
    return s;
}

float CRGBColor::GetLuminance() const {
    float h, s, l;
    ConvertToHSL(h, s, l);
    return l;
}

void CRGBColor::SetHue(float hue) {
    float h, s, l;
    ConvertToHSL(h, s, l);
    InitFromHSL(hue, s, l);
}

void CRGBColor::SetSaturation(float saturation) {
    float h, s, l;
    ConvertToHSL(h, s, l);
    InitFromHSL(h, saturation, l);
}

void CRGBColor::SetLuminance(float luminance) {
    float h, s, l;
    ConvertToHSL(h, s, l);
    InitFromHSL(h, s, luminance);
}

void CRGBColor::Lighten(float amount) {
    float h, s, l;
    ConvertToHSL(h, s, l);
    InitFromHSL(h, s, std::clamp(l + amount, 0.0f, 1.0f));
}

void CRGBColor::Darken(float amount) {
    float h, s, l;
    ConvertToHSL(h, s, l);
    InitFromHSL(h, s, std::clamp(l - amount, 0.0f, 1.0f));
}

CXTString<wchar_t> CRGBColor::GetRGBString() const {
    CXTString<wchar_t> text;
    text.Format(L"%d, %d, %d", int(r), int(g), int(b));
    return text;
}

CXTString<wchar_t> CRGBColor::GetRGBAString() const {
    CXTString<wchar_t> text;
    text.Format(L"%d, %d, %d, %d", int(r), int(g), int(b), int(a));
    return text;
}

}  // namespace kestovar
