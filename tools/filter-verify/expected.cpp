#include "expected.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Colour {
    double r, g, b, a;
};
using Texels = std::array<Colour, 16>;  // row 0 (first in memory) first

// The tables as the program hands them to GL; test 6's values lie in memory
// lowest byte first; their layout is kept as written.
// clang-format off
constexpr uint8_t kT8[16] = {0x00, 0x55, 0x00, 0x55, 0xAA, 0xFF, 0xAA, 0xFF,
                             0x00, 0x55, 0x00, 0x55, 0xAA, 0xFF, 0xAA, 0xFF};
constexpr uint16_t kT16[16] = {0x0000, 0x5555, 0x0000, 0x5555, 0xAAAA, 0xFFFF, 0xAAAA, 0xFFFF,
                               0x0000, 0x5555, 0x0000, 0x5555, 0xAAAA, 0xFFFF, 0xAAAA, 0xFFFF};
constexpr uint16_t kT5551[16] = {0x0000, 0xFFFF, 0x0000, 0xFFFF, 0xFFFF, 0x0000, 0xFFFF, 0x0000,
                                 0x0000, 0xFFFF, 0x0000, 0xFFFF, 0xFFFF, 0x0000, 0xFFFF, 0x0000};
constexpr uint32_t kT32[16] = {0xFF000000, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000,
                               0xFF00FF00, 0xFFFF0000, 0xFF000000, 0xFF0000FF,
                               0xFF00FFFF, 0xFF00FF00, 0x00FF00FF, 0xFFFFFF00,
                               0xFF000000, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};
// clang-format on

double field(uint32_t v, int shift, int bits) {
    const uint32_t max = (1u << bits) - 1;
    return static_cast<double>((v >> shift) & max) / max;
}

// GL_REPLACE: the texture gives what it has, the primary colour (white,
// alpha 1) the rest.
Texels decode(int test) {
    Texels t{};
    for (int i = 0; i < 16; ++i) {
        switch (test) {
        case 1: {  // luminance
            const double l = kT8[i] / 255.0;
            t[i] = {l, l, l, 1.0};
            break;
        }
        case 2:  // 5-6-5
            t[i] = {field(kT16[i], 11, 5), field(kT16[i], 5, 6), field(kT16[i], 0, 5), 1.0};
            break;
        case 3:  // 4-4-4-4
            t[i] = {field(kT16[i], 12, 4), field(kT16[i], 8, 4), field(kT16[i], 4, 4), field(kT16[i], 0, 4)};
            break;
        case 4: {  // the same 32 bytes as luminance, alpha pairs
            uint8_t bytes[32];
            std::memcpy(bytes, kT16, sizeof bytes);
            const double l = bytes[2 * i] / 255.0;
            t[i] = {l, l, l, bytes[2 * i + 1] / 255.0};
            break;
        }
        case 5:  // 5-5-5-1
            t[i] = {field(kT5551[i], 11, 5), field(kT5551[i], 6, 5), field(kT5551[i], 1, 5), field(kT5551[i], 0, 1)};
            break;
        case 6:  // RGBA bytes
            t[i] = {field(kT32[i], 0, 8), field(kT32[i], 8, 8), field(kT32[i], 16, 8), field(kT32[i], 24, 8)};
            break;
        default:  // no image: the texture is incomplete and texturing is off
            t[i] = {1.0, 1.0, 1.0, 1.0};
        }
    }
    return t;
}

int wrap(int i) { return ((i % 4) + 4) % 4; }  // GL_REPEAT over 4 texels

Colour sample(const Texels& t, double s, double tc, bool linear) {
    auto texel = [&](int col, int row) { return t[static_cast<size_t>(wrap(row) * 4 + wrap(col))]; };
    if (!linear) return texel(static_cast<int>(std::floor(s * 4)), static_cast<int>(std::floor(tc * 4)));
    const double u = s * 4 - 0.5;
    const double v = tc * 4 - 0.5;
    const int i0 = static_cast<int>(std::floor(u));
    const int j0 = static_cast<int>(std::floor(v));
    const double a = u - i0;
    const double b = v - j0;
    const Colour c00 = texel(i0, j0), c10 = texel(i0 + 1, j0);
    const Colour c01 = texel(i0, j0 + 1), c11 = texel(i0 + 1, j0 + 1);
    auto mix = [&](double p00, double p10, double p01, double p11) {
        return (1 - a) * (1 - b) * p00 + a * (1 - b) * p10 + (1 - a) * b * p01 + a * b * p11;
    };
    return {mix(c00.r, c10.r, c01.r, c11.r), mix(c00.g, c10.g, c01.g, c11.g), mix(c00.b, c10.b, c01.b, c11.b),
            mix(c00.a, c10.a, c01.a, c11.a)};
}

}  // namespace

const Format& formatOf(int test) {
    static const Format formats[] = {
        {"none", "no image", ""},
        {"luminance", "GL_LUMINANCE", "GL_UNSIGNED_BYTE"},
        {"rgb565", "GL_RGB", "GL_UNSIGNED_SHORT_5_6_5"},
        {"rgba4444", "GL_RGBA", "GL_UNSIGNED_SHORT_4_4_4_4"},
        {"luminance-alpha", "GL_LUMINANCE_ALPHA", "GL_UNSIGNED_BYTE"},
        {"rgba5551", "GL_RGBA", "GL_UNSIGNED_SHORT_5_5_5_1"},
        {"rgba8888", "GL_RGBA", "GL_UNSIGNED_BYTE"},
    };
    return formats[test >= 1 && test <= 6 ? test : 0];
}

std::vector<uint8_t> textureBytes(int test) {
    std::vector<uint8_t> bytes;
    auto put = [&](uint32_t v, int size) {  // lowest byte first, as the tables lie on the device
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (int i = 0; i < 16; ++i) {
        switch (test) {
        case 1:
            put(kT8[i], 1);
            break;
        case 2:
        case 3:
        case 4:
            put(kT16[i], 2);
            break;
        case 5:
            put(kT5551[i], 2);
            break;
        case 6:
            put(kT32[i], 4);
            break;
        default:
            break;
        }
    }
    return bytes;
}

std::string formatName(const SurfaceFormat& format) {
    const int bits[] = {format.red, format.green, format.blue, format.alpha};
    const bool wide = std::any_of(std::begin(bits), std::end(bits), [](int b) { return b > 9; });
    std::string name;
    for (const int b : bits) {
        if (b == 0) continue;
        if (wide && !name.empty()) name += "-";
        name += std::to_string(b);
    }
    return name;
}

std::optional<SurfaceFormat> surfaceFormatOf(const std::string& logLine) {
    SurfaceFormat f;
    int id = 0;
    char end = 0;
    if (sscanf(logLine.c_str(), "surface config %d: red %d green %d blue %d alpha %d%c", &id, &f.red, &f.green, &f.blue,
               &f.alpha, &end) != 5)
        return std::nullopt;
    const int bits[] = {f.red, f.green, f.blue, f.alpha};
    if (!std::all_of(std::begin(bits), std::end(bits), [](int b) { return b >= 0 && b <= 16; })) return std::nullopt;
    return f;
}

namespace {

// A level of a channel of `bits` as 8 bits: below 8 its bits repeated
// (what Mesa reads back, up to one level above the exact conversion),
// above 8 rounded to the nearest.
uint8_t readBack(long level, int bits) {
    if (bits >= 8) return static_cast<uint8_t>(std::lround(static_cast<double>(level) * 255 / ((1L << bits) - 1)));
    long v = 0;
    for (int shift = 8 - bits; shift > -bits; shift -= bits) v |= shift >= 0 ? level << shift : level >> -shift;
    return static_cast<uint8_t>(v);
}

}  // namespace

uint8_t stored(double c, int bits) {
    if (bits <= 0) return 0;  // a colour channel the surface lacks reads as 0
    const long top = (1L << bits) - 1;
    return readBack(std::lround(std::clamp(c, 0.0, 1.0) * static_cast<double>(top)), bits);
}

Image expectedFrame(const Drawing& drawing, int width, int height, const SurfaceFormat& format) {
    const Texels t = decode(drawing.test);
    Image img;
    img.width = width;
    img.height = height;
    img.hasAlpha = format.alpha > 0;
    // Outside the square: the initial clear colour, transparent black.
    img.pixels.assign(static_cast<size_t>(width) * height, Rgba{0, 0, 0, 0});
    for (int yw = 0; yw < std::min(drawing.dim, height); ++yw) {  // window rows, bottom up
        for (int x = 0; x < std::min(drawing.dim, width); ++x) {
            // The crop rectangle (0, 4, 4, -4) maps the bottom of the square to
            // t = 1 and its top to t = 0, where texel row 0 lies.
            const double s = (x + 0.5) / drawing.dim;
            const double up = (yw + 0.5) / drawing.dim;
            const Colour c = sample(t, s, drawing.rowZeroOnTop ? 1.0 - up : up, drawing.linear);
            img.at(x, height - 1 - yw) = {stored(c.r, format.red), stored(c.g, format.green), stored(c.b, format.blue),
                                          stored(c.a, format.alpha > 0 ? format.alpha : 8)};
        }
    }
    if (!img.hasAlpha)
        for (Rgba& p : img.pixels) p.a = 255;
    return img;
}

Tolerance uniformTolerance(int levels) { return {levels, levels, levels, levels}; }

namespace {

// A correct driver's filtered value may be 1.5 levels of 255 off the exact
// one: llvmpipe filters with 8-bit weights (a level) and keeps an 8-bit
// result (half a level more). That error spans up to ceil(1.5 * top / 255)
// steps of the channel; the most those steps move the value read back.
int channelTolerance(int bits) {
    if (bits <= 0) return 0;
    const long top = (1L << bits) - 1;
    const long steps = (3 * top + 509) / 510;
    int most = 0;
    for (long level = 0; level + steps <= top; ++level)
        most = std::max(most, readBack(level + steps, bits) - readBack(level, bits));
    return most;
}

}  // namespace

Tolerance surfaceTolerance(const SurfaceFormat& format) {
    return {channelTolerance(format.red), channelTolerance(format.green), channelTolerance(format.blue),
            channelTolerance(format.alpha)};
}

int maxDifference(const Image& a, const Image& b) { return compare(a, b, uniformTolerance(255)).max; }

Difference compare(const Image& got, const Image& want, const Tolerance& tolerance) {
    if (got.width != want.width || got.height != want.height)
        return {255, {255, 255, 255, 255}, 255.0, static_cast<long>(std::max(got.pixels.size(), want.pixels.size()))};
    Difference d;
    const int channels = got.hasAlpha ? 4 : 3;
    const int limit[] = {tolerance.red, tolerance.green, tolerance.blue, tolerance.alpha};
    double sum = 0;
    for (size_t i = 0; i < got.pixels.size(); ++i) {
        const Rgba &p = got.pixels[i], &q = want.pixels[i];
        const int diff[] = {std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b), std::abs(p.a - q.a)};
        bool over = false;
        for (int c = 0; c < channels; ++c) {
            sum += diff[c];
            d.channelMax[c] = std::max(d.channelMax[c], diff[c]);
            over = over || diff[c] > limit[c];
        }
        if (over) ++d.over;
    }
    d.max = *std::max_element(std::begin(d.channelMax), std::end(d.channelMax));
    if (!got.pixels.empty()) d.mean = sum / (static_cast<double>(got.pixels.size()) * channels);
    return d;
}

std::vector<WrongDrawing> wrongDrawings(const Drawing& right, int width, int height) {
    Drawing nearest = right;
    nearest.linear = false;
    Drawing unflipped = right;
    unflipped.rowZeroOnTop = false;
    std::vector<WrongDrawing> wrong = {{"nearest filtering", nearest}, {"a lost crop flip", unflipped}};
    // Off by one either way, and the longer side of the surface taken for the
    // shorter.
    for (int dim : {right.dim - 1, right.dim + 1, std::max(width, height)}) {
        if (dim <= 0 || dim == right.dim) continue;
        Drawing other = right;
        other.dim = dim;
        wrong.push_back({"another square size (" + std::to_string(dim) + ")", other});
    }
    for (int test = 0; test <= 6; ++test) {
        if (test == right.test) continue;
        Drawing other = right;
        other.test = test;
        const Format& f = formatOf(test);
        wrong.push_back({test == 0 ? std::string("no texture image")
                                   : "another format (" + std::string(f.format) + " " + f.type + ")",
                         other});
    }
    return wrong;
}

std::string lookalike(const Image& got, const Drawing& right, const SurfaceFormat& format, const Tolerance& tolerance) {
    const Image want = expectedFrame(right, got.width, got.height, format);
    const Tolerance twice{2 * tolerance.red, 2 * tolerance.green, 2 * tolerance.blue, 2 * tolerance.alpha};
    double best = compare(got, want, tolerance).mean;
    std::string name;
    for (const WrongDrawing& w : wrongDrawings(right, got.width, got.height)) {
        const Image wrong = expectedFrame(w.drawing, got.width, got.height, format);
        if (compare(wrong, want, twice).over == 0) continue;
        const double mean = compare(got, wrong, tolerance).mean;
        if (mean < best) {
            best = mean;
            name = w.name;
        }
    }
    return name;
}
