// The picture filter should draw, computed on the CPU from the texel tables
// alone: each format's conversion, GL_REPLACE, the crop rectangle's flip,
// the default GL_REPEAT wrap, texel centres and linear magnification.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"

struct Drawing {
  int test = 0;              // 1 to 6: that format; anything else: no image
  int dim = 0;               // side of the square at the lower-left corner
  bool linear = true;        // false models nearest filtering
  bool rowZeroOnTop = true;  // false models a lost crop flip
};

// The bytes test 1 to 6 hands to glTexImage2D, in memory order.
std::vector<uint8_t> textureBytes(int test);

// The whole surface of width x height as read back top row first; without
// alpha in the surface every alpha is 255.
Image expectedFrame(const Drawing& drawing, int width, int height, bool hasAlpha);

// The largest difference of any channel of any pixel; images of different
// sizes differ by 255.
int maxDifference(const Image& a, const Image& b);
