#include "framegrab/write/TiffWriter.h"

#include "framegrab/write/OutputFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

namespace fp {

namespace {

// Rows in one strip: 256 KB a strip at 2048 samples a row, few enough strips for a reader and
// writes large enough to cost little.
constexpr int kRowsPerStrip = 64;

struct Context {
  OutputFile* file;
  char failure[200];
};

OutputFile& FileOf(thandle_t handle) { return *static_cast<Context*>(handle)->file; }

tmsize_t OnRead(thandle_t handle, void* data, tmsize_t length) {
  return ::read(FileOf(handle).Fd(), data, static_cast<std::size_t>(length));
}

tmsize_t OnWrite(thandle_t handle, void* data, tmsize_t length) {
  OutputFile& file = FileOf(handle);
  const char* at = static_cast<const char*>(data);
  tmsize_t left = length;
  while (left > 0) {
    const ssize_t n = ::write(file.Fd(), at, static_cast<std::size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      file.SetError(n < 0 ? errno : ENOSPC);
      return -1;
    }
    at += n;
    left -= n;
  }
  return length;
}

toff_t OnSeek(thandle_t handle, toff_t offset, int whence) {
  return static_cast<toff_t>(::lseek(FileOf(handle).Fd(), static_cast<off_t>(offset), whence));
}

int OnClose(thandle_t) { return 0; }

toff_t OnSize(thandle_t handle) {
  struct stat s {};
  return ::fstat(FileOf(handle).Fd(), &s) == 0 ? static_cast<toff_t>(s.st_size) : 0;
}

int OnMap(thandle_t, void**, toff_t*) { return 0; }
void OnUnmap(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* user, const char*, const char* format, va_list args) {
  auto* context = static_cast<Context*>(user);
  if (context->failure[0] == '\0') {
    std::vsnprintf(context->failure, sizeof context->failure, format, args);
  }
  return 1;  // handled: nothing on standard error
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

bool Encode(TIFF* tiff, const std::uint8_t* samples, int width, int height,
            const std::string& description, const std::string& date_time,
            const std::string& software) {
  const auto w = static_cast<std::uint32_t>(width);
  const auto h = static_cast<std::uint32_t>(height);
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, w) == 1 &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, h) == 1 &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16) == 1 &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
            TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) == 1 &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1 &&
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip) == 1 &&
            TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1 &&
            TIFFSetField(tiff, TIFFTAG_DATETIME, date_time.c_str()) == 1 &&
            TIFFSetField(tiff, TIFFTAG_SOFTWARE, software.c_str()) == 1;
  const std::size_t row_bytes = static_cast<std::size_t>(width) * 2;
  for (int row = 0, strip = 0; ok && row < height; row += kRowsPerStrip, ++strip) {
    const int rows = height - row < kRowsPerStrip ? height - row : kRowsPerStrip;
    const auto bytes = static_cast<tmsize_t>(row_bytes * static_cast<std::size_t>(rows));
    // Raw: written as they are, the file being little-endian like the samples.
    void* strip_data =
        const_cast<std::uint8_t*>(samples + row_bytes * static_cast<std::size_t>(row));
    ok = TIFFWriteRawStrip(tiff, static_cast<std::uint32_t>(strip), strip_data, bytes) == bytes;
  }
  return ok && TIFFWriteDirectory(tiff) == 1;
}

}  // namespace

std::string WriteGrayTiff(OutputFile& file, const std::uint8_t* samples, int width, int height,
                          const std::string& description, const std::string& date_time,
                          const std::string& software) {
  if (!file.Flush()) return ErrorText(file.Error());
  Context context{&file, {}};
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &context);
  TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &context);
  TIFF* tiff = TIFFClientOpenExt("picture", "wl", &context, OnRead, OnWrite, OnSeek, OnClose,
                                 OnSize, OnMap, OnUnmap, options);
  TIFFOpenOptionsFree(options);
  bool ok = tiff != nullptr;
  if (ok) {
    ok = Encode(tiff, samples, width, height, description, date_time, software);
    TIFFClose(tiff);  // writes what is left of the directory
  }
  if (file.Error() != 0) return ErrorText(file.Error());
  if (!ok || context.failure[0] != '\0') {
    return context.failure[0] != '\0' ? context.failure : "cannot encode the TIFF";
  }
  return "";
}

}  // namespace fp
