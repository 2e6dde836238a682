// A program that uses an installed nerido: one scene in, six brightness
// temperatures out.
//
//   scene_tb SST_C ALTITUDE_M AIR_C WIND_MS RAIN_MMH   six Tb (K), two decimals
//   scene_tb --table < scenes.txt                      every scene of a table,
//                                                      Tb as exact hex floats
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nerido/nerido.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Reads "sst altitude air wind rain [: ...]" lines and writes each scene
// back with its six Tb in the same form; comment lines pass through.
int run_table() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty() || line[0] == '#') {
      std::cout << line << '\n';
      continue;
    }
    std::istringstream words(line);
    std::string kind;
    std::vector<float> in;
    std::string word;
    words >> kind;
    while (words >> word && word != ":") {
      in.push_back(std::strtof(word.c_str(), nullptr));
    }
    if (in.size() != 5) {
      std::cerr << "scene_tb: a table line needs five inputs: " << line << '\n';
      return 1;
    }
    const nerido::Scene scene{in[0], in[1], in[2], in[3], in[4]};
    std::printf("%s", kind.c_str());
    for (float v : in) {
      std::printf(" %a", static_cast<double>(v));
    }
    std::printf(" :");
    for (float tb : nerido::brightness_temperatures(scene)) {
      std::printf(" %a", static_cast<double>(tb));
    }
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--table") {
    return run_table();
  }
  if (argc != 6) {
    std::cerr << "usage: scene_tb SST_C ALTITUDE_M AIR_C WIND_MS RAIN_MMH | --table\n";
    return 2;
  }
  const nerido::Scene scene{std::strtof(argv[1], nullptr), std::strtof(argv[2], nullptr),
                            std::strtof(argv[3], nullptr), std::strtof(argv[4], nullptr),
                            std::strtof(argv[5], nullptr)};
  try {
    const auto tb = nerido::checked_brightness_temperatures(scene);
    for (std::size_t i = 0; i < tb.size(); ++i) {
      std::printf("%s%.2f", i == 0 ? "" : " ", static_cast<double>(tb[i]));
    }
    std::printf("\n");
  } catch (const nerido::InvalidScene& e) {
    std::cerr << "scene_tb: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
