// The picture filter should draw, computed on the CPU from the texel tables
// alone: each format's conversion, GL_REPLACE, the crop rectangle's flip,
// the default GL_REPEAT wrap, texel centres and linear magnification; and
// how far a drawn frame is from it, or from the likely wrong drawings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image.h"

struct Drawing {
    int test = 0;              // 1 to 6: that format; anything else: no image
    int dim = 0;               // side of the square at the lower-left corner
    bool linear = true;        // false models nearest filtering
    bool rowZeroOnTop = true;  // false models a lost crop flip
};

// What test 1 to 6 hands to glTexImage2D.
struct Format {
    const char* name;  // short, for file names: "rgb565"
    const char* format;
    const char* type;
};
const Format& formatOf(int test);

// The bytes test 1 to 6 hands to glTexImage2D, in memory order.
std::vector<uint8_t> textureBytes(int test);

// The bits of each channel of the surface drawn to, as its EGL config
// gives them; alpha 0: the surface keeps none.
struct SurfaceFormat {
    int red = 8;
    int green = 8;
    int blue = 8;
    int alpha = 0;
};
// "565", "888", "8888"; with a channel of 10 bits or more "10-10-10".
std::string formatName(const SurfaceFormat& format);
// The sizes in the capture library's line "surface config 21: red 5 green 6
// blue 5 alpha 0"; none for any other line or sizes past 16 bits.
std::optional<SurfaceFormat> surfaceFormatOf(const std::string& logLine);

// What a channel of `bits` (1 to 16) holds for the value c (0 to 1), as
// read back in 8 bits: c rounded to the nearest of its 2^bits levels, that
// level's bits repeated to fill 8 (below 8 bits) or rounded to the nearest
// of 256 (above).
uint8_t stored(double c, int bits);

// The whole surface of width x height as read back top row first, each
// value as the surface stores it; without alpha in the surface every alpha
// is 255.
Image expectedFrame(const Drawing& drawing, int width, int height, const SurfaceFormat& format);

// The largest difference, in levels of 255, that passes in each channel.
struct Tolerance {
    int red = 0;
    int green = 0;
    int blue = 0;
    int alpha = 0;
};
Tolerance uniformTolerance(int levels);
// The most that a filtering error of 1.5 levels of 255 can move a value
// once the surface has rounded it and it has been read back: one step of a
// channel below 8 bits (9 levels at 5 bits, 5 at 6), 2 at 8 and 10 bits.
Tolerance surfaceTolerance(const SurfaceFormat& format);

// The largest difference of any channel of any pixel; images of different
// sizes differ by 255.
int maxDifference(const Image& a, const Image& b);

struct Difference {
    int max = 0;             // largest channel difference
    int channelMax[4] = {};  // largest difference of red, green, blue, alpha
    double mean = 0;         // mean channel difference (alpha only when the frame has it)
    long over = 0;           // pixels with some channel more than its tolerance off
};
// Alpha counts only when the frame has it. Images of different sizes
// differ everywhere by 255.
Difference compare(const Image& got, const Image& want, const Tolerance& tolerance);

// What a likely fault would draw instead of `right`, named as a reader
// would put it ("nearest filtering").
struct WrongDrawing {
    std::string name;
    Drawing drawing;
};
std::vector<WrongDrawing> wrongDrawings(const Drawing& right, int width, int height);

// The wrong drawing that the frame is closer to than to the right one, or
// an empty name. Drawings the surface cannot tell apart from the right one
// (formats that differ only in alpha on a surface without it) are skipped.
std::string lookalike(const Image& got, const Drawing& right, const SurfaceFormat& format, const Tolerance& tolerance);
