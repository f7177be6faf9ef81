#include "host/stdio_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace host {

File OpenRegularFile(const char* name) {
#ifdef _WIN32
  File file(std::fopen(name, "rb"));
  struct _stat64 st;
  if (!file || _fstat64(_fileno(file.get()), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
    return nullptr;
  return file;
#else
  // Non-blocking, so that a pipe without a writer answers at once; the mode
  // goes back to blocking before the C runtime reads.
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  File file(::fdopen(fd, "rb"));
  if (!file) ::close(fd);
  return file;
#endif
}

FileKind KindOfFile(const char* name) {
#ifdef _WIN32
  struct _stat64 st;
  if (_stat64(name, &st) != 0) return errno == ENOENT ? FileKind::Missing : FileKind::Inaccessible;
  switch (st.st_mode & _S_IFMT) {
    case _S_IFREG: return FileKind::Regular;
    case _S_IFDIR: return FileKind::Folder;
    case _S_IFIFO: return FileKind::Pipe;
    case _S_IFCHR: return FileKind::Device;
    default: return FileKind::Other;
  }
#else
  struct stat st;
  if (::stat(name, &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Inaccessible;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  if (S_ISDIR(st.st_mode)) return FileKind::Folder;
  if (S_ISFIFO(st.st_mode)) return FileKind::Pipe;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FileKind::Device;
  return FileKind::Other;
#endif
}

bool SameFile(const char* a, const char* b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

bool FilePosition(std::FILE* file, std::uint64_t& position) {
#ifdef _WIN32
  const long long at = _ftelli64(file);
#else
  const off_t at = ftello(file);
#endif
  if (at < 0) return false;
  position = static_cast<std::uint64_t>(at);
  return true;
}

bool SetFilePosition(std::FILE* file, std::uint64_t position) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<long long>(position), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

bool FileLength(std::FILE* file, std::uint64_t& length) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
#endif
  std::uint64_t end = 0;
  const bool told = FilePosition(file, end);
  if (!SetFilePosition(file, 0) || !told) return false;
  length = end;
  return true;
}

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
  return _isatty(_fileno(file)) != 0;
#else
  return isatty(fileno(file)) != 0;
#endif
}

int TerminalColumns(std::FILE* file) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
  struct winsize size {};
  if (ioctl(fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

File TakeStandardOutput() {
  std::fflush(stdout);
#ifdef _WIN32
  const int document = _dup(_fileno(stdout));
  if (document < 0) return nullptr;
  if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
    _close(document);
    return nullptr;
  }
  File stream(_fdopen(document, "wb"));
  if (!stream) _close(document);
#else
  const int document = dup(fileno(stdout));
  if (document < 0) return nullptr;
  if (dup2(fileno(stderr), fileno(stdout)) < 0) {
    close(document);
    return nullptr;
  }
  File stream(fdopen(document, "wb"));
  if (!stream) close(document);
#endif
  return stream;
}

}  // namespace host
