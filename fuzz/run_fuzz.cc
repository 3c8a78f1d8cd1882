// Fuzzes a whole run in-process: arguments, standard input and site text.
//
// Input: one flag byte, then the arguments (separated by NUL bytes), a record
// separator byte (0x1e), standard input, another record separator, and the site
// text. Flag bits: 1 puts "-k" with the canary before the arguments; 2 adds a
// token line with the canary value to the top of the site text and right after
// the header of the site the arguments seem to name; 8 adds it after the first
// "]" of the site text, on that line; 4 runs as if the site file could not be opened. Arguments that could
// hold -K are left alone: it reads a descriptor of the fuzzing process itself.
//
// Beyond not crashing, a run must keep these properties: its status is one the
// tool documents, every failure but an empty site file's comes with a message,
// a failed run writes nothing to standard output; a usage error reads neither
// standard input nor the site file, a refused request does not read the site
// file, and at most the first line of standard input is read; a successful
// listing is whole property lines of the site text, none a token line, then
// the digest line of exactly the first input line (and the signature line);
// the canary, or its tail after its "]", never appears on standard output or
// standard error.
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/actor.h"
#include "cli/driver.h"
#include "fuzz/fuzz_support.h"
#include "site/site_file.h"
#include "util/status.h"

namespace {

using zel_fuzz::contains;
using zel_fuzz::kCanary;
using zel_fuzz::kTokenKey;

constexpr std::size_t npos = std::string_view::npos;
constexpr char kSeparator = '\x1e';
constexpr std::size_t kMaxArgs = 32;
constexpr std::string_view kDigestPrefix = "digest.value = ";
constexpr std::string_view kSignaturePrefix = "signature.value = ";

std::string_view take_part(std::string_view& rest) {
  const std::size_t end = rest.find(kSeparator);
  const std::string_view part = rest.substr(0, end);
  rest.remove_prefix(end == npos ? rest.size() : end + 1);
  return part;
}

// The site name that -s gives in args, as far as a plain reading of the options
// tells. Used only to place the canary line; a wrong guess puts it in another
// stanza, where it must not be listed either.
std::optional<std::string> guess_site_name(const std::vector<std::string>& args) {
  std::optional<std::string> name;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    const std::size_t option = arg.find_first_of("ks", 1);
    if (option == npos) continue;
    std::string value;
    if (option + 1 < arg.size()) {
      value = arg.substr(option + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      break;
    }
    if (arg[option] == 's') name = value;
  }
  return name;
}

std::string base64(const unsigned char* bytes, std::size_t size) {
  unsigned char text[64] = {};
  const int length = EVP_EncodeBlock(text, bytes, static_cast<int>(size));
  return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)};
}

bool only_empty_token_messages(std::string_view messages) {
  constexpr std::string_view kEmptyToken = "Token value cannot be empty.\n";
  while (messages.starts_with(kEmptyToken)) messages.remove_prefix(kEmptyToken.size());
  return messages.empty();
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == npos ? text.size() : end + 1);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string_view arg_part = take_part(rest);
  const std::string_view input = take_part(rest);
  const std::string_view site_part = rest;
  const bool fresh =
      !contains(std::string_view(reinterpret_cast<const char*>(data), size), zel_fuzz::kCanaryTail);
  const bool canary_key = (flags & 1U) != 0 && fresh;
  const bool canary_line = (flags & 2U) != 0 && fresh;
  const bool unopened = (flags & 4U) != 0;

  std::vector<std::string> args;
  for (std::string_view parts = arg_part; !parts.empty() && args.size() < kMaxArgs;) {
    const std::size_t end = parts.find('\0');
    args.emplace_back(parts.substr(0, end));
    parts.remove_prefix(end == npos ? parts.size() : end + 1);
  }
  if (std::any_of(args.begin(), args.end(), [](const std::string& a) { return contains(a, "K"); })) {
    return 0;
  }
  const bool other_key_possible =
      std::any_of(args.begin(), args.end(), [](const std::string& a) { return contains(a, "k"); });

  std::string site(site_part);
  if (canary_line) {
    const std::string line = std::string(kTokenKey) + " = " + std::string(kCanary) + "\n";
    // The places are found in the input's own text, before a canary, which
    // holds a "[name]" itself, is in it; the later one is filled first.
    std::size_t after_header = npos;
    if (const std::optional<std::string> name = guess_site_name(args)) {
      const std::string header = "[" + *name + "]";
      const std::size_t at = std::string_view(site.c_str()).find(header);
      if (at != npos) after_header = at + header.size();
    }
    // On the line of the first "]" that closes a "[" of its own line, as a
    // token line may stand right after its stanza's header: a header read
    // inside it would list its tail. A "]" with no "[" before it on its line
    // closes no header, and text after it is no token line.
    std::size_t after_bracket = npos;
    for (std::size_t at = (flags & 8U) != 0 ? site.find(']') : npos; at != npos; at = site.find(']', at + 1)) {
      const std::size_t newline = site.rfind('\n', at);
      if (site.find('[', newline == npos ? 0 : newline + 1) < at) {
        after_bracket = at + 1;
        break;
      }
    }
    const std::pair<std::size_t, std::string> places[2] = {{after_header, "\n" + line},
                                                           {after_bracket, " " + line}};
    const bool bracket_later = after_header == npos || (after_bracket != npos && after_bracket > after_header);
    for (const auto& [at, text] : bracket_later ? std::vector{places[1], places[0]}
                                               : std::vector{places[0], places[1]}) {
      if (at != npos) site.insert(at, text);
    }
    site.insert(0, line);
  }

  // The argument vector as main gets it; getopt may reorder the pointers.
  std::vector<std::string> storage = {"zel-auth"};
  if (canary_key) {
    storage.emplace_back("-k");
    storage.emplace_back(kCanary);
  }
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv(storage.size() + 1, nullptr);
  std::transform(storage.begin(), storage.end(), argv.begin(),
                 [](std::string& arg) { return arg.data(); });

  // Standard input and the site file, both in memory.
  std::string input_bytes(input);
  std::FILE* in = fmemopen(input_bytes.data(), input_bytes.size(), "r");
  ZEL_FUZZ_CHECK(in != nullptr);
  int site_fd = -1;
  zel::SiteFile site_file{zel::UniqueFd(), ENOENT};
  if (!unopened) {
    site_fd = memfd_create("zel-fuzz-site", MFD_CLOEXEC);
    ZEL_FUZZ_CHECK(site_fd >= 0);
    site_file = zel::SiteFile{zel::UniqueFd(site_fd)};
    ZEL_FUZZ_CHECK(write(site_fd, site.data(), site.size()) == static_cast<ssize_t>(site.size()));
    ZEL_FUZZ_CHECK(lseek(site_fd, 0, SEEK_SET) == 0);
  }

  zel::Ids ids;
  ZEL_FUZZ_CHECK(zel::system_kernel().ids(ids) == 0);
  zel_fuzz::MemoryStream out;
  zel_fuzz::MemoryStream messages;
  int status = 0;
  {
    const zel_fuzz::StderrTo capture(messages.file());
    try {
      zel::run(zel::system_kernel(), ids, static_cast<int>(argv.size() - 1), argv.data(), site_file,
               "fuzz-site.conf", nullptr, in, out.file());
    } catch (const zel::RunEnded& ended) {
      status = ended.status;
    }
  }
  const long input_read = std::ftell(in);
  ZEL_FUZZ_CHECK(std::fclose(in) == 0);
  const off_t site_read = unopened ? 0 : lseek(site_fd, 0, SEEK_CUR);
  const std::string_view listing = out.text();
  const std::string_view message_text = messages.text();

  // The statuses a run may end with, its messages, and standard output.
  ZEL_FUZZ_CHECK(status == zel::kOk || status == zel::kUsage || status == zel::kUnknownUser ||
                 status == zel::kNotAuthorized || status == zel::kNoActor ||
                 status == zel::kSiteUnreadable || status == zel::kNoStanza ||
                 status == zel::kEmptyToken);
  if (status == zel::kOk) {
    ZEL_FUZZ_CHECK(only_empty_token_messages(message_text));
  } else {
    ZEL_FUZZ_CHECK(listing.empty());
    const bool empty_site_file = status == zel::kSiteUnreadable && !unopened && site.empty();
    ZEL_FUZZ_CHECK(empty_site_file || !message_text.empty());
  }
  if (canary_key || canary_line) {
    ZEL_FUZZ_CHECK(!contains(listing, zel_fuzz::kCanaryTail));
    ZEL_FUZZ_CHECK(!contains(message_text, zel_fuzz::kCanaryTail));
  }

  // What was read: nothing after a usage error, the site file only once the
  // actor has passed, and of standard input at most its first line.
  const std::size_t newline = input.find('\n');
  const std::size_t line_length =
      std::min(newline == npos ? input.size() : newline + 1, zel::kBodySize - 1);
  if (status == zel::kUsage || status == zel::kUnknownUser) {
    ZEL_FUZZ_CHECK(input_read == 0);
  } else {
    ZEL_FUZZ_CHECK(input_read == static_cast<long>(line_length));
  }
  if (status == zel::kUsage || status == zel::kUnknownUser || status == zel::kNotAuthorized ||
      status == zel::kNoActor) {
    ZEL_FUZZ_CHECK(site_read == 0);
  }
  if (status != zel::kOk) return 0;

  // The listing: whole lines, the last of them the digest and signature lines
  // when there was a body.
  ZEL_FUZZ_CHECK(listing.empty() || listing.back() == '\n');
  std::vector<std::string_view> lines = split_lines(listing);
  if (!input.empty()) {
    const std::string_view body = input.substr(0, line_length).substr(0, input.find('\0'));
    unsigned char digest[EVP_MAX_MD_SIZE];
    std::size_t digest_size = 0;
    ZEL_FUZZ_CHECK(EVP_Q_digest(nullptr, "SHA1", nullptr, body.data(), body.size(), digest,
                                &digest_size) != 0);
    const std::string digest_line = std::string(kDigestPrefix) + base64(digest, digest_size);

    const bool signed_listing = !lines.empty() && lines.back().starts_with(kSignaturePrefix) &&
                                lines.size() >= 2 && lines[lines.size() - 2] == digest_line;
    ZEL_FUZZ_CHECK(signed_listing || !canary_key);
    if (signed_listing) {
      const std::string_view signature = lines.back().substr(kSignaturePrefix.size());
      ZEL_FUZZ_CHECK(signature.size() == 28 && signature.back() == '=');
      if (canary_key && !other_key_possible) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        std::size_t mac_size = 0;
        ZEL_FUZZ_CHECK(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, kCanary.data(),
                                 kCanary.size(), digest, digest_size, mac, sizeof mac,
                                 &mac_size) != nullptr);
        ZEL_FUZZ_CHECK(signature == base64(mac, mac_size));
      }
      lines.pop_back();
    } else {
      ZEL_FUZZ_CHECK(!lines.empty() && lines.back() == digest_line);
    }
    lines.pop_back();
  }
  const std::string_view text = std::string_view(site).substr(0, site.find('\0'));
  for (const std::string_view line : lines) {
    ZEL_FUZZ_CHECK(zel_fuzz::is_property_line_shape(line));
    ZEL_FUZZ_CHECK(zel_fuzz::find_whole_line(text, 0, text.size(), 0, line, true) != npos);
  }
  return 0;
}
