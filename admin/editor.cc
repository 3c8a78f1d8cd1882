#include "admin/editor.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <initializer_list>
#include <optional>

#include "admin/check.h"
#include "admin/deployment.h"
#include "admin/install.h"
#include "admin/interrupt.h"
#include "admin/text_file.h"
#include "util/secret.h"

namespace zel {

namespace {

// Removes a copy of the site file, or a private directory and all in it; false, said, if it can't.
bool remove_copy(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (!error) return true;
  std::fprintf(stderr, "zel-site: can't remove %s: %s\n", path.c_str(), error.message().c_str());
  return false;
}

// The private directory of one edit and everything the editor left in it; no path if it can't be made.
class PrivateDir {
 public:
  explicit PrivateDir(const std::string& site_path) : path_(split_path(site_path).first + "/.zel-site-edit.XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir() {
    if (!path_.empty()) remove_copy(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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

  // Nothing buffered may be written twice, by the child too (standard error
  // holds nothing: it is unbuffered).
  (void)std::fflush(stdout);
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
    const std::optional<std::string> answer = read_answer(answers);
    if (!answer || *answer == "x") return Choice::kExit;
    if (*answer == "e") return Choice::kEdit;
    if (*answer == "Q") {
      std::fprintf(stderr, "Install %s with its errors? Type yes to confirm: ", site_path.c_str());
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
    const std::optional<std::string> answer = read_answer(answers);
    if (answer && *answer == "y" && remove_copy(copy)) std::fprintf(stderr, "zel-site: removed %s\n", copy.c_str());
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

namespace {

// The live text copied into a private directory and edited until it has no errors, or is installed
// with them (forced), or is left as it was; the edited text in next.
SiteStatus edit_copy(const std::string& site_path, const LiveFile& live, std::FILE* answers, Composed& next) {
  const PrivateDir dir(site_path);
  if (dir.path().empty()) {
    return failure("can't make a private directory beside " + site_path + ": " + std::strerror(errno));
  }
  const std::string copy = dir.path() + "/" + split_path(site_path).second;
  if (!write_file(copy, view_of(live.text), O_EXCL)) return failure("can't write " + copy + ": " + std::strerror(errno));
  std::string error;
  for (;;) {
    if (!run_editor(copy)) {
      return interrupted() != 0 ? SiteStatus::kRefused
                                : failure("the editor failed; " + site_path + " is unchanged", SiteStatus::kRefused);
    }
    if (!read_text_file(copy, next.text, error)) {
      return failure(error + "; " + site_path + " is unchanged", SiteStatus::kRefused);
    }
    if (next.text == live.text) return SiteStatus::kDone;
    const std::vector<Finding> findings = check_site_text(view_of(next.text));
    print_findings(stdout, site_path.c_str(), findings);
    (void)std::fflush(stdout);
    if (!has_errors(findings, false)) return SiteStatus::kDone;
    const Choice choice = ask(answers, site_path);
    if (interrupted() != 0) return SiteStatus::kRefused;
    if (choice == Choice::kExit) return failure(site_path + " is unchanged", SiteStatus::kRefused);
    next.forced = choice == Choice::kInstall;
    if (next.forced) return SiteStatus::kDone;
  }
}

}  // namespace

SiteStatus edit_site(const SitePaths& paths, std::FILE* answers) {
  const std::string site = paths.site;
  Commit commit{
      .command = "edit", .out = stderr, .unchanged = site + " is unchanged", .installed = "installed " + site};
  commit.locked = [&] { offer_removal(site, answers); };
  commit.compose = [&](const LiveFile& live, Composed& next) { return edit_copy(site, live, answers, next); };
  return commit_change(paths, commit);
}

}  // namespace zel
