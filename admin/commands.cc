#include "admin/commands.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "admin/audit_log.h"
#include "admin/check.h"
#include "admin/deployment.h"
#include "admin/editor.h"
#include "admin/install.h"
#include "admin/interrupt.h"
#include "admin/set_token.h"
#include "admin/show.h"
#include "admin/stanzas.h"
#include "admin/token_input.h"
#include "admin/text_file.h"
#include "admin/trail.h"

#ifndef ZEL_VERSION
#error "ZEL_VERSION must be defined"
#endif

namespace zel {

namespace {

constexpr const char* kUsage =
    "Usage: zel-site check [-f FILE] [--strict]\n"
    "       zel-site check --deployment [--create]\n"
    "       zel-site check --group NAME [--except ACCOUNT]\n"
    "       zel-site check --path PATH\n"
    "       zel-site show [-f FILE] [-s NAME]\n"
    "       zel-site edit\n"
    "       zel-site install [--force] FILE|-\n"
    "       zel-site set-token [-s NAME] [--weak | --generate=FD]\n"
    "       zel-site log [-f FILE] [--stanza NAME] [--token ID] [--since TIME]\n"
    "       zel-site --help | --version\n";

SiteStatus usage_error(const std::string& message) {
  std::fprintf(stderr, "zel-site: %s\n%s", message.c_str(), kUsage);
  return SiteStatus::kFailed;
}

// The options of one command.
struct Options {
  const char* file = nullptr;
  const char* site = nullptr;
  const char* group = nullptr;
  const char* except = nullptr;
  const char* path = nullptr;
  bool strict = false;
  bool force = false;
  bool deployment = false;
  bool weak = false;
  bool create = false;
  LogFilter filter;
  const char* generate = nullptr;
  std::vector<const char*> operands;
};

const option kLongOptions[] = {
    {"strict", no_argument, nullptr, 'S'},  {"force", no_argument, nullptr, 'F'},
    {"deployment", no_argument, nullptr, 'D'}, {"group", required_argument, nullptr, 'G'},
    {"except", required_argument, nullptr, 'E'}, {"weak", no_argument, nullptr, 'W'},
    {"generate", required_argument, nullptr, 'N'}, {"path", required_argument, nullptr, 'P'},
    {"create", no_argument, nullptr, 'C'}, {"stanza", required_argument, nullptr, 'n'},
    {"token", required_argument, nullptr, 'T'}, {"since", required_argument, nullptr, 'I'},
    {nullptr, 0, nullptr, 0},
};

// The option's name as written: "-f" or "--strict".
std::string option_name(int opt) {
  for (const option* o = kLongOptions; o->name != nullptr; ++o) {
    if (o->val == opt) return std::string("--") + o->name;
  }
  return std::string("-") + static_cast<char>(opt);
}

void take(int opt, Options& options) {
  for (auto [letter, value] : {std::pair{'f', &options.file}, {'s', &options.site}, {'G', &options.group},
                               {'E', &options.except}, {'N', &options.generate}, {'P', &options.path}}) {
    if (opt == letter) *value = optarg;
  }
  for (auto [letter, flag] : {std::pair{'S', &options.strict}, {'F', &options.force}, {'D', &options.deployment},
                              {'W', &options.weak}, {'C', &options.create}}) {
    if (opt == letter) *flag = true;
  }
  // A stanza as the records name it: "default", or "[NAME]" (given with or without the brackets).
  if (opt == 'n') {
    options.filter.stanza = *optarg == '[' || optarg == std::string("default") ? optarg
                                                                              : std::string("[").append(optarg) + "]";
  }
  if (opt == 'T') options.filter.token = optarg;
  if (opt == 'I') options.filter.since = optarg;
}

// Parses the options after the command word; "" or the usage error's text.
std::string parse_options(int argc, char* argv[], const std::string& allowed, Options& options) {
  optind = 0;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "+:f:s:", kLongOptions, nullptr)) != -1;) {
    if (opt == '?') {
      // getopt_long gives a long option's own value for one written with "=VALUE" it doesn't take.
      if (optopt != 0 && std::string_view(argv[optind - 1]).starts_with("--")) {
        return "option " + option_name(optopt) + " takes no value";
      }
      return optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                         : std::string("unknown option ") + argv[optind - 1];
    }
    if (opt == ':') return "option " + option_name(optopt) + " needs an argument";
    if (allowed.find(static_cast<char>(opt)) == std::string::npos) {
      return "option " + option_name(opt) + " is not one of " + argv[0] + "'s";
    }
    take(opt, options);
  }
  for (int i = optind; i < argc; ++i) options.operands.push_back(argv[i]);
  const int ways = (options.file != nullptr) + (options.group != nullptr) + options.deployment;
  if (ways > 1) return "-f, --deployment and --group exclude each other";
  if (options.path != nullptr && ways > 0) return "--path goes alone";
  if (options.except != nullptr && options.group == nullptr) return "--except goes with --group";
  if (options.create && !options.deployment) return "--create goes with --deployment";
  if (options.filter.since && !valid_since(*options.filter.since)) return "--since takes a time such as 2026-12-09T10:11:12";
  return {};
}

SiteStatus print_verdict(const std::string& name, const std::vector<Finding>& findings, bool strict) {
  print_findings(stdout, name.c_str(), findings);
  print_summary(stdout, name.c_str(), findings);
  return has_errors(findings, strict) ? SiteStatus::kRefused : SiteStatus::kDone;
}

// The deployment's findings, the audit trail's among them.
std::vector<Finding> deployment_findings(const SitePaths& paths) {
  std::vector<Finding> findings = check_deployment(paths.site, paths.tool, Purpose::kCheck).findings;
  const std::vector<Finding> trail = check_audit_trail(paths.audit, paths.record, paths.tool);
  findings.insert(findings.end(), trail.begin(), trail.end());
  return findings;
}

SiteStatus check_command(const Options& options, const SitePaths& paths) {
  if (options.group != nullptr) {
    return print_verdict(std::string("group ") + options.group,
                         check_service_group(options.group, options.except != nullptr ? options.except : ""),
                         options.strict);
  }
  if (options.path != nullptr) return print_verdict(options.path, check_install_path(options.path), false);
  std::string error;
  if (options.create && !create_audit_trail(paths.audit, paths.record, paths.tool, error)) return failure(error);
  if (options.deployment) return print_verdict(paths.site, deployment_findings(paths), options.strict);
  const std::string path = options.file != nullptr ? options.file : paths.site;
  SecretBytes text;
  bool missing = false;
  // A live file not written yet is one of the deployment's findings, which say how to write it.
  if (!read_text_file(path, text, error, {.missing = &missing}) && !(missing && options.file == nullptr)) {
    return failure(error);
  }
  std::vector<Finding> findings = missing ? std::vector<Finding>() : check_site_text(view_of(text));
  if (options.file == nullptr) {
    const std::vector<Finding> deployment = deployment_findings(paths);
    findings.insert(findings.end(), deployment.begin(), deployment.end());
    if (auto outside = outside_change(paths, missing ? std::nullopt : std::optional(view_of(text)))) {
      findings.push_back(*outside);
    }
  }
  return print_verdict(path, findings, options.strict);
}

// show and log: the file given with -f, or else the command's own, read whole and then shown.
SiteStatus show_or_log(const std::string& command, const Options& options, const SitePaths& paths) {
  const bool show = command == "show";
  const char* path = options.file != nullptr ? options.file : show ? paths.site : paths.audit;
  SecretBytes text;
  std::string error;
  if (!read_text_file(path, text, error)) return failure(error);
  const bool shown = show ? show_site(view_of(text), path, options.site, stdout)
                          : read_audit_log(view_of(text), path, options.filter, stdout);
  return shown ? SiteStatus::kDone : SiteStatus::kRefused;
}

SiteStatus install_command(const Options& options, const SitePaths& paths) {
  const std::string file = options.operands.front();
  const std::string name = file == "-" ? "standard input" : file;
  Composed candidate;
  std::string error;
  bool refused = false;
  if (!read_candidate(file, candidate.text, error, refused)) {
    return failure(error + "; " + paths.site + " is unchanged", refused ? SiteStatus::kRefused : SiteStatus::kFailed);
  }
  const std::vector<Finding> findings = check_site_text(view_of(candidate.text));
  print_findings(stdout, name.c_str(), findings);
  candidate.forced = has_errors(findings, false);
  if (candidate.forced && !options.force) {
    return failure(name + " has errors; " + paths.site + " is unchanged (--force installs it anyway)",
                   SiteStatus::kRefused);
  }
  Commit commit{.command = "install",
                .unchanged = name + " is the same as " + paths.site + ": unchanged",
                .installed = "installed " + name + " as " + paths.site};
  commit.compose = [&](const LiveFile&, Composed& next) {
    next = std::move(candidate);
    return SiteStatus::kDone;
  };
  return commit_change(paths, commit);
}

SiteStatus run_command(int argc, char* argv[], const SitePaths& paths) {
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return SiteStatus::kDone;
  }
  if (command == "--version") {
    std::puts("zel-site (zel-auth) " ZEL_VERSION);
    return SiteStatus::kDone;
  }
  struct Command {
    const char* name;
    const char* options;
    std::size_t operands;
  };
  static const Command commands[] = {{"check", "fSDGEPC", 0}, {"show", "fs", 0},     {"edit", "", 0},
                                     {"install", "F", 1},   {"set-token", "sWN", 0}, {"log", "fnTI", 0}};
  const Command* found = std::find_if(std::begin(commands), std::end(commands),
                                      [&](const Command& c) { return command == c.name; });
  if (found == std::end(commands)) return usage_error("unknown command " + command);
  Options options;
  const std::string error = parse_options(argc - 1, argv + 1, found->options, options);
  if (!error.empty()) return usage_error(error);
  if (options.operands.size() != found->operands) {
    return usage_error(found->operands == 0 ? command + " takes no operand" : command + " takes one FILE");
  }

  if (command == "check") return check_command(options, paths);
  if (command == "show" || command == "log") return show_or_log(command, options, paths);
  if (geteuid() != 0) return failure(command + " changes the live site file and must run as root");
  catch_interrupts();
  if (command == "edit") return edit_site(paths, stdin);
  if (command == "install") return install_command(options, paths);
  const SiteStatus status = set_token(paths, {options.site, options.weak, options.generate});
  if (status != SiteStatus::kDone && options.generate == nullptr) discard_piped_value(STDIN_FILENO);
  return status;
}

}  // namespace

int run_zel_site(int argc, char* argv[], const SitePaths& paths) {
  const SiteStatus status = run_command(argc, argv, paths);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return static_cast<int>(failure(std::string("can't write to standard output: ") + std::strerror(errno)));
  }
  return static_cast<int>(status);
}

}  // namespace zel
