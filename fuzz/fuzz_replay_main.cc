// Replays fuzz seeds without libFuzzer: every file named on the command line
// (or found in a named folder) is fed to LLVMFuzzerTestOneInput, then a fixed
// number of deterministic mutations of it, so that a plain build exercises
// more than the seeds and a failure reproduces on every run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kMutationsPerSeed = 500;

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

std::string Mutate(std::string input, std::mt19937& rng) {
  static constexpr char kInteresting[] = ";,:=*.[]/ \t\n<>%@\"'\\0123456789socksPROXYDIRECT";
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < edits; ++i) {
    const size_t pos = input.empty() ? 0 : rng() % (input.size() + 1);
    const char byte = (rng() % 4 == 0) ? static_cast<char>(rng() % 256)
                                       : kInteresting[rng() % (sizeof(kInteresting) - 1)];
    switch (rng() % 3) {
      case 0:
        input.insert(pos, 1, byte);
        break;
      case 1:
        if (pos < input.size()) input.erase(pos, 1 + rng() % 3);
        break;
      default:
        if (pos < input.size()) input[pos] = byte;
        break;
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(path);
    }
  }
  std::mt19937 rng(20261206);
  Run("");
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Run(seed);
    for (int i = 0; i < kMutationsPerSeed; ++i) Run(Mutate(seed, rng));
  }
  std::printf("replayed %zu seeds with %d mutations each\n", files.size(), kMutationsPerSeed);
  return 0;
}
