#include "admin/audit_log.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "util/audit_file.h"
#include "util/log_field.h"

namespace zel {

namespace {

struct AuditField {
  std::string key;
  std::string value;  // read back; of a cut one, the bytes kept
  bool cut = false;
};

struct AuditRecord {
  std::string time;     // as written: "2026-12-09T10:11:12.123456Z"
  std::string command;  // "signed", "refused", "failed"; "set-token", "edit", "install", "outside-change"
  std::vector<AuditField> fields;
};

constexpr std::string_view kTimeShape = "DDDD-DD-DDTDD:DD:DD.DDDDDDZ";

// Each program with each of its command words, as the text after the program's name starts.
constexpr std::string_view kCommands[] = {"zel-auth signed for ", "zel-auth refused ", "zel-auth failed ",
                                          "zel-site set-token ", "zel-site edit ",   "zel-site install ",
                                          "zel-site outside-change "};

// Reads an escaped value back; false unless audit_field would write the value so.
bool unescape(std::string_view text, AuditField& field) {
  field.cut = text.ends_with("\\...") || text.ends_with("\\...]");
  const std::string_view kept = field.cut ? text.substr(0, text.rfind("\\...")) : text;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    unsigned byte = static_cast<unsigned char>(kept[i]);
    const char* hex = kept.data() + std::min(i + 2, kept.size());
    const char* end = std::min(hex + 2, kept.data() + kept.size());
    if (kept[i] == '\\' && (kept.substr(i + 1, 1) != "x" || std::from_chars(hex, end, byte, 16).ptr != hex + 2)) {
      return false;
    }
    i += kept[i] == '\\' ? 3 : 0;
    field.value += static_cast<char>(byte);
  }
  return !text.empty() && audit_field(field.value, field.value.size()) == kept;
}

// Parses one line, its newline taken off; false if it is no record.
bool parse_record(std::string_view line, AuditRecord& record) {
  const std::string text(line);
  std::tm utc{};
  long usec = 0;
  long pid = 0;
  unsigned uid = 0;
  char program[16] = {};
  int at = 0;
  // A value sscanf misreads can't pass: the record is rendered again from the values read, below.
  if (text.size() != std::strlen(text.c_str()) ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6ldZ %15[a-z-][%ld]: uid=%u %n",  // NOLINT(cert-err34-c)
                  &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &usec,
                  program, &pid, &uid, &at) != 10 || at == 0) {
    return false;
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  // What the writer would have made of the values read is the line itself, to the byte.
  const std::string_view words = line.substr(static_cast<std::size_t>(at));
  if (audit_record(program, {timegm(&utc), usec * 1000}, pid, uid, words) != text + "\n") return false;
  // Built by appending: g++ 12 takes a concatenation with a temporary for an overlapping copy.
  const std::string head = std::string(program).append(" ").append(words).append(" ");
  const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                     [&](std::string_view c) { return head.starts_with(c); });
  if (command == std::end(kCommands) || head.size() == command->size()) return false;
  record = {text.substr(0, kTimeShape.size()), std::string(command->substr(9, command->find(' ', 9) - 9)), {}};
  for (std::size_t start = command->size(), end = 0; start < head.size(); start = end + 1) {
    end = head.find(' ', start);
    const std::string_view word = std::string_view(head).substr(start, end - start);
    const std::size_t equals = word.find('=');
    if (word == "forced" && head.starts_with("zel-site")) continue;
    AuditField& field = record.fields.emplace_back(AuditField{std::string(word.substr(0, equals)), "", false});
    if (equals == 0 || equals == std::string_view::npos || !unescape(word.substr(equals + 1), field)) return false;
  }
  return true;
}

bool selected(const AuditRecord& record, const LogFilter& filter) {
  const auto names = [&](std::initializer_list<std::string_view> keys, const std::string& want) {
    return record.command == "outside-change" ||
           std::any_of(record.fields.begin(), record.fields.end(), [&](const AuditField& field) {
             return std::find(keys.begin(), keys.end(), field.key) != keys.end() &&
                    (field.cut ? want.starts_with(field.value) : want == field.value);
           });
  };
  return (!filter.since || record.time >= *filter.since) &&
         (!filter.stanza || names({"site", "stanza", "added", "changed", "removed"}, *filter.stanza)) &&
         (!filter.token || names({"token", "id", "was"}, *filter.token));
}

}  // namespace

bool valid_since(std::string_view text) {
  return text.size() >= 10 && text.size() <= kTimeShape.size() &&
         std::equal(text.begin(), text.end(), kTimeShape.begin(),
                    [](char c, char shape) { return shape == 'D' ? c >= '0' && c <= '9' : c == shape; });
}

bool read_audit_log(std::string_view text, const char* path, const LogFilter& filter, std::FILE* out) {
  bool whole = true;
  for (std::size_t at = 0, end = 0, number = 1; at < text.size(); at = end + 1, ++number) {
    end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    AuditRecord record;
    if (line.empty()) continue;  // the separator each record is written after
    // A last line without its newline is a record written in part.
    if (end == text.size() || !parse_record(line, record)) {
      std::fprintf(out, "%s:%zu: error: not a record zel-auth or zel-site writes: tampered with, or written in part\n",
                   path, number);
      whole = false;
    } else if (selected(record, filter)) {
      std::fprintf(out, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  return whole;
}

}  // namespace zel
