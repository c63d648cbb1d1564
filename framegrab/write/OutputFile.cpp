#include "framegrab/write/OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fp {

namespace {

constexpr std::size_t kBufferBytes = 256 * 1024;

// Writes all of `length` bytes; errno's value when not, else 0.
int WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Moves `from` to `to` within `dir`, failing with EEXIST when `to` exists. File systems without
// the no-replace rename get a hard link and an unlink, which fail the same way.
int RenameNoReplace(int dir, const char* from, const char* to) {
  if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::linkat(dir, from, dir, to, 0) != 0) return errno;
  ::unlinkat(dir, from, 0);
  return 0;
}

}  // namespace

std::string ErrorText(int error) { return std::strerror(error); }

OutputDir::~OutputDir() {
  if (_fd >= 0) ::close(_fd);
}

OutputDir::OutputDir(OutputDir&& other) noexcept : _fd(other._fd), _path(std::move(other._path)) {
  other._fd = -1;
}

OutputDir& OutputDir::operator=(OutputDir&& other) noexcept {
  if (this != &other) {
    if (_fd >= 0) ::close(_fd);
    _fd = other._fd;
    _path = std::move(other._path);
    other._fd = -1;
  }
  return *this;
}

bool OutputDir::Open(const std::string& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    why = ErrorText(errno);
    return false;
  }
  if (_fd >= 0) ::close(_fd);
  _fd = fd;
  _path = path;
  return true;
}

bool OutputDir::OpenParentOf(const std::string& path, std::string& name, std::string& why) {
  const std::size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    why = ErrorText(EISDIR);
    return false;
  }
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  return Open(parent, why);
}

OutputFile::~OutputFile() { Drop(); }

bool OutputFile::Create(const OutputDir& dir, const std::string& name, std::string& why) {
  Drop();
  _dir = &dir;
  _name = name;
  _error = 0;
  _buffer.clear();
  const std::string stem = "." + name + "." + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    _temp_name = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt)) + ".tmp";
    _fd = ::openat(dir.Fd(), _temp_name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (_fd >= 0) {
      _buffer.reserve(kBufferBytes);
      return true;
    }
    if (errno != EEXIST) break;
  }
  _error = errno;
  _temp_name.clear();
  why = ErrorText(_error);
  return false;
}

bool OutputFile::Write(const void* data, std::size_t length) {
  if (_fd < 0 || _error != 0) return false;
  if (_buffer.size() + length > kBufferBytes && !Flush()) return false;
  if (length >= kBufferBytes) {
    SetError(WriteAll(_fd, static_cast<const char*>(data), length));
  } else {
    _buffer.append(static_cast<const char*>(data), length);
  }
  return _error == 0;
}

bool OutputFile::Flush() {
  if (_fd < 0 || _error != 0) return false;
  SetError(WriteAll(_fd, _buffer.data(), _buffer.size()));
  _buffer.clear();
  return _error == 0;
}

void OutputFile::SetError(int error) {
  if (_error == 0) _error = error;
}

bool OutputFile::Commit(Replace replace, bool durable, std::string& why) {
  if (_fd < 0) {
    why = ErrorText(EBADF);
    return false;
  }
  Flush();
  if (_error == 0 && durable && ::fdatasync(_fd) != 0) SetError(errno);
  if (::close(_fd) != 0) SetError(errno);
  _fd = -1;
  if (_error == 0) {
    const int failed =
        replace == Replace::kNever
            ? RenameNoReplace(_dir->Fd(), _temp_name.c_str(), _name.c_str())
            : (::renameat(_dir->Fd(), _temp_name.c_str(), _dir->Fd(), _name.c_str()) == 0 ? 0
                                                                                          : errno);
    if (failed == 0) {
      _temp_name.clear();
      return true;
    }
    _error = failed;
  }
  why = ErrorText(_error);
  Drop();
  return false;
}

void OutputFile::Drop() {
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
  if (!_temp_name.empty() && _dir != nullptr) ::unlinkat(_dir->Fd(), _temp_name.c_str(), 0);
  _temp_name.clear();
  _buffer.clear();
}

}  // namespace fp
