// The benchmark data of bench/data/: the corporate PAC and its URL list.
// A missing file ends the benchmark with a message (exit 2).
#pragma once

#include <string>
#include <vector>

namespace ovbench {

// The whole text of bench/data/<name>.
std::string ReadBenchData(const char* name);

// The URLs of bench/data/urls.txt, without blank and "#" lines.
std::vector<std::string> BenchUrls();

// The process's resident set size in MiB (Linux /proc; 0 elsewhere).
double ResidentMiB();

}  // namespace ovbench
