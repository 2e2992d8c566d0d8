// filter-pictures: turns captured filter frames into PNG files and one
// contact sheet that shows them side by side, each named below its picture.
//
//   filter-pictures SHEET.png CAPTURE.pam LABEL [CAPTURE.pam LABEL]...
//
// Each CAPTURE.pam is also written as CAPTURE.png beside it.

#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image.h"

namespace {

constexpr int kGap = 12;
constexpr int kLabelHeight = 28;
constexpr int kFontPixels = 15;
constexpr Rgba kBackground{40, 40, 48, 255};

bool writePng(const std::string& path, const Image& img) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "wb"), fclose);
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height),
               8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < img.height; ++y)
    png_write_row(png, reinterpret_cast<png_const_bytep>(&img.at(0, y)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The screen shows colour only: alpha is not part of what a person sees.
Image opaque(Image img) {
  for (Rgba& p : img.pixels) p.a = 255;
  return img;
}

class LabelFont {
 public:
  explicit LabelFont(const char* path) {
    if (FT_Init_FreeType(&lib_) != 0) return;
    if (FT_New_Face(lib_, path, 0, &face_) != 0) face_ = nullptr;
    if (face_) FT_Set_Pixel_Sizes(face_, 0, kFontPixels);
  }
  ~LabelFont() {
    if (face_) FT_Done_Face(face_);
    if (lib_) FT_Done_FreeType(lib_);
  }
  LabelFont(const LabelFont&) = delete;
  LabelFont& operator=(const LabelFont&) = delete;

  bool ok() const { return face_ != nullptr; }

  int width(const std::string& text) {
    int w = 0;
    for (unsigned char c : text)
      if (FT_Load_Char(face_, c, FT_LOAD_DEFAULT) == 0) w += static_cast<int>(face_->glyph->advance.x >> 6);
    return w;
  }

  // Draws text in white with its baseline at (x, baseline).
  void draw(Image& img, const std::string& text, int x, int baseline) {
    for (unsigned char c : text) {
      if (FT_Load_Char(face_, c, FT_LOAD_RENDER) != 0) continue;
      const FT_GlyphSlot g = face_->glyph;
      for (unsigned row = 0; row < g->bitmap.rows; ++row) {
        for (unsigned col = 0; col < g->bitmap.width; ++col) {
          const int px = x + g->bitmap_left + static_cast<int>(col);
          const int py = baseline - g->bitmap_top + static_cast<int>(row);
          if (px < 0 || py < 0 || px >= img.width || py >= img.height) continue;
          const int cover = g->bitmap.buffer[row * static_cast<unsigned>(g->bitmap.pitch) + col];
          Rgba& p = img.at(px, py);
          auto mix = [cover](uint8_t under) {
            return static_cast<uint8_t>((under * (255 - cover) + 255 * cover) / 255);
          };
          p = {mix(p.r), mix(p.g), mix(p.b), 255};
        }
      }
      x += static_cast<int>(g->advance.x >> 6);
    }
  }

 private:
  FT_Library lib_ = nullptr;
  FT_Face face_ = nullptr;
};

struct Entry {
  std::string path;
  std::string label;
  Image image;
};

Image contactSheet(const std::vector<Entry>& entries, LabelFont& font) {
  int tileWidth = 0;
  int tileHeight = 0;
  for (const Entry& e : entries) {
    tileWidth = std::max({tileWidth, e.image.width, font.width(e.label)});
    tileHeight = std::max(tileHeight, e.image.height);
  }
  Image sheet;
  sheet.width = kGap + static_cast<int>(entries.size()) * (tileWidth + kGap);
  sheet.height = kGap + tileHeight + kLabelHeight + kGap;
  sheet.hasAlpha = true;
  sheet.pixels.assign(static_cast<size_t>(sheet.width) * sheet.height, kBackground);
  int left = kGap;
  for (const Entry& e : entries) {
    const int x0 = left + (tileWidth - e.image.width) / 2;
    for (int y = 0; y < e.image.height; ++y)
      for (int x = 0; x < e.image.width; ++x) sheet.at(x0 + x, kGap + y) = e.image.at(x, y);
    font.draw(sheet, e.label, left + (tileWidth - font.width(e.label)) / 2,
              kGap + tileHeight + kLabelHeight - 8);
    left += tileWidth + kGap;
  }
  return sheet;
}

std::string pngPathFor(const std::string& capture) {
  const auto dot = capture.rfind('.');
  const auto slash = capture.rfind('/');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExt ? capture.substr(0, dot) : capture) + ".png";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    fprintf(stderr, "usage: %s SHEET.png CAPTURE.pam LABEL [CAPTURE.pam LABEL]...\n", argv[0]);
    return 2;
  }
  std::vector<Entry> entries;
  for (int i = 2; i < argc; i += 2) {
    auto img = readPam(argv[i]);
    if (!img) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 1;
    }
    entries.push_back({argv[i], argv[i + 1], opaque(*img)});
    const std::string png = pngPathFor(argv[i]);
    if (!writePng(png, entries.back().image)) {
      fprintf(stderr, "%s: cannot write %s\n", argv[0], png.c_str());
      return 1;
    }
  }
  LabelFont font(VELMORA_LABEL_FONT);
  if (!font.ok()) {
    fprintf(stderr, "%s: cannot load the font %s\n", argv[0], VELMORA_LABEL_FONT);
    return 1;
  }
  if (!writePng(argv[1], contactSheet(entries, font))) {
    fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
