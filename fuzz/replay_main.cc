// Replays saved inputs through a fuzzing harness without libFuzzer, so that each
// corpus is a regression test of the ordinary build. Every argument is an input
// file or a directory whose files are inputs; they run in name order. A harness
// that finds a property violated aborts, which fails the test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char* argv[]) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(path);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // A corpus that went missing must not pass for one that was replayed.
  if (inputs.empty()) {
    std::fputs("No inputs to replay.\n", stderr);
    return 1;
  }

  for (const std::filesystem::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> content((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
      std::fprintf(stderr, "Unable to read %s.\n", path.c_str());
      return 1;
    }
    // Named first, so that the input a harness stops on is known.
    if (std::printf("%s\n", path.c_str()) < 0 || std::fflush(stdout) != 0) return 1;
    // An exactly sized heap copy, as libFuzzer gives: reads past its end are caught.
    const std::unique_ptr<std::uint8_t[]> data = std::make_unique<std::uint8_t[]>(content.size());
    if (!content.empty()) std::memcpy(data.get(), content.data(), content.size());
    LLVMFuzzerTestOneInput(data.get(), content.size());
  }
  std::printf("%zu inputs replayed, 0 failed\n", inputs.size());
  return 0;
}
