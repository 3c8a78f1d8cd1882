#include "admin/audit_log.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "util/audit_file.h"
#include "util/log_field.h"
#include "util/status.h"

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

// The shapes of the records, as cli/audit.h and admin/trail.h give them: one word per item, each
// a bare word or "KEYS=VALUES", its words split by "|"; "[ITEM]" for an item that may be missing,
// "{ ... }" for items given once or more. A value is one of its words (two letters or more), or of
// its kind: * any (even empty), + any but empty, S a stanza ("default", "[NAME]"), I a token
// identifier (sign/token_id.h), D a body's digest (base64 SHA-1), H a site file's SHA-256
// (admin/trail.h), N a status a failed run of zel-auth's ends with.
constexpr std::string_view kShapes[] = {
    "zel-auth signed for actor=* user=+ site=S via=self|autobuild|own-key key=site token=I digest=D",
    "zel-auth signed for actor=* user=+ site=S via=self|autobuild|own-key key=own|none digest=D",
    "zel-auth refused actor=* user=+ site=S",
    "zel-auth failed [actor=*] user=+ site=S status=N message=*",
    "zel-site set-token by=+ stanza=S token=new|changed|same id=I [was=I] before=H|none after=H",
    "zel-site edit|install by=+ [forced] stanzas=same before=H|none after=H",
    "zel-site edit|install by=+ [forced] { added|changed|removed=S token=new|gone|changed|same|none [id=I] [was=I] } before=H|none after=H",
    "zel-site outside-change recorded=* live=H|none",
};

// The statuses a failed run's record may give: util/status.h's but success and refusal.
constexpr int kFailedStatuses[] = {kUsage,       kUnknownUser,  kNoActor,      kSiteUnreadable, kNoStanza,
                                   kEmptyToken,  kWriteFailed,  kOutOfMemory,  kCryptoFailed,   kPrivilege,
                                   kInputUnreadable, kAuditUnsent};

// Whether every byte of text is one of chars and there are length of them.
bool made_of(std::string_view text, std::size_t length, std::string_view chars) {
  return text.size() == length && text.find_first_not_of(chars) == std::string_view::npos;
}

// Whether any of the alternatives ("a|b|c") passes test.
template <typename Test>
bool any_alternative(std::string_view alternatives, Test test) {
  for (std::size_t at = 0, end = 0; at <= alternatives.size(); at = end + 1) {
    end = std::min(alternatives.find('|', at), alternatives.size());
    if (test(alternatives.substr(at, end - at))) return true;
  }
  return false;
}

// Whether value, as written, is the word or of the kind a shape gives.
bool value_fits(std::string_view value, std::string_view kind) {
  constexpr std::string_view kHex = "0123456789abcdef";
  constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return (kind.size() > 1 && kind == value) || kind == "*" || (kind == "+" && !value.empty()) ||
         (kind == "S" && (value == "default" || (value.size() > 1 && value.starts_with('[') && value.ends_with(']')))) ||
         (kind == "I" && made_of(value, 8, kHex)) || (kind == "H" && made_of(value, 64, kHex)) ||
         (kind == "D" && made_of(value.substr(0, 27), 27, kBase64) && value.substr(27) == "=") ||
         (kind == "N" && std::any_of(std::begin(kFailedStatuses), std::end(kFailedStatuses),
                                     [&](int status) { return std::to_string(status) == value; }));
}

// Whether the word fits the item ("KEYS=VALUES" or a bare word) of a shape.
bool word_fits(std::string_view word, std::string_view item) {
  const std::size_t equals = item.find('=');
  const std::size_t split = word.find('=');
  if (equals == std::string_view::npos) {
    return any_alternative(item, [&](std::string_view alternative) { return alternative == word; });
  }
  return split != std::string_view::npos &&
         any_alternative(item.substr(0, equals), [&](std::string_view key) { return key == word.substr(0, split); }) &&
         any_alternative(item.substr(equals + 1),
                         [&](std::string_view kind) { return value_fits(word.substr(split + 1), kind); });
}

// Whether the words from at on fit the items of a shape; at moves past the words they take.
bool fits(const std::vector<std::string_view>& items, const std::vector<std::string_view>& words, std::size_t& at) {
  for (auto item = items.begin(); item != items.end(); ++item) {
    if (*item == "{") {
      const auto close = std::find(item, items.end(), "}");
      const std::vector<std::string_view> group(item + 1, close);
      std::size_t times = 0;
      for (std::size_t next = at; fits(group, words, next); at = next) ++times;
      if (times == 0) return false;
      item = close;
    } else if (at < words.size() && word_fits(words[at], item->starts_with('[') ? item->substr(1, item->size() - 2) : *item)) {
      ++at;
    } else if (!item->starts_with('[')) {
      return false;
    }
  }
  return true;
}

// The words of text split at each space.
std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0, end = 0; at <= text.size(); at = end + 1) {
    end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
  }
  return words;
}

// Whether the words of a record after its uid= have one of the shapes.
bool has_a_shape(const std::vector<std::string_view>& words) {
  return std::any_of(std::begin(kShapes), std::end(kShapes), [&](std::string_view shape) {
    std::size_t at = 0;
    return fits(words_of(shape), words, at) && at == words.size();
  });
}

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
  return audit_field(field.value, field.value.size()) == kept;
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
  const std::string head = std::string(program).append(" ").append(words);
  const std::vector<std::string_view> all = words_of(head);
  if (!has_a_shape(all)) return false;
  record = {text.substr(0, kTimeShape.size()), std::string(all[1]), {}};
  for (const std::string_view word : all) {
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) continue;  // the program's name and its words
    AuditField& field = record.fields.emplace_back(AuditField{std::string(word.substr(0, equals)), "", false});
    if (!unescape(word.substr(equals + 1), field)) return false;
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
  if (text.size() < 10 || text.size() > kTimeShape.size() ||
      !std::equal(text.begin(), text.end(), kTimeShape.begin(),
                  [](char c, char shape) { return shape == 'D' ? c >= '0' && c <= '9' : c == shape; })) {
    return false;
  }
  // The earliest time that starts so must be one a record can have: rendered again, it is itself.
  const std::string earliest = std::string(text) + std::string("0000-01-01T00:00:00.000000Z").substr(text.size());
  std::tm utc{};
  long usec = 0;
  (void)std::sscanf(earliest.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6ldZ",  // NOLINT(cert-err34-c): its shape is checked
                    &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &usec);
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  return audit_record("", {timegm(&utc), usec * 1000}, 0, 0, "").starts_with(earliest);
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
