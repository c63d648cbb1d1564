#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fp {

// A directory held open, so that every file made in it lands in the directory that was checked,
// whatever happens to its path meanwhile. Owns its descriptor (-1 = none).
class OutputDir {
 public:
  OutputDir() = default;
  ~OutputDir();
  OutputDir(OutputDir&& other) noexcept;
  OutputDir& operator=(OutputDir&& other) noexcept;

  // Opens the directory `path` (following links on the way, as the user named it). False with
  // the reason in `why` when it is not a directory that can be opened.
  bool Open(const std::string& path, std::string& why);
  // The directory that holds the file `path` ("." for a bare name); the file's own name, the
  // last component, goes to `name`.
  bool OpenParentOf(const std::string& path, std::string& name, std::string& why);
  int Fd() const { return _fd; }
  const std::string& Path() const { return _path; }

 private:
  int _fd = -1;
  std::string _path;
};

// A file written whole or not at all: made under a temporary name beside its final one (with
// O_EXCL, so never through a planted link nor over another file), buffered, and renamed to its
// final name only by Commit. Until then the final name is untouched; a file that is dropped, or
// whose writing fails, is removed. A rename never follows a link at the final name: it replaces
// the link itself. For one thread.
class OutputFile {
 public:
  // Whether Commit may put the file in place of one that has the final name already.
  enum class Replace { kAllowed, kNever };

  OutputFile() = default;
  ~OutputFile();  // removes the temporary file when not committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes the temporary file for `name` (no slash) in `dir`, which must outlive this object.
  // False with errno's text in `why` (and errno in Error()).
  bool Create(const OutputDir& dir, const std::string& name, std::string& why);
  // Appends bytes; false once anything failed (the first failure's errno stays in Error()).
  bool Write(const void* data, std::size_t length);
  // Writes out what is buffered; then the descriptor's offset is the bytes written so far.
  bool Flush();
  // The descriptor, for writers that seek (after Flush); writes through it bypass the buffer.
  int Fd() const { return _fd; }
  // Renames the finished file to its final name, `durable` first making its content reach the
  // disk. False with the reason in `why`, the temporary file then removed; with
  // Replace::kNever, an existing final name fails with EEXIST's text.
  bool Commit(Replace replace, bool durable, std::string& why);
  // Removes the temporary file; the final name stays as it was.
  void Drop();
  // errno of the first failed write, 0 when none.
  int Error() const { return _error; }
  // Records a failure of a write made through Fd().
  void SetError(int error);

 private:
  const OutputDir* _dir = nullptr;
  std::string _name;
  std::string _temp_name;
  int _fd = -1;
  int _error = 0;
  std::string _buffer;
};

// errno's text, as strerror gives it.
std::string ErrorText(int error);

}  // namespace fp
