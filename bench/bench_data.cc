#include "bench_data.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ovbench {

std::string ReadBenchData(const char* name) {
  const std::string path = std::string(OV_BENCH_DATA_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read benchmark data %s\n", path.c_str());
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> BenchUrls() {
  std::vector<std::string> urls;
  std::istringstream lines(ReadBenchData("urls.txt"));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != '#') urls.push_back(line);
  }
  return urls;
}

double ResidentMiB() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

}  // namespace ovbench
