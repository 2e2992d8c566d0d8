// The picture filter should draw, computed on the CPU from the texel tables
// alone: each format's conversion, GL_REPLACE, the crop rectangle's flip,
// the default GL_REPEAT wrap, texel centres and linear magnification; and
// how far a drawn frame is from it, or from the likely wrong drawings.
#pragma once

#include <cstdint>
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

// The whole surface of width x height as read back top row first; without
// alpha in the surface every alpha is 255.
Image expectedFrame(const Drawing& drawing, int width, int height, bool hasAlpha);

// The largest difference of any channel of any pixel; images of different
// sizes differ by 255.
int maxDifference(const Image& a, const Image& b);

struct Difference {
  int max = 0;       // largest channel difference
  double mean = 0;   // mean channel difference (alpha only when the frame has it)
  long over = 0;     // pixels with some channel more than the tolerance off
};
// Images of different sizes differ everywhere by 255.
Difference compare(const Image& got, const Image& want, int tolerance);

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
std::string lookalike(const Image& got, const Drawing& right, int tolerance);
