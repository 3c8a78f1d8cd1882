#include "admin/commit.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "admin/check.h"
#include "admin/deployment.h"
#include "admin/interrupt.h"
#include "admin/lock.h"
#include "util/status.h"

namespace zel {

namespace {

// The deployment checked (findings to standard output), then the live file read, which must be the file
// checked: only root could have swapped it, yet what was judged is what gets replaced.
SiteStatus prepare_write(const SitePaths& paths, SiteOwnership& ownership, LiveFile& live) {
  const std::string site = paths.site;
  const DeploymentVerdict verdict = check_deployment(paths.site, paths.tool, Purpose::kWrite);
  print_findings(stdout, paths.site, verdict.findings);
  if (!verdict.ownership) {
    return failure(site + " is unchanged: the deployment has the errors above; mend them (zel-site check tells "
                   "them all), then run this again", SiteStatus::kRefused);
  }
  ownership = *verdict.ownership;
  std::string error;
  if (!read_live_file(site, live, error)) return failure(error);
  if (live.exists != verdict.site.has_value() ||
      (live.exists && (live.dev != verdict.site->st_dev || live.ino != verdict.site->st_ino))) {
    return failure(site + " is unchanged: it was replaced while it was being checked; run this again");
  }
  live.mended = std::any_of(verdict.findings.begin(), verdict.findings.end(),
                            [&](const Finding& f) { return f.path == site; });
  return SiteStatus::kDone;
}

// The change's line for the trail.
std::string line_of(const Commit& commit, const LiveFile& live, const Composed& next) {
  const Administrator admin = administrator();
  if (std::string_view(commit.command) == "set-token") {
    return set_token_line(admin, commit.stanza, view_of(live.text), view_of(next.text));
  }
  const std::optional<std::string_view> before = live.exists ? std::optional(view_of(live.text)) : std::nullopt;
  return change_line({commit.command, admin, next.forced}, before, view_of(next.text));
}

}  // namespace

SiteStatus failure(const std::string& message, SiteStatus status) {
  std::fprintf(stderr, "zel-site: %s\n", message.c_str());
  return status;
}

SiteStatus commit_change(const SitePaths& paths, const Commit& commit) {
  // No change without its record: the audit file's deployment checked, then it and the log opened.
  const std::vector<Finding> trail_findings = check_audit_trail(paths.audit, paths.record, paths.tool);
  print_findings(stdout, paths.audit, trail_findings);
  if (has_errors(trail_findings, false)) {
    return failure(std::string(paths.site) + " is unchanged: mend the audit file first");
  }
  ChangeTrail trail;
  if (!trail.open(paths)) return SiteStatus::kFailed;
  std::string error;
  SiteLock lock;
  if (!lock.acquire(paths.site, error)) return failure(error);
  if (commit.locked) commit.locked();
  if (interrupted() != 0) return SiteStatus::kRefused;
  SiteOwnership ownership;
  LiveFile live;
  Composed next;
  if (const SiteStatus status = prepare_write(paths, ownership, live); status != SiteStatus::kDone) return status;
  if (trail.reconcile(live.exists, view_of(live.text)) != kOk) return SiteStatus::kFailed;
  if (const SiteStatus status = commit.compose(live, next); status != SiteStatus::kDone) return status;
  // No live file and no text is nothing to write either.
  if ((live.exists || next.text.empty()) && !live.mended && live.text == next.text) {
    std::fprintf(commit.out, "zel-site: %s\n", commit.unchanged.c_str());
    return SiteStatus::kDone;
  }
  const std::string line = line_of(commit, live, next);
  if (!install_site_text(paths.site, view_of(next.text), ownership, live, error)) return failure(error);
  if (!error.empty()) std::fprintf(stderr, "zel-site: warning: %s\n", error.c_str());
  const std::string owned = " (" + ownership.owner_name + ":" + ownership.group_name + " " + octal(ownership.mode) + ")";
  std::fprintf(commit.out, "zel-site: %s%s\n", commit.installed.c_str(), commit.ownership_said ? owned.c_str() : "");
  return trail.send(line, view_of(next.text)) == kOk ? SiteStatus::kDone : SiteStatus::kUnlogged;
}

}  // namespace zel
