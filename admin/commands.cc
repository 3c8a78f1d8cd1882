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
#include "admin/lock.h"
#include "admin/set_token.h"
#include "admin/show.h"
#include "admin/stanzas.h"
#include "admin/text_file.h"
#include "admin/trail.h"

#ifndef ZEL_VERSION
#error "ZEL_VERSION must be defined"
#endif

namespace zel {

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;  // errors found, or a value or stanza refused: nothing changed
constexpr int kFailed = 2;   // a usage error, or a file or step that failed

constexpr const char* kUsage =
    "Usage: zel-site check [-f FILE] [--strict]\n"
    "       zel-site check --deployment [--create]\n"
    "       zel-site check --group NAME [--except ACCOUNT]\n"
    "       zel-site show [-f FILE] [-s NAME]\n"
    "       zel-site edit\n"
    "       zel-site install [--force] FILE|-\n"
    "       zel-site set-token [-s NAME]\n"
    "       zel-site log [-f FILE] [--stanza NAME] [--token ID] [--since TIME]\n"
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
  const char* group = nullptr;
  const char* except = nullptr;
  bool strict = false;
  bool force = false;
  bool deployment = false;
  bool create = false;
  LogFilter filter;
  std::vector<const char*> operands;
};

struct LongOption {
  option getopt;
  const char* text;
};

constexpr LongOption kLongOptions[] = {
    {{"strict", no_argument, nullptr, 'S'}, "--strict"},
    {{"force", no_argument, nullptr, 'F'}, "--force"},
    {{"deployment", no_argument, nullptr, 'D'}, "--deployment"},
    {{"group", required_argument, nullptr, 'G'}, "--group"},
    {{"except", required_argument, nullptr, 'E'}, "--except"},
    {{"create", no_argument, nullptr, 'C'}, "--create"},
    {{"stanza", required_argument, nullptr, 'N'}, "--stanza"},
    {{"token", required_argument, nullptr, 'T'}, "--token"},
    {{"since", required_argument, nullptr, 'I'}, "--since"},
};

// The option's name as written: "-f" or "--strict".
std::string option_name(int opt) {
  const LongOption* found = std::find_if(std::begin(kLongOptions), std::end(kLongOptions),
                                         [&](const LongOption& o) { return o.getopt.val == opt; });
  return found != std::end(kLongOptions) ? found->text : std::string("-") + static_cast<char>(opt);
}

// Parses the options after the command word; "" or the usage error's text.
std::string parse_options(int argc, char* argv[], const std::string& allowed, Options& options) {
  option long_options[std::size(kLongOptions) + 1] = {};
  std::transform(std::begin(kLongOptions), std::end(kLongOptions), long_options,
                 [](const LongOption& o) { return o.getopt; });
  optind = 0;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "+:f:s:", long_options, nullptr)) != -1;) {
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
    if (opt == 'f') options.file = optarg;
    if (opt == 's') options.site = optarg;
    if (opt == 'G') options.group = optarg;
    if (opt == 'E') options.except = optarg;
    if (opt == 'S') options.strict = true;
    if (opt == 'F') options.force = true;
    if (opt == 'D') options.deployment = true;
    if (opt == 'C') options.create = true;
    // A stanza as the records name it: "default", or "[NAME]" (given with or without the brackets).
    if (opt == 'N') {
      options.filter.stanza = *optarg == '[' || optarg == std::string("default") ? optarg
                                                                                : std::string("[").append(optarg) + "]";
    }
    if (opt == 'T') options.filter.token = optarg;
    if (opt == 'I') options.filter.since = optarg;
  }
  for (int i = optind; i < argc; ++i) options.operands.push_back(argv[i]);
  const int ways = (options.file != nullptr) + (options.group != nullptr) + options.deployment;
  if (ways > 1) return "-f, --deployment and --group exclude each other";
  if (options.except != nullptr && options.group == nullptr) return "--except goes with --group";
  if (options.create && !options.deployment) return "--create goes with --deployment";
  if (options.filter.since && !valid_since(*options.filter.since)) return "--since takes a time such as 2026-12-09T10:11:12";
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

int report(const std::string& name, const std::vector<Finding>& findings, bool strict) {
  print_findings(stdout, name.c_str(), findings);
  print_summary(stdout, name.c_str(), findings);
  return finish_output(has_errors(findings, strict) ? kRefused : kDone);
}

// The deployment's findings, the audit trail's among them.
std::vector<Finding> deployment_findings(const SitePaths& paths) {
  std::vector<Finding> findings = check_deployment(paths.site, paths.tool, Purpose::kCheck).findings;
  const std::vector<Finding> trail = check_audit_trail(paths.audit, paths.record, paths.tool);
  findings.insert(findings.end(), trail.begin(), trail.end());
  return findings;
}

int check_command(const Options& options, const SitePaths& paths) {
  if (options.group != nullptr) {
    return report(std::string("group ") + options.group,
                  check_service_group(options.group, options.except != nullptr ? options.except : ""),
                  options.strict);
  }
  std::string error;
  if (options.create && !create_audit_trail(paths.audit, paths.record, paths.tool, error)) return failure(error);
  if (options.deployment) return report(paths.site, deployment_findings(paths), options.strict);
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
  return report(path, findings, options.strict);
}

int show_command(const Options& options, const SitePaths& paths) {
  const std::string path = options.file != nullptr ? options.file : paths.site;
  SecretBytes text;
  std::string error;
  if (!read_text_file(path, text, error)) return failure(error);
  return finish_output(show_site(view_of(text), path.c_str(), options.site, stdout));
}

int log_command(const Options& options, const SitePaths& paths) {
  const char* path = options.file != nullptr ? options.file : paths.audit;
  SecretBytes text;
  std::string error;
  if (!read_text_file(path, text, error)) return failure(error);
  return finish_output(read_audit_log(view_of(text), path, options.filter, stdout) ? kDone : kRefused);
}

int install_command(const Options& options, const SitePaths& paths, ChangeTrail& trail) {
  const std::string file = options.operands.front();
  const std::string name = file == "-" ? "standard input" : file;
  SecretBytes text;
  std::string error;
  bool refused = false;
  if (!read_candidate(file, text, error, refused)) {
    std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), paths.site);
    return refused ? kRefused : kFailed;
  }
  const std::vector<Finding> findings = check_site_text(view_of(text));
  print_findings(stdout, name.c_str(), findings);
  if (has_errors(findings, false) && !options.force) {
    std::fprintf(stderr, "zel-site: %s has errors; %s is unchanged (--force installs it anyway)\n",
                 name.c_str(), paths.site);
    return kRefused;
  }
  SiteLock lock;
  if (!lock.acquire(paths.site, error)) return failure(error);
  SiteOwnership ownership;
  LiveFile live;
  if (const int status = prepare_write(paths.site, paths.tool, stdout, ownership, live, error); status != 0) {
    std::fprintf(stderr, "zel-site: %s\n", error.c_str());
    return status;
  }
  if (const int status = trail.reconcile(live.exists, view_of(live.text)); status != 0) return status;
  // Nothing changed, nothing to log.
  if (live.exists && !live.mended && live.text == text) {
    std::printf("zel-site: %s is the same as %s: unchanged\n", name.c_str(), paths.site);
    return finish_output(kDone);
  }
  std::string line;
  const Change change{"install", administrator(), has_errors(findings, false)};
  const std::optional<std::string_view> before =
      live.exists ? std::optional(view_of(live.text)) : std::nullopt;
  if (change_line(change, before, view_of(text), line) != 0) {
    return failure(std::string("the log line's token identifiers can't be computed; ") + paths.site +
                   " is unchanged");
  }
  if (!install_site_text(paths.site, view_of(text), ownership, live, error)) return failure(error);
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  std::printf("zel-site: installed %s as %s (%s:%s %04o)\n", name.c_str(), paths.site,
              ownership.owner_name.c_str(), ownership.group_name.c_str(), static_cast<unsigned>(ownership.mode));
  return finish_output(trail.send(line, view_of(text)));
}

int set_token_command(const Options& options, const SitePaths& paths, ChangeTrail& trail) {
  const std::string label = stanza_label(options.site);
  std::string error;
  SiteLock lock;
  if (!lock.acquire(paths.site, error)) return failure(error);
  SiteOwnership ownership;
  LiveFile live;
  if (const int status = prepare_write(paths.site, paths.tool, stdout, ownership, live, error); status != 0) {
    std::fprintf(stderr, "zel-site: %s\n", error.c_str());
    return status;
  }
  if (!live.exists) {
    return failure(std::string(paths.site) + ": there is no site file yet: write one with zel-site edit");
  }
  if (const int status = trail.reconcile(true, view_of(live.text)); status != 0) return status;
  const std::string_view whole = view_of(live.text);
  std::size_t start = 0;
  if (find_stanza(whole.substr(0, whole.find('\0')), options.site, start) == StanzaLookup::kMissing) {
    std::fprintf(stderr, "zel-site: %s has no stanza %s; it is unchanged\n", paths.site, label.c_str());
    return kRefused;
  }
  SecretBytes value;
  SecretBytes changed;
  if (!read_token_value(STDIN_FILENO, "New token value for " + label + ": ", value, error) ||
      !replace_token(whole, options.site, view_of(value), changed, error)) {
    if (interrupted() != 0) return kRefused;
    std::fprintf(stderr, "zel-site: %s; %s is unchanged\n", error.c_str(), paths.site);
    return kRefused;
  }
  const std::vector<Finding> findings = check_site_text(view_of(changed));
  print_findings(stdout, paths.site, findings);
  if (has_errors(findings, false)) {
    std::fprintf(stderr, "zel-site: %s would have errors; it is unchanged (mend them with zel-site edit)\n",
                 paths.site);
    return kRefused;
  }
  std::string line;
  if (set_token_line(administrator(), options.site, whole, view_of(changed), line) != 0) {
    return failure(std::string("the log line's token identifiers can't be computed; ") + paths.site +
                   " is unchanged");
  }
  if (!install_site_text(paths.site, view_of(changed), ownership, live, error)) return failure(error);
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  std::printf("zel-site: set the token value of %s in %s\n", label.c_str(), paths.site);
  return finish_output(trail.send(line, view_of(changed)));
}

}  // namespace

int run_zel_site(int argc, char* argv[], const SitePaths& paths) {
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
  static const Command commands[] = {{"check", "fSDGEC", 0}, {"show", "fs", 0},     {"edit", "", 0},
                                     {"install", "F", 1},    {"set-token", "s", 0}, {"log", "fNTI", 0}};
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
  if (command == "show") return show_command(options, paths);
  if (command == "log") return log_command(options, paths);
  if (!must_be_root(found->name)) return kFailed;
  catch_interrupts();
  // No change without its record: an audit file that is unsound or can't be opened, or a log that
  // can't be reached, refuses it before anything is read.
  const std::vector<Finding> trail_findings = check_audit_trail(paths.audit, paths.record, paths.tool);
  print_findings(stdout, paths.audit, trail_findings);
  if (has_errors(trail_findings, false)) return failure(std::string(paths.site) + " is unchanged: mend the audit file first");
  ChangeTrail trail;
  if (!trail.open(paths)) return kFailed;
  if (command == "edit") return edit_site(paths.site, paths.tool, stdin, trail);
  if (command == "install") return install_command(options, paths, trail);
  return set_token_command(options, paths, trail);
}

}  // namespace zel
