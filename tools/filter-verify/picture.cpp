#include "picture.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr int kGap = 12;
constexpr int kLineHeight = 22;
constexpr int kFontPixels = 15;
constexpr Rgba kBackground{40, 40, 48, 255};

}  // namespace

bool writePng(const std::string& path, const Image& img) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "wb"), fclose);
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::vector<png_byte> row(static_cast<size_t>(img.width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const Rgba& p = img.at(x, y);
            row[3 * static_cast<size_t>(x)] = p.r;
            row[3 * static_cast<size_t>(x) + 1] = p.g;
            row[3 * static_cast<size_t>(x) + 2] = p.b;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    // A full disk shows up only when the last bytes go out.
    return fflush(file.get()) == 0 && !ferror(file.get());
}

LabelFont::LabelFont(const char* path) {
    if (FT_Init_FreeType(&lib_) != 0) {
        lib_ = nullptr;
        return;
    }
    if (FT_New_Face(lib_, path, 0, &face_) != 0) face_ = nullptr;
    if (face_) FT_Set_Pixel_Sizes(face_, 0, kFontPixels);
}

LabelFont::~LabelFont() {
    if (face_) FT_Done_Face(face_);
    if (lib_) FT_Done_FreeType(lib_);
}

int LabelFont::width(const std::string& text) {
    int w = 0;
    for (unsigned char c : text)
        if (FT_Load_Char(face_, c, FT_LOAD_DEFAULT) == 0) w += static_cast<int>(face_->glyph->advance.x >> 6);
    return w;
}

// White text with its baseline at (x, baseline).
void LabelFont::draw(Image& img, const std::string& text, int x, int baseline) {
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

Image LabelFont::sheet(const std::vector<Tile>& tiles, const std::vector<std::string>& title) {
    int tileWidth = 0;
    int tileHeight = 0;
    for (const Tile& t : tiles) {
        tileWidth = std::max({tileWidth, t.image.width, width(t.label)});
        tileHeight = std::max(tileHeight, t.image.height);
    }
    const int titleHeight = static_cast<int>(title.size()) * kLineHeight;
    Image sheet;
    sheet.width = kGap + static_cast<int>(tiles.size()) * (tileWidth + kGap);
    for (const std::string& line : title) sheet.width = std::max(sheet.width, 2 * kGap + width(line));
    sheet.height = kGap + titleHeight + tileHeight + kLineHeight + kGap;
    sheet.pixels.assign(static_cast<size_t>(sheet.width) * sheet.height, kBackground);
    for (size_t i = 0; i < title.size(); ++i)
        draw(sheet, title[i], kGap, kGap + static_cast<int>(i + 1) * kLineHeight - 6);
    const int top = kGap + titleHeight;
    int left = kGap;
    for (const Tile& t : tiles) {
        const int x0 = left + (tileWidth - t.image.width) / 2;
        for (int y = 0; y < t.image.height; ++y)
            for (int x = 0; x < t.image.width; ++x) sheet.at(x0 + x, top + y) = t.image.at(x, y);
        draw(sheet, t.label, left + (tileWidth - width(t.label)) / 2, top + tileHeight + kLineHeight - 4);
        left += tileWidth + kGap;
    }
    return sheet;
}
