// Times the engine's JSON layer on one document: parse the text into a value and write it back
// as compact text, best of several runs. The Python module never does one without the other
// work of a call, so bench/bench_primitives.py runs this program for the bare figure.
//
// Usage: json_throughput FILE [RUNS]
// Prints one JSON object: {"best_seconds":S,"bytes_in":N,"bytes_out":M,"runs":R}

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <expected>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>

#include "kest/json.hpp"

namespace {

// One parse and one write; the value and the output are freed before returning, as a caller's
// would be, so their release is timed too.
std::expected<std::size_t, std::string> parse_and_write(std::string_view text) {
  auto value = kest::json::parse(text);
  if (!value) return std::unexpected(value.error());
  return kest::json::write(*value).size();
}

int usage() {
  std::cerr << "usage: json_throughput FILE [RUNS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return usage();
  int runs = 5;
  if (argc == 3) {
    std::string_view arg = argv[2];
    auto [end, error] = std::from_chars(arg.data(), arg.data() + arg.size(), runs);
    if (error != std::errc() || end != arg.data() + arg.size() || runs < 1) return usage();
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::cerr << "json_throughput: cannot read " << argv[1] << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

  double best = std::numeric_limits<double>::infinity();
  std::size_t written = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    auto result = parse_and_write(text);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!result) {
      std::cerr << "json_throughput: " << result.error() << "\n";
      return 1;
    }
    written = *result;
    best = std::min(best, elapsed.count());
  }
  std::cout << std::setprecision(9) << "{\"best_seconds\":" << best << ",\"bytes_in\":" << text.size()
            << ",\"bytes_out\":" << written << ",\"runs\":" << runs << "}\n";
  return 0;
}
