#include "admin/install.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "admin/acl.h"
#include "admin/text_file.h"

namespace zel {

namespace {

// The file being written until it is renamed into place; removed if it never is.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool create(const std::string& dir, const std::string& base) {
    std::string name = dir + "/." + base + ".new-XXXXXX";
    fd_.reset(mkostemp(name.data(), O_CLOEXEC));
    if (fd_) path_ = name;
    return static_cast<bool>(fd_);
  }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  bool close_file() { return fd_.close() == 0; }
  void installed() { path_.clear(); }

 private:
  UniqueFd fd_;
  std::string path_;
};

bool failed(std::string& error, const std::string& step) {
  error = step + ": " + std::strerror(errno);
  return false;
}

// Why a candidate must be root's own file: root reads what its writer could not.
constexpr const char* kRootsOwn =
    "root can read files the user who wrote or linked the candidate can't, and the installed file "
    "is shown to every user: render it as root to a path only root can write, then install it";

// Why standard input must be a pipe.
constexpr const char* kRedirected =
    "the shell that opened it as root may have followed a user's link to it, and root can read "
    "files that user can't, while the installed file is shown to every user. Give the file's path "
    "instead (zel-site install FILE, in a directory only root can write), or pipe in a rendering "
    "only root can read (RENDER | zel-site install -)";

// The first directory fault on the way, as "NAME, a directory on its path, is FAULT".
void judge_directory(int dir, const std::string& name, std::string& fault) {
  struct stat st {};
  if (!fault.empty()) return;
  if (fstat(dir, &st) != 0) {
    fault = name + ", a directory on its path, can't be examined: " + std::strerror(errno);
  } else if (const std::vector<DirectoryFault> faults = directory_faults(st, "user ID " + std::to_string(st.st_uid));
             !faults.empty()) {
    fault = name + ", a directory on its path, is " + faults.front().fault;
  }
}

// Opens path for reading with no symbolic link anywhere along it; none with errno. Each
// directory it passes, from / (a relative path starts at the working directory's), is judged
// into dir_fault.
UniqueFd open_without_links(std::string path, std::string& dir_fault) {
  if (!path.starts_with('/')) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return UniqueFd();
    path = std::string(cwd) + "/" + path;
  }
  UniqueFd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::size_t pos = path.find_first_not_of('/');
  if (pos == std::string::npos) errno = EISDIR;
  std::string walked;
  while (dir && pos != std::string::npos) {
    judge_directory(dir.get(), walked.empty() ? "/" : walked, dir_fault);
    const std::size_t slash = path.find('/', pos);
    const std::string part = path.substr(pos, slash == std::string::npos ? slash : slash - pos);
    walked += "/" + part;
    const std::size_t next = slash == std::string::npos ? slash : path.find_first_not_of('/', slash);
    const int flags = next == std::string::npos ? O_RDONLY | O_NONBLOCK | O_NOCTTY : O_RDONLY | O_DIRECTORY;
    UniqueFd fd(openat(dir.get(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    // A directory's place taken by a link fails as "not a directory"; name it.
    struct stat st {};
    const int open_errno = !fd && errno == ENOTDIR && fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                   S_ISLNK(st.st_mode) ? ELOOP : errno;
    errno = open_errno;
    if (!fd || next == std::string::npos) return fd;
    dir = std::move(fd);
    pos = next;
  }
  return UniqueFd();
}

// A regular file must be root's, with none of the forbidden mode bits, and have one name.
bool roots_own(const struct stat& st, const std::string& name, mode_t forbidden, std::string& error) {
  if (!S_ISREG(st.st_mode)) {
    error = name + " is not a regular file";
  } else if (st.st_uid != 0) {
    error = name + " is owned by user ID " + std::to_string(st.st_uid) + ", not root";
  } else if ((st.st_mode & forbidden & 022) != 0) {
    error = name + " is writable by others than root (mode " + octal(st.st_mode) + ")";
  } else if ((st.st_mode & forbidden) != 0) {
    error = name + " is readable by others than root (mode " + octal(st.st_mode) + ")";
  } else if (st.st_nlink != 1) {
    error = name + " has " + std::to_string(st.st_nlink) +
            " names (hard links), and another may be a file its linker can't read";
  } else {
    return true;
  }
  return false;
}

}  // namespace

// cppcheck-suppress constParameter ; read_text_file writes the reason into it
bool read_live_file(const std::string& site_path, LiveFile& live, std::string& error) {
  struct stat st {};
  bool missing = false;
  live = LiveFile();
  if (!read_text_file(site_path, live.text, error, {.follow_link = false, .missing = &missing,
                                                    .status = &st})) {
    return missing;
  }
  live.exists = true;
  live.dev = st.st_dev;
  live.ino = st.st_ino;
  return true;
}

UniqueFd open_roots_file(const std::string& path, mode_t forbidden, const char* how, std::string& error,
                         bool& refused) {
  std::string dir_fault;
  UniqueFd fd = open_without_links(path, dir_fault);
  struct stat st {};
  refused = !fd && errno == ELOOP;
  if (!fd) {
    error = refused ? path + " is, or lies under, a symbolic link" : path + ": " + std::strerror(errno);
  } else if (fstat(fd.get(), &st) != 0) {
    failed(error, path);
  } else if (!roots_own(st, path, forbidden, error)) {
    refused = true;
  } else if (!dir_fault.empty()) {
    refused = true;
    error = path + ": " + dir_fault + ", so someone else could have put another file in its place";
  } else {
    // Only a regular file gets here, and a regular file's reads ignore the
    // non-blocking flag the open took so that a FIFO could not hang it.
    return fd;
  }
  if (refused) error += std::string(": ") + how;
  return UniqueFd();
}

std::string named_pipe_fault(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) {
    return std::string("standard input, a FIFO, can't be examined (") + std::strerror(errno) + ")";
  }
  if (fs.f_type == PIPEFS_MAGIC) return {};
  return "standard input is a named pipe (FIFO), which whoever can open it may write into, and only a "
         "command's output piped in is taken";
}

bool read_candidate(const std::string& path, SecretBytes& text, std::string& error, bool& refused) {
  text.clear();
  refused = false;
  if (path != "-") {
    const UniqueFd fd = open_roots_file(path, 022, kRootsOwn, error, refused);
    return fd && read_text_fd(fd.get(), path, text, error);
  }
  // The shell that opened a redirected file did so as root, through whatever links a user
  // put in its path; nothing about the open file tells whether it did. A pipe's writer ends
  // it; the descriptor stays blocking for that.
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) return failed(error, "standard input");
  if (!S_ISFIFO(st.st_mode)) {
    error = std::string("standard input is ") + (S_ISREG(st.st_mode) ? "a regular file" : "no pipe") +
            ", and only a pipe is taken";
  } else {
    error = named_pipe_fault(STDIN_FILENO);
  }
  if (!error.empty()) {
    refused = true;
    error += std::string(": ") + kRedirected;
    return false;
  }
  return read_text_fd(STDIN_FILENO, "standard input", text, error);
}

bool directory_gives_no_acl(const std::string& site_path, std::string& error) {
  const std::string dir = split_path(site_path).first;
  bool present = false;
  // A missing directory holds no ACL; the step that needs it reports it.
  if (!path_has_acl(dir, AclKind::kDefault, present)) {
    return errno == ENOENT || failed(error, "reading the ACLs of " + dir);
  }
  if (present) {
    error = dir + " has a default ACL, which the new site file would inherit: remove it with setfacl -k " +
            dir;
    return false;
  }
  return true;
}

namespace {

// Whether the live file is still the one, with the text, that the command read.
bool still_as_read(const std::string& site_path, const LiveFile& as_read, std::string& error) {
  LiveFile now;
  std::string reason;
  const bool same = read_live_file(site_path, now, reason) && now.exists == as_read.exists &&
                    now.dev == as_read.dev && now.ino == as_read.ino && now.text == as_read.text;
  if (same) return true;
  error = site_path + (as_read.exists ? " was replaced or changed" : " was created") +
          " by another writer after zel-site read it: that change stays, and this one is not "
          "installed. Look at the file as it is now, then make your change again";
  if (!reason.empty()) error += " (" + reason + ")";
  return false;
}

// The steps of install_site_text after the checks; false with the step and the system's text.
bool put_in_place(const std::string& site_path, std::string_view text, const SiteOwnership& ownership,
                  const LiveFile& as_read, std::string& error, bool& raced) {
  const auto [dir, base] = split_path(site_path);
  if (!directory_gives_no_acl(site_path, error)) return false;

  NewFile file;
  if (!file.create(dir, base)) return failed(error, "creating a new file in " + dir);
  // The directory had no default ACL a moment ago, so an ACL on this new file
  // means someone is changing the directory's ACLs right now. The install is
  // refused rather than the ACL removed: the directory's state is not what was
  // checked, and the administrator should see that before a site file goes live
  // in it. Nothing has been written yet, and the new file is removed.
  bool has_acl = false;
  if (!file_has_acl(file.fd(), has_acl)) return failed(error, "reading the ACL of " + file.path());
  if (has_acl) {
    error = file.path() + " was given an ACL by " + dir +
            ", whose default ACL changed meanwhile: remove it with setfacl -k " + dir;
    return false;
  }
  if (!write_all(file.fd(), text)) return failed(error, "writing " + file.path());
  if (fchown(file.fd(), ownership.uid, ownership.gid) != 0) {
    return failed(error, "giving " + file.path() + " to " + ownership.owner_name + ":" +
                             ownership.group_name);
  }
  if (fchmod(file.fd(), ownership.mode) != 0) return failed(error, "changing the mode of " + file.path());
  if (fsync(file.fd()) != 0) return failed(error, "syncing " + file.path());
  if (!file.close_file()) return failed(error, "closing " + file.path());
  // The last look before the rename: a writer that doesn't take the lock (a
  // copy by configuration management, an editor run by hand) may have put its
  // file here since this command read it.
  if (!still_as_read(site_path, as_read, error)) {
    raced = true;
    return false;
  }
  if (rename(file.path().c_str(), site_path.c_str()) != 0) {
    return failed(error, "renaming " + file.path() + " to " + site_path);
  }
  file.installed();
  return true;
}

}  // namespace

bool install_site_text(const std::string& site_path, std::string_view text,
                       const SiteOwnership& ownership, const LiveFile& as_read, std::string& error) {
  bool raced = false;
  if (!put_in_place(site_path, text, ownership, as_read, error, raced)) {
    if (!raced) error = site_path + " is unchanged: " + error;
    return false;
  }
  // The new file is in force from here on; a failed sync of the directory is
  // only reported, as a warning the caller passes on.
  error.clear();
  const std::string dir = split_path(site_path).first;
  const UniqueFd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd || fsync(dir_fd.get()) != 0) failed(error, "the new file is in place, but syncing " + dir + " failed");
  return true;
}

}  // namespace zel
