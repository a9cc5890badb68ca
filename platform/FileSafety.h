#pragma once
// The files the service writes in its own folders (alive.txt, the day logs, the settings
// file's replacement) are opened so that nothing planted there by another user is written
// through: a link in the file's place is not followed, and a FIFO, a device or a folder is
// not opened; the write fails instead and says why.
//
// Which links are trusted: only the settings file may be a link (an administrator may keep
// the real file elsewhere), and only when every link on the way is owned by root or by the
// user the service runs as. Nobody else can make a link with that owner, so a link another
// user planted is refused, not followed.
//
// A service that runs as root must not use folders another user can write (that user could
// swap a file for a link between two writes, or rewrite the settings): `WritableByOthers`
// names what is wrong, and the service refuses to start while it finds anything.
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Home.h"

namespace tarn::platform {

// An open descriptor, closed by the destructor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd();
  TFd(TFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  TFd& operator=(TFd&& o) noexcept;
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens `path` for writing with `flags` (O_WRONLY or O_RDWR, with O_APPEND, O_TRUNC, O_CREAT
// as wanted; O_NOFOLLOW and O_CLOEXEC are always added), relative to its folder (openat), and
// only when it is a regular file. `created` (when given) tells whether this call made the
// file. On failure the result is not Valid() and `error` says why: "... is a link, which is
// not followed", "... is not a regular file", or the system's reason.
TFd OpenRegularFile(const std::string& path, int flags, mode_t mode, bool* created, std::string& error);

// Writes `data` to `path` in one go (O_TRUNC), as OpenRegularFile opens it; false with
// `error` when it cannot.
bool WriteRegularFile(const std::string& path, const std::string& data, mode_t mode, std::string& error);

// The file a settings path names: links followed only while each is trusted (owned by root
// or by this process's effective user), at most 40; a link to a missing file gives that
// file's path. False with `error` for a link owned by anyone else.
bool TrustedTarget(const std::string& path, std::string& target, std::string& error);

// Replaces the regular file `path` (or creates it) with `data` at once: written to
// "<name>.tmp" in the same folder (made anew, never through a link), given the old file's
// mode and, where allowed, its owner and group, then renamed over it. False with `error`
// when the file cannot be replaced; no stray copy is left behind then.
bool ReplaceFileContent(const std::string& path, const std::string& data, std::string& error);

// What in the layout's folders (home, configuration, log) and in the entries directly in
// them a user other than `uid` and root could write, one line each: an owner other than
// those two, write permission for others, or for a group other than root's and the user's
// own. Folders that do not exist are skipped.
std::vector<std::string> WritableByOthers(const FileLayout& layout, uid_t uid);

// The lines of WritableByOthers as the message that refuses a start as root.
std::string RootRefusalText(const std::vector<std::string>& findings);

}  // namespace tarn::platform
