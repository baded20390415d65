// PNG files of the programs, through the image library's encoder.
#include "pngout.h"

#include "outfile.h"

bool write_png(OutputFile* out, const lintrace::Picture& picture, std::string* failure)
{
    return lintrace::write_png(
        picture, [out](const void* data, size_t size) { out->write(data, size); }, failure);
}

bool write_png(OutputFile* out, const PgmImage* image, std::string* failure)
{
    lintrace::Picture picture;
    picture.width = image->columns;
    picture.height = image->rows;
    picture.rows = image->pixels;
    return write_png(out, picture, failure);
}

bool names_png(const std::string& path)
{
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return end == ".png";
}
