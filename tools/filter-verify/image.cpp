#include "image.h"

#include <cstdio>
#include <fstream>
#include <sstream>

bool writePam(const std::string& path, const Image& img) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const int depth = img.hasAlpha ? 4 : 3;
    out << "P7\nWIDTH " << img.width << "\nHEIGHT " << img.height << "\nDEPTH " << depth << "\nMAXVAL 255\nTUPLTYPE "
        << (img.hasAlpha ? "RGB_ALPHA" : "RGB") << "\nENDHDR\n";
    for (const Rgba& p : img.pixels) {
        const char bytes[4] = {static_cast<char>(p.r), static_cast<char>(p.g), static_cast<char>(p.b),
                               static_cast<char>(p.a)};
        out.write(bytes, depth);
    }
    return static_cast<bool>(out.flush());
}

std::optional<Image> readPam(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != "P7") return std::nullopt;
    Image img;
    int depth = 0;
    int maxval = 0;
    while (std::getline(in, line) && line != "ENDHDR") {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "WIDTH")
            words >> img.width;
        else if (key == "HEIGHT")
            words >> img.height;
        else if (key == "DEPTH")
            words >> depth;
        else if (key == "MAXVAL")
            words >> maxval;
    }
    if (line != "ENDHDR" || img.width <= 0 || img.height <= 0 || maxval != 255 || (depth != 3 && depth != 4))
        return std::nullopt;
    img.hasAlpha = depth == 4;
    img.pixels.resize(static_cast<size_t>(img.width) * img.height);
    for (Rgba& p : img.pixels) {
        unsigned char bytes[4] = {0, 0, 0, 255};
        if (!in.read(reinterpret_cast<char*>(bytes), depth)) return std::nullopt;
        p = {bytes[0], bytes[1], bytes[2], bytes[3]};
    }
    return img;
}
