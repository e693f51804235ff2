// libtiff's own full decode of each file given, to 8-bit RGBA by TIFFReadRGBAImage, on one
// core: the floor the TIFF rows are measured against. Prints the seconds and its peak in KB.
//
//   parvimage_tiffrgba FILE...

#include <sched.h>
#include <sys/resource.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

bool decode(const char *path)
{
    TIFF *tiff = TIFFOpen(path, "r");
    if (!tiff)
        return false;
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    auto *raster = static_cast<uint32_t *>(_TIFFmalloc(tmsize_t(width) * height * 4));
    const bool read =
        raster && TIFFReadRGBAImageOriented(tiff, width, height, raster, ORIENTATION_TOPLEFT, 1);
    _TIFFfree(raster);
    TIFFClose(tiff);
    return read;
}

} // namespace

int main(int argc, char *argv[])
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (argc < 2 || sched_setaffinity(0, sizeof one, &one) != 0)
        return 2;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i < argc; ++i)
        if (!decode(argv[i]))
            return 1;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %ld\n", seconds.count(), usage.ru_maxrss);
    return 0;
}
