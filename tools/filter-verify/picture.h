// PNG files and labelled sheets of pictures side by side, for people to
// look at what filter drew.
#pragma once

#include <string>
#include <vector>

#include "image.h"

// FreeType's handles, without its headers.
struct FT_LibraryRec_;
struct FT_FaceRec_;

// Written without alpha: the screen shows colour only.
bool writePng(const std::string& path, const Image& img);

struct Tile {
    std::string label;  // one line below the picture
    Image image;
};

class LabelFont {
public:
    explicit LabelFont(const char* path);
    ~LabelFont();
    LabelFont(const LabelFont&) = delete;
    LabelFont& operator=(const LabelFont&) = delete;

    bool ok() const { return face_ != nullptr; }

    // The tiles side by side on a dark ground, each labelled below, with the
    // title lines, if any, above them all.
    Image sheet(const std::vector<Tile>& tiles, const std::vector<std::string>& title = {});

private:
    int width(const std::string& text);
    void draw(Image& img, const std::string& text, int x, int baseline);

    FT_LibraryRec_* lib_ = nullptr;
    FT_FaceRec_* face_ = nullptr;
};
