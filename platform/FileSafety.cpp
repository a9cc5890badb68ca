#include "platform/FileSafety.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace tarn::platform {
namespace fs = std::filesystem;

TFd::~TFd() {
  if (fd_ >= 0) ::close(fd_);
}

TFd& TFd::operator=(TFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

namespace {

// The folder part and the name part of a path ("." for a bare name).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const fs::path p(path);
  std::string dir = p.parent_path().string();
  if (dir.empty()) dir = ".";
  return {dir, p.filename().string()};
}

TFd OpenFolder(const std::string& dir, std::string& error) {
  TFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) error = "cannot open folder " + dir + ": " + std::strerror(errno);
  return fd;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The process's file mode creation mask, without changing it (umask() would, for every
// thread at once).
mode_t CurrentUmask() {
  mode_t mask = 022;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned int value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(f);
  }
  return mask;
}

std::string UserName(uid_t uid) {
  if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  if (const group* gr = ::getgrgid(gid)) return gr->gr_name;
  return std::to_string(gid);
}

std::string Mode(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// Findings for one entry: its owner and its write permissions.
void Judge(const std::string& what, const struct stat& st, uid_t uid, gid_t ownGroup, std::vector<std::string>& out) {
  if (st.st_uid != 0 && st.st_uid != uid) out.push_back(what + " belongs to user " + UserName(st.st_uid));
  if (S_ISLNK(st.st_mode)) return;  // a link's own mode means nothing
  if ((st.st_mode & S_IWOTH) != 0)
    out.push_back(what + " can be written by every user (mode " + Mode(st.st_mode) + ")");
  else if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 && st.st_gid != ownGroup)
    out.push_back(what + " can be written by group " + GroupName(st.st_gid) + " (mode " + Mode(st.st_mode) + ")");
}

}  // namespace

TFd OpenRegularFile(const std::string& path, int flags, mode_t mode, bool* created, std::string& error) {
  if (created != nullptr) *created = false;
  const auto [dir, name] = SplitPath(path);
  TFd folder = OpenFolder(dir, error);
  if (!folder.Valid()) return TFd();
  // O_NONBLOCK: a FIFO in the file's place must not hold the caller until someone reads it.
  const int base = (flags & ~O_CREAT & ~O_EXCL) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  TFd fd(::openat(folder.Get(), name.c_str(), base));
  if (!fd.Valid() && errno == ENOENT && (flags & O_CREAT) != 0) {
    // Made here, so that the caller knows it is new; someone who makes it first is opened
    // like any existing file.
    fd = TFd(::openat(folder.Get(), name.c_str(), base | O_CREAT | O_EXCL, mode));
    if (fd.Valid()) {
      if (created != nullptr) *created = true;
    } else if (errno == EEXIST) {
      fd = TFd(::openat(folder.Get(), name.c_str(), base));
    }
  }
  if (!fd.Valid()) {
    const int err = errno;
    struct stat st {};
    if (err == ELOOP || (::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
      error = path + " is a link, which is not followed";
    else if (err == ENXIO || err == EISDIR)
      error = path + " is not a regular file";
    else
      error = path + ": " + std::strerror(err);
    return TFd();
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    return TFd();
  }
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool WriteRegularFile(const std::string& path, const std::string& data, mode_t mode, std::string& error) {
  TFd fd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, mode, nullptr, error);
  if (!fd.Valid()) return false;
  if (!WriteAll(fd.Get(), data)) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool TrustedTarget(const std::string& path, std::string& target, std::string& error) {
  fs::path p(path);
  const uid_t self = ::geteuid();
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = p.string();
      return true;
    }
    if (st.st_uid != 0 && st.st_uid != self) {
      error = p.string() + " is a link owned by user " + UserName(st.st_uid) +
              ", which is not followed (only links of root or of " + UserName(self) + " are)";
      return false;
    }
    std::error_code ec;
    const fs::path next = fs::read_symlink(p, ec);
    if (ec) {
      error = p.string() + ": " + ec.message();
      return false;
    }
    p = next.is_absolute() ? next : p.parent_path() / next;
  }
  error = path + ": too many links";
  return false;
}

bool ReplaceFileContent(const std::string& path, const std::string& data, std::string& error) {
  const auto [dir, name] = SplitPath(path);
  TFd folder = OpenFolder(dir, error);
  if (!folder.Valid()) return false;
  const std::string tmp = name + ".tmp";
  // A copy left by an earlier attempt, or a name someone put there: gone first (a link is
  // removed, not followed), then made anew and only by us.
  ::unlinkat(folder.Get(), tmp.c_str(), 0);
  TFd fd(::openat(folder.Get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.Valid()) {
    error = dir + "/" + tmp + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& why) {
    error = why;
    ::unlinkat(folder.Get(), tmp.c_str(), 0);  // leave no stray copy
    return false;
  };
  if (!WriteAll(fd.Get(), data)) return fail(dir + "/" + tmp + ": " + std::strerror(errno));
  // The new file keeps the old one's mode and, where we may set it, its owner; a new file
  // gets the mode any file of this process gets.
  struct stat st {};
  if (::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) return fail(path + " is not a regular file");
    ::fchmod(fd.Get(), st.st_mode & 07777);
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      // Not allowed to give the file away: keep at least the group when we may.
      if (::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
        [[maybe_unused]] const int groupKept = ::fchown(fd.Get(), static_cast<uid_t>(-1), st.st_gid);
      }
    }
  } else {
    ::fchmod(fd.Get(), 0666 & ~CurrentUmask());
  }
  if (::renameat(folder.Get(), tmp.c_str(), folder.Get(), name.c_str()) != 0)
    return fail(path + ": " + std::strerror(errno));
  return true;
}

std::vector<std::string> WritableByOthers(const FileLayout& layout, uid_t uid) {
  gid_t ownGroup = 0;
  if (uid != 0) {
    const passwd* pw = ::getpwuid(uid);
    ownGroup = pw != nullptr ? pw->pw_gid : static_cast<gid_t>(-1);
  }
  std::vector<std::string> out;
  const std::set<std::string> layoutFolders{layout.home, layout.configDir, layout.logDir};
  for (const std::string& folder : layoutFolders) {
    if (folder.empty()) continue;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    Judge("folder " + folder, st, uid, ownGroup, out);
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) continue;
    // Bounded: a folder of a development build holds a few hundred entries.
    int entries = 0;
    while (const dirent* e = ::readdir(d)) {
      if (++entries > 100000) break;
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      if (layoutFolders.count(path)) continue;  // a folder of the layout, judged on its own
      struct stat es {};
      if (::lstat(path.c_str(), &es) == 0) Judge(path, es, uid, ownGroup, out);
    }
    ::closedir(d);
  }
  return out;
}

std::string RootRefusalText(const std::vector<std::string>& findings) {
  std::string text =
      "Refusing to run as root: another user can write where the service writes, and could plant a link "
      "there that root would write through:";
  for (const auto& f : findings) text += "\n  " + f;
  text +=
      "\nRun the service as its own user (User= in the unit; the package's unit does), or give these to root "
      "and take the write permission away (chown root:root, chmod go-w).";
  return text;
}

}  // namespace tarn::platform
