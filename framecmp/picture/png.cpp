#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <png.h>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/input.h"
#include "framecmp/memory.h"
#include "framecmp/picture/layout.h"
#include "framecmp/picture/picture.h"
#include "framecmp/picture/render.h"

namespace framecmp {

[[noreturn]] static void pictureFailed(png_structp png, png_const_charp message)
{
    auto* picture = static_cast<SafeOutput*>(png_get_error_ptr(png));
    const std::string why = message;
    abandonSafeOutput(*picture);
    fail(picture->path, "cannot write the picture: " + why);
}

static void pictureWarning(png_structp /*png*/, png_const_charp /*message*/)
{
}

// libpng's memory, whose lack ends the run as any other allocation's does.
static png_voidp pictureAllocate(png_structp /*png*/, png_alloc_size_t size)
{
    void* block = std::malloc(size);
    if (block == nullptr) {
        failAllocation(size);
    }
    return block;
}

static void pictureRelease(png_structp /*png*/, png_voidp block)
{
    std::free(block);
}

// Writes the picture under its temporary name; it is put in place once the run's outcome is known.
SafeOutput writePicture(const char* path, const PairLayout& pair, const Buffers& buffers, const FrameResult& drawn,
                        int32_t tolerance, const Region& region)
{
    const PictureLayout picture = makePictureLayout(pair, drawn, buffers.mask != nullptr, region);
    if (picture.width > INT32_MAX / 3) {
        fail(path, "the frame is too wide for a picture");
    }
    if (picture.height > INT32_MAX) {
        fail(path, "the frame is too tall for a picture");
    }
    const size_t rowBytes = 3 * static_cast<size_t>(picture.width);
    uint8_t* row = allocate(rowBytes);
    SafeOutput output = openSafeOutput(path);
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &output, pictureFailed, pictureWarning, nullptr,
                                                pictureAllocate, pictureRelease);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        abandonSafeOutput(output);
        fail(path, "cannot allocate the picture");
    }
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_init_io(png, output.file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int64_t y = 0; y < picture.height; ++y) {
        pictureRow(pair, picture, buffers, tolerance, y, row, rowBytes);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::free(row);
    completeSafeOutput(output, "cannot write the picture");
    return output;
}

} // namespace framecmp
