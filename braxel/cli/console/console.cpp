// Console services on POSIX: files through open/read/write, guarded zero-filled blocks, the
// fatal-error block and formatted printing to standard output.
#include "braxel/cli/console/console.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

ConsoleServices console{};
BraxelOptions options{};

struct ConsoleFile {
  int fd = -1;
};

namespace {

// Hidden header in front of every block; 16 bytes keep the caller's area aligned for any type.
struct BlockHeader {
  std::uint64_t size;
  std::uint32_t marker;
  std::uint32_t pad;
};
static_assert(sizeof(BlockHeader) == 16);

std::int64_t g_live_bytes = 0;

// Every block handed out and not yet released. Looking a pointer up here before touching its
// header lets a double release or a foreign pointer end the run cleanly instead of reading
// memory that does not belong to us.
std::unordered_set<const void*>& live_blocks() {
  static auto* set = new std::unordered_set<const void*>();
  return *set;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

[[noreturn]] void fatal_text(const std::string& message) {
  std::fputs("***********\n", stdout);
  std::fputs("Fatal Error\n", stdout);
  std::fputs("***********\n", stdout);
  std::fprintf(stdout, "-- %s\n", console_printable(message, true).c_str());
  std::fflush(stdout);
  std::exit(kExitFailure);
}

BRAXEL_NORETURN void fatal_impl(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  fatal_text(message);
}

void print_impl(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = console_printable(vformat(format, args), true);
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stdout);
  // A carriage return ends a progress line that should show at once.
  if (!text.empty() && text.back() == '\r') std::fflush(stdout);
}

// Game paths come from Windows: accept '\' as a separator and find components whose letter case
// differs. Gives the path as written when nothing better is found.
std::string resolve_path(const char* name) {
  std::string path(name);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return path;
  for (char& c : path)
    if (c == '\\') c = '/';
  if (::stat(path.c_str(), &st) == 0) return path;

  std::string resolved = path.starts_with('/') ? "/" : "";
  std::size_t pos = path.starts_with('/') ? 1 : 0;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    std::string candidate = resolved + part;
    if (::stat(candidate.c_str(), &st) != 0) {
      DIR* dir = ::opendir(resolved.empty() ? "." : resolved.c_str());
      if (dir != nullptr) {
        while (dirent* entry = ::readdir(dir)) {
          if (::strcasecmp(entry->d_name, part.c_str()) == 0) {
            candidate = resolved + entry->d_name;
            break;
          }
        }
        ::closedir(dir);
      }
    }
    resolved = candidate;
    if (slash < path.size()) resolved += '/';
  }
  return resolved;
}

// "Read-only" on POSIX: the owner may not write. A file that is replaced or deleted loses that
// mark with its name; the file itself is never changed, since it may have other names (or be the
// target of a link) outside this run's reach.
void note_read_only(const std::string& path, const char* shown_name) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if ((st.st_mode & S_IWUSR) == 0) print_impl("'%s': removed read-only flag\n", shown_name);
}

// A new file at path, created exclusively: whatever held the name before is unlinked (a link is
// removed, never followed), and a name planted again in between makes the creation fail.
int create_new(const std::string& path, const char* shown_name) {
  note_read_only(path, shown_name);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

ConsoleFile* open_impl(const char* name, int for_writing) {
  if (name == nullptr) return nullptr;
  std::string path = resolve_path(name);
  int fd;
  if (for_writing) {
    fd = create_new(path, name);
  } else {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
      }
    }
  }
  if (fd < 0) return nullptr;
#if defined(POSIX_FADV_SEQUENTIAL)
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return new ConsoleFile{fd};
}

void close_impl(ConsoleFile* file) {
  if (file == nullptr) return;
  ::close(file->fd);
  delete file;
}

std::int64_t read_impl(ConsoleFile* file, void* buffer, std::int64_t count) {
  if (file == nullptr || count <= 0) return 0;
  auto* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    ssize_t got = ::read(file->fd, out + done, static_cast<std::size_t>(count - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

std::int64_t write_impl(ConsoleFile* file, const void* buffer, std::int64_t count) {
  if (file == nullptr || count <= 0) return 0;
  const auto* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    ssize_t put = ::write(file->fd, in + done, static_cast<std::size_t>(count - done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += put;
  }
  return done;
}

void seek_impl(ConsoleFile* file, std::int64_t position, int mode) {
  int whence;
  if (mode == kSeekFromStart)
    whence = SEEK_SET;
  else if (mode == kSeekFromEnd)
    whence = SEEK_END;
  else
    fatal_impl("illegal seek mode");
  if (file != nullptr) ::lseek(file->fd, static_cast<off_t>(position), whence);
}

std::int64_t size_impl(ConsoleFile* file) {
  struct stat st;
  if (file == nullptr || ::fstat(file->fd, &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

int exists_impl(const char* name) {
  ConsoleFile* file = open_impl(name, 0);
  if (file == nullptr) return 0;
  close_impl(file);
  return 1;
}

int rename_impl(const char* old_name, const char* new_name) {
  std::string from = resolve_path(old_name);
  std::string to = resolve_path(new_name);
  note_read_only(to, new_name);
  return ::rename(from.c_str(), to.c_str()) == 0 ? 1 : 0;
}

int remove_impl(const char* name) {
  std::string path = resolve_path(name);
  note_read_only(path, name);
  return ::unlink(path.c_str()) == 0 ? 1 : 0;
}

std::string exact_path(const char* name) {
  std::string path(name);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

int make_folder_impl(const char* name) {
  const std::string path = exact_path(name);
  if (::mkdir(path.c_str(), 0777) == 0) return 1;
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int is_link_impl(const char* name) {
  struct stat st;
  return ::lstat(exact_path(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}

ConsoleFile* create_exact_impl(const char* name) {
  const int fd = create_new(exact_path(name), name);
  if (fd < 0) return nullptr;
  return new ConsoleFile{fd};
}

int rename_exact_impl(const char* old_name, const char* new_name) {
  const std::string to = exact_path(new_name);
  note_read_only(to, new_name);
  return ::rename(exact_path(old_name).c_str(), to.c_str()) == 0 ? 1 : 0;
}

int flush_impl(ConsoleFile* file) {
  if (file == nullptr) return 0;
  int rc;
  do {
    rc = ::fsync(file->fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 1 : 0;
}

int sync_folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  ConsoleFile dir{fd};
  const int ok = flush_impl(&dir);
  ::close(fd);
  return ok;
}

int replace_impl(const char* old_name, const char* new_name) {
  if (!rename_impl(old_name, new_name)) return 0;
  return sync_folder_of(resolve_path(new_name));
}

void* allocate_impl(std::size_t count) {
  void* raw = nullptr;
  // Far beyond any memory this program may have: refuse before asking the allocator.
  constexpr std::size_t kMaxBlock = std::size_t{1} << 40;
  if (count <= kMaxBlock) raw = std::calloc(1, sizeof(BlockHeader) + count);
  if (raw == nullptr) fatal_impl("couldn't allocate %zu bytes", count);
  auto* header = static_cast<BlockHeader*>(raw);
  header->size = count;
  header->marker = kBlockMarker;
  void* block = header + 1;
  live_blocks().insert(block);
  g_live_bytes += static_cast<std::int64_t>(count);
  return block;
}

void release_impl(void* block) {
  if (block == nullptr) return;
  auto& live = live_blocks();
  auto it = live.find(block);
  auto* header = static_cast<BlockHeader*>(block) - 1;
  if (it == live.end() || header->marker != kBlockMarker)
    fatal_impl("freemem (memory not allocated or corrupted) %.8" PRIXPTR,
               reinterpret_cast<std::uintptr_t>(block));
  live.erase(it);
  g_live_bytes -= static_cast<std::int64_t>(header->size);
  header->marker = 0;
  std::free(header);
}

}  // namespace

void console_init() {
  console.open = open_impl;
  console.close = close_impl;
  console.read = read_impl;
  console.write = write_impl;
  console.seek = seek_impl;
  console.size = size_impl;
  console.exists = exists_impl;
  console.rename = rename_impl;
  console.remove = remove_impl;
  console.allocate = allocate_impl;
  console.release = release_impl;
  console.fatal = fatal_impl;
  console.print = print_impl;
  console.make_folder = make_folder_impl;
  console.is_link = is_link_impl;
  console.create_exact = create_exact_impl;
  console.rename_exact = rename_exact_impl;
  console.flush = flush_impl;
  console.replace = replace_impl;
}

std::string console_printable(const std::string& text, bool keep_layout) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    const bool layout = c == '\n' || c == '\r' || c == '\t';
    if ((b < 0x20 && !(keep_layout && layout)) || b == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::int64_t console_live_bytes() {
  return g_live_bytes;
}
