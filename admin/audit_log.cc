#include "admin/audit_log.h"

#include <algorithm>
#include <ctime>
#include <initializer_list>

#include "util/audit_file.h"

namespace zel {

namespace {

constexpr std::string_view kTimeShape = "DDDD-DD-DDTDD:DD:DD.DDDDDDZ";

// The command words each program writes.
constexpr std::pair<std::string_view, std::string_view> kCommands[] = {
    {"zel-auth", "signed"}, {"zel-auth", "refused"}, {"zel-auth", "failed"},        {"zel-site", "set-token"},
    {"zel-site", "edit"},   {"zel-site", "install"}, {"zel-site", "outside-change"}};

// The words of the text; false if two spaces, or a space at either end, make an empty one.
bool parse_fields(std::string_view text, AuditRecord& record) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  record.command = words.front();
  const bool signed_for = record.command == "signed";
  if (std::find(std::begin(kCommands), std::end(kCommands), std::pair<std::string_view, std::string_view>(
                    record.program, record.command)) == std::end(kCommands) ||
      words.size() < 2 || (signed_for && words[1] != "for")) {
    return false;
  }
  for (auto word = words.begin() + (signed_for ? 2 : 1); word != words.end(); ++word) {
    const std::size_t equals = word->find('=');
    if (*word == "forced" && record.program == "zel-site") continue;
    AuditField& field = record.fields.emplace_back();
    field.key = word->substr(0, equals);
    if (equals == 0 || equals == std::string_view::npos || equals + 1 == word->size() ||
        !unescape_field(word->substr(equals + 1), field.value, field.cut)) {
      return false;
    }
  }
  return !record.fields.empty();
}

}  // namespace

bool unescape_field(std::string_view text, std::string& value, bool& cut) {
  static constexpr std::string_view kHex = "0123456789abcdef";
  value.clear();
  cut = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::string_view rest = text.substr(i);
    if (byte <= ' ' || byte >= 0x7f) return false;
    if (byte != '\\') {
      value += text[i];
      continue;
    }
    if (rest == "\\..." || rest == "\\...]") return cut = true;
    const std::size_t high = rest.size() >= 4 && rest[1] == 'x' ? kHex.find(rest[2]) : std::string_view::npos;
    const std::size_t low = high != std::string_view::npos ? kHex.find(rest[3]) : std::string_view::npos;
    const auto decoded = static_cast<unsigned char>(high * 16 + low);
    // Only a byte the writer escapes is read from an escape: each value has one spelling.
    if (low == std::string_view::npos || (decoded > ' ' && decoded < 0x7f && decoded != '\\')) return false;
    value += static_cast<char>(decoded);
    i += 3;
  }
  return true;
}

bool parse_record(std::string_view line, AuditRecord& record) {
  const std::string text(line);
  std::tm utc{};
  long usec = 0;
  long pid = 0;
  unsigned uid = 0;
  char program[16] = {};
  int at = 0;
  if (text.find('\0') != std::string::npos ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6ldZ %15[a-z-][%ld]: uid=%u %n", &utc.tm_year,
                  &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &usec, program, &pid, &uid,
                  &at) != 10 || at == 0) {
    return false;
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  // What the writer would have made of the values read is the line itself, to the byte.
  const std::timespec when{timegm(&utc), usec * 1000};
  if (audit_record(program, when, pid, uid, line.substr(static_cast<std::size_t>(at))) != text + "\n") return false;
  record = AuditRecord{text.substr(0, kTimeShape.size()), program, {}, {}};
  return parse_fields(line.substr(static_cast<std::size_t>(at)), record);
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

bool valid_since(std::string_view text) {
  return text.size() >= 10 && text.size() <= kTimeShape.size() &&
         std::equal(text.begin(), text.end(), kTimeShape.begin(), [](char c, char shape) {
           return shape == 'D' ? c >= '0' && c <= '9' : c == shape;
         });
}

std::vector<std::size_t> read_audit_log(std::string_view text, const LogFilter& filter, std::FILE* out) {
  std::vector<std::size_t> bad;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size(); ++number) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
    AuditRecord record;
    // A last line without its newline is a record written in part.
    if (end == std::string_view::npos || !parse_record(line, record)) {
      bad.push_back(number + 1);
    } else if (selected(record, filter)) {
      std::fprintf(out, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  return bad;
}

}  // namespace zel
