#include "framegrab/write/PngEncoder.h"

#include <csetjmp>
#include <cstdio>
#include <png.h>
#include <zlib.h>

namespace fp {

namespace {

struct Context {
  const ByteSink* sink;
  char failure[200];
};

void OnWrite(png_structp png, png_bytep data, png_size_t length) {
  auto* context = static_cast<Context*>(png_get_io_ptr(png));
  if (!(*context->sink)(data, length)) png_error(png, "write failed");
}

void OnFlush(png_structp) {}

void OnError(png_structp png, png_const_charp message) {
  auto* context = static_cast<Context*>(png_get_error_ptr(png));
  std::snprintf(context->failure, sizeof context->failure, "%s", message);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Only plain locals here: longjmp skips destructors.
bool Encode(Context& context, const std::uint8_t* samples, int width, int height, int bit_depth) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, OnError, OnWarning);
  if (png == nullptr) {
    std::snprintf(context.failure, sizeof context.failure, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &context, OnWrite, OnFlush);
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_HUFFMAN_ONLY);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bit_depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  // PNG keeps 16-bit samples most significant byte first.
  if (bit_depth == 16) png_set_swap(png);
  const std::size_t row_bytes =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(bit_depth / 8);
  for (int row = 0; row < height; ++row) {
    png_write_row(png, samples + row_bytes * static_cast<std::size_t>(row));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string EncodeGrayPng(const std::uint8_t* samples, int width, int height, int bit_depth,
                          const ByteSink& sink) {
  Context context{&sink, {}};
  if (Encode(context, samples, width, height, bit_depth)) return "";
  return context.failure;
}

std::string GrayPngFile(const std::uint8_t* samples, int width, int height, int bit_depth) {
  std::string out;
  const ByteSink append = [&out](const std::uint8_t* data, std::size_t length) {
    out.append(reinterpret_cast<const char*>(data), length);
    return true;
  };
  if (!EncodeGrayPng(samples, width, height, bit_depth, append).empty()) out.clear();
  return out;
}

}  // namespace fp
