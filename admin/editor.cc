#include "admin/editor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <optional>

#include "admin/check.h"
#include "admin/deployment.h"
#include "admin/install.h"
#include "admin/interrupt.h"
#include "admin/lock.h"
#include "admin/text_file.h"
#include "util/secret.h"

namespace zel {

namespace {

// The private directory of one edit and everything the editor left in it.
class PrivateDir {
 public:
  PrivateDir() = default;
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir() { remove(); }
  bool create(const std::string& site_path);
  // Takes over a private directory an earlier edit left, to remove it.
  void adopt(const std::string& path) { path_ = path; }
  const std::string& path() const { return path_; }
  void remove();

 private:
  std::string path_;
};

bool PrivateDir::create(const std::string& site_path) {
  std::string name = split_path(site_path).first + "/.zel-site-edit.XXXXXX";
  if (mkdtemp(name.data()) == nullptr) return false;
  path_ = name;
  return true;
}

void PrivateDir::remove() {
  if (path_.empty()) return;
  const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    if (DIR* dir = fdopendir(fd)) {
      while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (unlinkat(fd, entry->d_name, 0) != 0 && errno == EISDIR) unlinkat(fd, entry->d_name, AT_REMOVEDIR);
      }
      closedir(dir);
    } else {
      close(fd);
    }
  }
  if (rmdir(path_.c_str()) != 0) {
    std::fprintf(stderr, "zel-site: can't remove %s: %s\n", path_.c_str(), std::strerror(errno));
  }
  path_.clear();
}

bool write_new_file(const std::string& path, std::string_view text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (!write_all(fd, text)) {
    const int write_errno = errno;
    close(fd);
    errno = write_errno;
    return false;
  }
  return close(fd) == 0;
}

// Stops an editor that outlives an interrupt: asked first, then killed.
void stop_editor(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 60; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    const timespec pause{0, 50'000'000};
    nanosleep(&pause, nullptr);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Runs the editor on file; true if it ended well.
bool run_editor(const std::string& file) {
  std::vector<std::string> command = editor_command();
  const bool chosen = !command.empty();
  if (!chosen) command = {"editor"};
  command.push_back(file);
  std::vector<char*> argv(command.size() + 1, nullptr);
  std::transform(command.begin(), command.end(), argv.begin(), [](std::string& word) { return word.data(); });
  char vi[] = "vi";

  // Nothing buffered may be written twice, by the child too.
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "zel-site: can't start the editor: %s\n", std::strerror(errno));
    return false;
  }
  if (pid == 0) {
    execvp(argv[0], argv.data());
    if (!chosen && errno == ENOENT) {
      argv[0] = vi;
      execvp(argv[0], argv.data());
    }
    std::fprintf(stderr, "zel-site: can't run the editor %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
    if (interrupted() != 0) {
      stop_editor(pid);
      return false;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One answer line, blanks around it dropped; none at the end of input or on an interrupt.
std::optional<std::string> read_answer(std::FILE* in) {
  std::string line;
  for (;;) {
    const int c = std::fgetc(in);
    if (c == EOF) {
      if (std::ferror(in) && errno == EINTR && interrupted() == 0) {
        std::clearerr(in);
        continue;
      }
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  // A scripted answer is not echoed: end the prompt's line for the reader of the log.
  if (isatty(fileno(in)) == 0) (void)std::fputc('\n', stderr);
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

enum class Choice { kEdit, kExit, kInstall };

Choice ask(std::FILE* answers, const std::string& site_path) {
  for (;;) {
    std::fputs("What now? [e]dit again, e[x]it leaving the site file as it is, [Q] install anyway: ",
               stderr);
    (void)std::fflush(stderr);
    const std::optional<std::string> answer = read_answer(answers);
    if (!answer || *answer == "x") return Choice::kExit;
    if (*answer == "e") return Choice::kEdit;
    if (*answer == "Q") {
      std::fprintf(stderr, "Install %s with its errors? Type yes to confirm: ", site_path.c_str());
      (void)std::fflush(stderr);
      const std::optional<std::string> confirm = read_answer(answers);
      if (!confirm) return Choice::kExit;
      if (*confirm == "yes") return Choice::kInstall;
      continue;
    }
    std::fputs("Answer e, x or Q.\n", stderr);
  }
}

// Offers to remove each copy of the site file that a killed edit or install left,
// as an editor offers to remove a swap file. A copy kept is a deployment error,
// so the edit then stops at the check.
void offer_removal(const std::string& site_path, std::FILE* answers) {
  for (const std::string& copy : left_copies(site_path)) {
    std::fprintf(stderr, "zel-site: %s is a copy of the site file left by an edit or install that was "
                         "killed: it holds every token, so treat them as exposed and rotate them "
                         "(zel-site set-token)\nRemove it? [y]es, [n]o: ", copy.c_str());
    (void)std::fflush(stderr);
    const std::optional<std::string> answer = read_answer(answers);
    if (!answer || *answer != "y") continue;
    PrivateDir left;
    if (split_path(copy).second.starts_with(".zel-site-edit.")) {
      left.adopt(copy);
      left.remove();
    } else if (unlink(copy.c_str()) != 0) {
      std::fprintf(stderr, "zel-site: can't remove %s: %s\n", copy.c_str(), std::strerror(errno));
      continue;
    }
    std::fprintf(stderr, "zel-site: removed %s\n", copy.c_str());
  }
}

}  // namespace

std::vector<std::string> editor_command() {
  for (const char* variable : {"SUDO_EDITOR", "VISUAL", "EDITOR"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr) continue;
    std::vector<std::string> words;
    const std::string_view text = value;
    for (std::size_t pos = text.find_first_not_of(" \t\n"); pos != std::string_view::npos;) {
      const std::size_t end = std::min(text.find_first_of(" \t\n", pos), text.size());
      words.emplace_back(text.substr(pos, end - pos));
      pos = text.find_first_not_of(" \t\n", end);
    }
    if (!words.empty()) return words;
  }
  return {};
}

int edit_site(const std::string& site_path, const char* tool_path, std::FILE* answers, ChangeTrail& trail) {
  std::string error;
  SiteLock lock;
  if (!lock.acquire(site_path, error)) {
    std::fprintf(stderr, "zel-site: %s\n", error.c_str());
    return 2;
  }
  offer_removal(site_path, answers);
  if (interrupted() != 0) return 1;
  SiteOwnership ownership;
  LiveFile live;
  if (const int status = prepare_write(site_path, tool_path, stdout, ownership, live, error); status != 0) {
    std::fprintf(stderr, "zel-site: %s\n", error.c_str());
    return status;
  }
  if (const int status = trail.reconcile(live.exists, view_of(live.text)); status != 0) return status;
  const SecretBytes& original = live.text;

  PrivateDir dir;
  if (!dir.create(site_path)) {
    std::fprintf(stderr, "zel-site: can't make a private directory beside %s: %s\n", site_path.c_str(),
                 std::strerror(errno));
    return 2;
  }
  const std::string copy = dir.path() + "/" + split_path(site_path).second;
  if (!write_new_file(copy, view_of(original))) {
    std::fprintf(stderr, "zel-site: can't write %s: %s\n", copy.c_str(), std::strerror(errno));
    return 2;
  }

  SecretBytes edited;
  bool forced = false;
  for (;;) {
    if (!run_editor(copy)) {
      if (interrupted() == 0) {
        std::fprintf(stderr, "zel-site: the editor failed; %s is unchanged\n", site_path.c_str());
      }
      return 1;
    }
    if (!read_text_file(copy, edited, error)) {
      std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), site_path.c_str());
      return 1;
    }
    if (edited == original) {
      std::fprintf(stderr, "zel-site: %s is unchanged\n", site_path.c_str());
      return 0;
    }
    const std::vector<Finding> findings = check_site_text(view_of(edited));
    print_findings(stdout, site_path.c_str(), findings);
    (void)std::fflush(stdout);
    if (!has_errors(findings, false)) break;
    const Choice choice = ask(answers, site_path);
    if (interrupted() != 0) return 1;
    if (choice == Choice::kExit) {
      std::fprintf(stderr, "zel-site: %s is unchanged\n", site_path.c_str());
      return 1;
    }
    if (choice == Choice::kInstall) {
      forced = true;
      break;
    }
  }
  std::string line;
  const std::optional<std::string_view> before =
      live.exists ? std::optional(view_of(original)) : std::nullopt;
  if (change_line({"edit", administrator(), forced}, before, view_of(edited), line) != 0) {
    std::fprintf(stderr, "zel-site: the log line's token identifiers can't be computed; %s is unchanged\n",
                 site_path.c_str());
    return 2;
  }
  if (!install_site_text(site_path, view_of(edited), ownership, live, error)) {
    std::fprintf(stderr, "zel-site: %s\n", error.c_str());
    return 2;
  }
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  std::fprintf(stderr, "zel-site: installed %s (%s:%s %04o)\n", site_path.c_str(),
               ownership.owner_name.c_str(), ownership.group_name.c_str(),
               static_cast<unsigned>(ownership.mode));
  return trail.send(line, view_of(edited));
}

}  // namespace zel
