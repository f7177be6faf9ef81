#include "host/output_files.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace host {

namespace {

namespace fs = std::filesystem;

// Which file a name is: device and inode, or volume serial and file index.
struct FileId {
  unsigned long long volume = 0, index = 0;
  bool operator==(const FileId&) const = default;
};

#ifdef _WIN32

// The file's identity, following links unless flags ask for the link itself;
// false when it cannot be opened.
bool FileIdentity(const char* name, DWORD flags, BY_HANDLE_FILE_INFORMATION& info, DWORD& type) {
  const HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  type = GetFileType(h);
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& i) {
  return {i.dwVolumeSerialNumber,
          (static_cast<unsigned long long>(i.nFileIndexHigh) << 32) | i.nFileIndexLow};
}

std::optional<FileId> IdentityOf(const char* name) {
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD type = 0;
  if (!FileIdentity(name, 0, info, type)) return std::nullopt;
  return IdOf(info);
}

#else

std::optional<FileId> IdentityOf(const char* name) {
  struct stat st;
  if (::stat(name, &st) != 0) return std::nullopt;
  return FileId{static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino)};
}

#endif

// The name as the file system resolves it: absolute, links in its folders
// followed, the part that does not exist yet kept as written.
std::string Resolved(const std::string& name) {
  std::error_code error;
  const fs::path absolute = fs::absolute(name, error);
  if (error) return name;
  const fs::path real = fs::weakly_canonical(absolute, error);
  std::string text = (error ? absolute.lexically_normal() : real).string();
#ifdef _WIN32
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
#endif
  return text;
}

// text is a name the pattern gives, "{n}" standing for one or more digits.
bool Matches(const std::string& pattern, std::size_t p, const std::string& text, std::size_t t) {
  const std::size_t at = pattern.find("{n}", p);
  if (at == std::string::npos) return pattern.compare(p, std::string::npos, text, t) == 0;
  if (text.compare(t, at - p, pattern, p, at - p) != 0) return false;
  const auto digit = [&](std::size_t i) {
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
  };
  for (std::size_t i = t + (at - p); digit(i);) {
    ++i;
    if (Matches(pattern, at + 3, text, i)) return true;
  }
  return false;
}

bool SameName(const std::string& a, const std::string& b) {
  return a == b || Matches(a, 0, b, 0) || Matches(b, 0, a, 0);
}

const char* KindText(NameKind kind) {
  switch (kind) {
    case NameKind::Link: return "a symbolic link";
    case NameKind::Pipe: return "a pipe";
    case NameKind::Device: return "a device";
    case NameKind::Folder: return "a folder";
    default: return "not a file that can be written";
  }
}

}  // namespace

NameKind KindAtName(const char* name) {
#ifdef _WIN32
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD type = 0;
  if (!FileIdentity(name, FILE_FLAG_OPEN_REPARSE_POINT, info, type)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NameKind::Free
                                                                          : NameKind::Other;
  }
  // NUL, CON, pipes and the like are no disk files.
  if (type == FILE_TYPE_PIPE) return NameKind::Pipe;
  if (type != FILE_TYPE_DISK) return NameKind::Device;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return NameKind::Link;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return NameKind::Folder;
  return NameKind::Regular;
#else
  struct stat st;
  if (::lstat(name, &st) != 0) return errno == ENOENT ? NameKind::Free : NameKind::Other;
  if (S_ISLNK(st.st_mode)) return NameKind::Link;
  if (S_ISREG(st.st_mode)) return NameKind::Regular;
  if (S_ISDIR(st.st_mode)) return NameKind::Folder;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return NameKind::Pipe;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return NameKind::Device;
  return NameKind::Other;
#endif
}

std::string CheckOutputNames(const std::vector<OutputName>& outputs,
                             const std::vector<std::string>& images) {
  struct Seen {
    const OutputName* output;
    std::string resolved;
    std::optional<FileId> id;
  };
  std::vector<Seen> seen;
  std::vector<Seen> imageFiles;
  for (const std::string& image : images) {
    if (!image.empty())
      imageFiles.push_back({nullptr, Resolved(image), IdentityOf(image.c_str())});
  }
  for (const OutputName& o : outputs) {
    const std::string said = "the " + o.what + " " + o.name + " ";
    // A station's numbered name stands for files that do not exist yet;
    // each is looked at when its backup is written.
    const bool numbered = o.name.find("{n}") != std::string::npos;
    const NameKind kind = numbered ? NameKind::Free : KindAtName(o.name.c_str());
    if (kind != NameKind::Free && kind != NameKind::Regular)
      return said + "is " + KindText(kind) + ": it is not written";
    Seen s{&o, Resolved(o.name),
           kind == NameKind::Regular ? IdentityOf(o.name.c_str()) : std::nullopt};
    const auto same = [&](const Seen& other) {
      return SameName(s.resolved, other.resolved) || (s.id && other.id && *s.id == *other.id);
    };
    for (std::size_t i = 0; i < imageFiles.size(); ++i) {
      if (same(imageFiles[i])) return said + "is the image " + images[i] + ": it is not written";
    }
    for (const Seen& other : seen) {
      if (o.alternatives != 0 && o.alternatives == other.output->alternatives) continue;
      if (same(other))
        return said + "is also the " + other.output->what + " " + other.output->name +
               ": one file cannot be both";
    }
    seen.push_back(std::move(s));
  }
  return "";
}

BackupTarget CheckBackupTarget(const char* target, const char* image) {
  // A link is replaced by the rename, never followed.
  switch (KindAtName(target)) {
    case NameKind::Free:
    case NameKind::Link: return BackupTarget::Usable;
    case NameKind::Regular: break;
    default: return BackupTarget::NotAFile;
  }
  if (image == nullptr || *image == '\0') return BackupTarget::Usable;
  const std::optional<FileId> t = IdentityOf(target);
  const std::optional<FileId> i = IdentityOf(image);
  return t && i && *t == *i ? BackupTarget::IsTheImage : BackupTarget::Usable;
}

File OpenOutputFile(const char* name, OutputMode mode) {
  const bool append = mode == OutputMode::Append;
#ifdef _WIN32
  const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileType(h) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(h, &info) != 0 &&
                       (info.dwFileAttributes &
                        (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
  if (!regular || (!append && SetEndOfFile(h) == 0)) {
    CloseHandle(h);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h),
                                 _O_BINARY | (append ? _O_APPEND | _O_RDWR : _O_WRONLY));
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  File file(_fdopen(fd, append ? "a+b" : "wb"));
#else
  // Non-blocking: a pipe without a reader fails at once instead of waiting.
  // Emptied only once it is known to be a regular file.
  const int fd = ::open(name, (append ? O_RDWR | O_APPEND : O_WRONLY) | O_CREAT | O_NOFOLLOW |
                                  O_NONBLOCK | O_CLOEXEC,
                        kNewFileMode);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || (!append && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return nullptr;
  }
  File file(::fdopen(fd, append ? "a+b" : "wb"));
#endif
  if (!file) {
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
  }
  return file;
}

bool AppendRecordLine(std::FILE* file, const std::string& line) {
  if (file == nullptr) return false;
  bool torn = false;
  std::fflush(file);
#ifdef _WIN32
  const int fd = _fileno(file);
  char last = '\n';
  torn = _lseeki64(fd, -1, SEEK_END) >= 0 && _read(fd, &last, 1) == 1 && last != '\n';
#else
  const int fd = fileno(file);
  struct stat st;
  char last = '\n';
  // The line an earlier process could not finish.
  torn = ::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
         last != '\n';
#endif
  std::string text(torn ? 1 : 0, '\n');
  text.append(line).push_back('\n');
  // One write: a reader never sees half a line from this process, and a
  // line that did not fit is closed by the next one.
#ifdef _WIN32
  const int n = _write(fd, text.data(), static_cast<unsigned>(text.size()));
  return n == static_cast<int>(text.size()) && _commit(fd) == 0;
#else
  ssize_t n;
  do {
    n = ::write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
#endif
}

}  // namespace host
