// zel-site: the administrator's tool for zel-auth's site file. It checks a site
// file and its deployment, shows what every user sees of it, and changes the
// live file only whole, checked and under a lock: by an editor, from a finished
// file, or one token value at a time.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "admin/check.h"
#include "admin/deployment.h"
#include "admin/editor.h"
#include "admin/install.h"
#include "admin/interrupt.h"
#include "admin/lock.h"
#include "admin/set_token.h"
#include "admin/show.h"
#include "admin/stanzas.h"
#include "admin/text_file.h"
#include "site/properties.h"

#if !defined(ZEL_SITE_FILE) || !defined(ZEL_AUTH_PATH) || !defined(ZEL_VERSION)
#error "ZEL_SITE_FILE, ZEL_AUTH_PATH and ZEL_VERSION must be defined"
#endif

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;  // errors found, or a value or stanza refused: nothing changed
constexpr int kFailed = 2;   // a usage error, or a file or step that failed

constexpr const char* kUsage =
    "Usage: zel-site check [-f FILE] [--strict]\n"
    "       zel-site show [-f FILE] [-s NAME]\n"
    "       zel-site edit\n"
    "       zel-site install [--force] FILE\n"
    "       zel-site set-token [-s NAME]\n"
    "       zel-site --help | --version\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "zel-site: %s\n%s", message.c_str(), kUsage);
  return kFailed;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "zel-site: %s\n", message.c_str());
  return kFailed;
}

// The options of one command.
struct Options {
  const char* file = nullptr;
  const char* site = nullptr;
  bool strict = false;
  bool force = false;
  std::vector<const char*> operands;
};

// Parses the options after the command word; "" or the usage error's text.
std::string parse_options(int argc, char* argv[], const std::string& allowed, Options& options) {
  static const option long_options[] = {{"strict", no_argument, nullptr, 'S'},
                                        {"force", no_argument, nullptr, 'F'},
                                        {nullptr, 0, nullptr, 0}};
  optind = 0;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "+:f:s:", long_options, nullptr)) != -1;) {
    const std::string name = opt == 'S' ? "--strict" : opt == 'F' ? "--force" : std::string("-") +
                                                                                   static_cast<char>(opt);
    if (opt == '?') {
      return optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                         : std::string("unknown option ") + argv[optind - 1];
    }
    if (opt == ':') return std::string("option -") + static_cast<char>(optopt) + " needs an argument";
    if (allowed.find(static_cast<char>(opt)) == std::string::npos) {
      return "option " + name + " is not one of " + argv[0] + "'s";
    }
    if (opt == 'f') options.file = optarg;
    if (opt == 's') options.site = optarg;
    if (opt == 'S') options.strict = true;
    if (opt == 'F') options.force = true;
  }
  for (int i = optind; i < argc; ++i) options.operands.push_back(argv[i]);
  return {};
}

bool must_be_root(const char* command) {
  if (geteuid() == 0) return true;
  std::fprintf(stderr, "zel-site: %s changes the live site file and must run as root\n", command);
  return false;
}

int finish_output(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return failure(std::string("can't write to standard output: ") + std::strerror(errno));
  }
  return status;
}

int check_command(const Options& options) {
  const std::string path = options.file != nullptr ? options.file : ZEL_SITE_FILE;
  zel::SecretBytes text;
  std::string error;
  if (!zel::read_text_file(path, text, error)) return failure(error);
  std::vector<zel::Finding> findings = zel::check_site_text(zel::view_of(text));
  if (options.file == nullptr) {
    const std::vector<zel::Finding> deployment = zel::check_deployment(ZEL_SITE_FILE, ZEL_AUTH_PATH);
    findings.insert(findings.end(), deployment.begin(), deployment.end());
  }
  zel::print_findings(stdout, path.c_str(), findings);
  zel::print_summary(stdout, path.c_str(), findings);
  return finish_output(zel::has_errors(findings, options.strict) ? kRefused : kDone);
}

int show_command(const Options& options) {
  const std::string path = options.file != nullptr ? options.file : ZEL_SITE_FILE;
  zel::SecretBytes text;
  std::string error;
  if (!zel::read_text_file(path, text, error)) return failure(error);
  return finish_output(zel::show_site(zel::view_of(text), path.c_str(), options.site, stdout));
}

int install_command(const Options& options) {
  const char* file = options.operands.front();
  zel::SecretBytes text;
  std::string error;
  if (!zel::read_text_file(file, text, error)) return failure(error);
  const std::vector<zel::Finding> findings = zel::check_site_text(zel::view_of(text));
  zel::print_findings(stderr, file, findings);
  if (zel::has_errors(findings, false) && !options.force) {
    std::fprintf(stderr, "zel-site: %s has errors; %s is unchanged (--force installs it anyway)\n",
                 file, ZEL_SITE_FILE);
    return kRefused;
  }
  zel::SiteOwnership ownership;
  zel::SiteLock lock;
  if (!zel::prepare_install(ZEL_SITE_FILE, ZEL_AUTH_PATH, ownership, lock, error)) return failure(error);
  if (!zel::install_site_text(ZEL_SITE_FILE, zel::view_of(text), ownership, error)) {
    return failure(std::string(ZEL_SITE_FILE) + " is unchanged: " + error);
  }
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  std::printf("zel-site: installed %s as %s (%s:%s %04o)\n", file, ZEL_SITE_FILE,
              ownership.owner_name.c_str(), ownership.group_name.c_str(),
              static_cast<unsigned>(ownership.mode));
  return finish_output(kDone);
}

int set_token_command(const Options& options) {
  const std::string label = zel::stanza_label(options.site);
  zel::SiteOwnership ownership;
  zel::SiteLock lock;
  std::string error;
  if (!zel::prepare_install(ZEL_SITE_FILE, ZEL_AUTH_PATH, ownership, lock, error)) return failure(error);
  zel::SecretBytes text;
  if (!zel::read_text_file(ZEL_SITE_FILE, text, error)) return failure(error);
  const std::string_view whole = zel::view_of(text);
  std::size_t start = 0;
  if (zel::find_stanza(whole.substr(0, whole.find('\0')), options.site, start) ==
      zel::StanzaLookup::kMissing) {
    std::fprintf(stderr, "zel-site: %s has no stanza %s; it is unchanged\n", ZEL_SITE_FILE, label.c_str());
    return kRefused;
  }
  zel::SecretBytes value;
  zel::SecretBytes changed;
  if (!zel::read_token_value(STDIN_FILENO, "New token value for " + label + ": ", value, error) ||
      !zel::replace_token(whole, options.site, zel::view_of(value), changed, error)) {
    if (zel::interrupted() != 0) return kRefused;
    std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), ZEL_SITE_FILE);
    return kRefused;
  }
  const std::vector<zel::Finding> findings = zel::check_site_text(zel::view_of(changed));
  zel::print_findings(stderr, ZEL_SITE_FILE, findings);
  if (zel::has_errors(findings, false)) {
    std::fprintf(stderr, "zel-site: %s would have errors; it is unchanged (mend them with zel-site edit)\n",
                 ZEL_SITE_FILE);
    return kRefused;
  }
  if (!zel::install_site_text(ZEL_SITE_FILE, zel::view_of(changed), ownership, error)) {
    return failure(std::string(ZEL_SITE_FILE) + " is unchanged: " + error);
  }
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  std::printf("zel-site: set the token value of %s in %s\n", label.c_str(), ZEL_SITE_FILE);
  return finish_output(kDone);
}

int run(int argc, char* argv[]) {
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return finish_output(kDone);
  }
  if (command == "--version") {
    std::puts("zel-site (zel-auth) " ZEL_VERSION);
    return finish_output(kDone);
  }
  struct Command {
    const char* name;
    const char* options;
    std::size_t operands;
  };
  static const Command commands[] = {{"check", "fS", 0},   {"show", "fs", 0},     {"edit", "", 0},
                                     {"install", "F", 1}, {"set-token", "s", 0}};
  const Command* found = std::find_if(std::begin(commands), std::end(commands),
                                      [&](const Command& c) { return command == c.name; });
  if (found == std::end(commands)) return usage_error("unknown command " + command);
  Options options;
  const std::string error = parse_options(argc - 1, argv + 1, found->options, options);
  if (!error.empty()) return usage_error(error);
  if (options.operands.size() != found->operands) {
    return usage_error(found->operands == 0 ? command + " takes no operand" : command + " takes one FILE");
  }

  if (command == "check") return check_command(options);
  if (command == "show") return show_command(options);
  if (!must_be_root(found->name)) return kFailed;
  zel::catch_interrupts();
  if (command == "edit") return zel::edit_site(ZEL_SITE_FILE, ZEL_AUTH_PATH, stdin);
  if (command == "install") return install_command(options);
  return set_token_command(options);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Every file zel-site makes is root's alone until it is given its place.
  umask(077);
  int status = kFailed;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
    status = failure("out of memory");
  }
  zel::end_if_interrupted();
  return status;
}
