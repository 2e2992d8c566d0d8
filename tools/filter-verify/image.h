// RGBA images as the filter tests, the capture library and the picture tool
// exchange them: netpbm PAM files (RGB or RGB_ALPHA, 8 bits, top row first).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Rgba {
    uint8_t r, g, b, a;
};

struct Image {
    int width = 0;
    int height = 0;
    bool hasAlpha = false;     // false: the surface kept no alpha, every a is 255
    std::vector<Rgba> pixels;  // row after row, top row first

    Rgba& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    const Rgba& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

bool writePam(const std::string& path, const Image& img);
std::optional<Image> readPam(const std::string& path);
