// One-shot command cost benchmark. Prints a report; no pass/fail.
//
//   command_cost_bench [--rounds N] [--files N] [--work DIR] [--pallix PATH]
//
// Builds a tree of N files (default 50,000) in folders of 100 with one
// "kestrel.conf" among them, catalogues it with `pallix index` and gives it
// to plocate (`updatedb -U TREE`), then in each round, side by side as
// whole processes: `plocate -d DB kestrel.conf`, `pallix files
// kestrel.conf`, `pallix --version` and `pallix calc 2+2`. The report gives
// the medians of wall and CPU (user + system) time and the ratios of
// `pallix files` to plocate.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/support/BenchStats.h"
#include "bench/support/ProcessTiming.h"
#include "core/Strings.h"

using namespace pallix;
using bench::ProcessTiming;
using bench::runTimed;

namespace {

struct Samples {
  std::vector<double> wall, cpu;
  void add(const ProcessTiming& t) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  double medianWall() const { return bench::percentile(wall, 0.5); }
  double medianCpu() const { return bench::percentile(cpu, 0.5); }
};

void makeTree(const std::string& root, int files) {
  std::filesystem::create_directories(root);
  const char* extensions[] = {"txt", "md", "cpp", "png", "pdf", "json", "conf", "zip", "", "sample"};
  for (int made = 0; made < files; ++made) {
    const std::string folder = root + "/group" + std::to_string(made / 10000) + "/folder" + std::to_string(made / 100);
    if (made % 100 == 0) std::filesystem::create_directories(folder);
    const char* ext = extensions[made % 10];
    std::ofstream(folder + "/file" + std::to_string(made) + (*ext ? "." : "") + ext) << "x";
  }
  std::ofstream(root + "/group0/folder7/kestrel.conf") << "port = 7\n";
}

std::string value(int argc, char** argv, int& i) {
  if (i + 1 >= argc) {
    std::cerr << argv[i] << " needs a value\n";
    std::exit(2);
  }
  return argv[++i];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 30, files = 50000;
  std::string work = (std::filesystem::temp_directory_path() / "pallix-command-cost").string();
  std::string pallix = PALLIX_BINARY;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds") {
      rounds = std::stoi(value(argc, argv, i));
    } else if (a == "--files") {
      files = std::stoi(value(argc, argv, i));
    } else if (a == "--work") {
      work = value(argc, argv, i);
    } else if (a == "--pallix") {
      pallix = value(argc, argv, i);
    } else {
      std::cerr << "usage: command_cost_bench [--rounds N] [--files N] [--work DIR] [--pallix PATH]\n";
      return 2;
    }
  }
  std::filesystem::remove_all(work);
  const std::string tree = work + "/tree", home = work + "/home", db = work + "/plocate.db";
  makeTree(tree, files);
  std::filesystem::create_directories(work + "/no-desktop-entries");
  const std::vector<std::string> env = {"PALLIX_HOME=" + home, "PALLIX_LOG=off",
                                        "XDG_DATA_DIRS=" + work + "/no-desktop-entries"};
  runTimed({pallix, "folders", "add", tree}, env);
  const ProcessTiming indexed = runTimed({pallix, "index"}, env);
  const ProcessTiming located = runTimed(
      {"updatedb", "-U", tree, "-o", db, "--require-visibility", "no", "--prunepaths", "", "--prunenames", ""}, {});
  if (indexed.status != 0 || located.status != 0) {
    std::cerr << "setting up failed: pallix index " << indexed.status << ", updatedb " << located.status << "\n";
    return 1;
  }
  // Both must find the file, or the comparison means nothing.
  const std::string found = work + "/found.txt";
  runTimed({"plocate", "-d", db, "kestrel.conf"}, {}, found);
  std::ifstream plocated(found);
  std::string line;
  std::getline(plocated, line);
  if (line.find("kestrel.conf") == std::string::npos) {
    std::cerr << "plocate does not find kestrel.conf in " << db << "\n";
    return 1;
  }
  runTimed({pallix, "files", "kestrel.conf"}, env, found);
  std::ifstream pallixFound(found);
  std::getline(pallixFound, line);
  if (line.find("kestrel.conf") == std::string::npos) {
    std::cerr << "pallix files does not find kestrel.conf\n";
    return 1;
  }

  Samples plocate, filesQuery, version, calc;
  for (int r = 0; r < rounds; ++r) {
    plocate.add(runTimed({"plocate", "-d", db, "kestrel.conf"}, {}));
    filesQuery.add(runTimed({pallix, "files", "kestrel.conf"}, env));
    version.add(runTimed({pallix, "--version"}, env));
    calc.add(runTimed({pallix, "calc", "2+2"}, env));
  }
  std::cout << "One-shot commands on a tree of " << files << " files (median of " << rounds << " paired rounds)\n";
  auto row = [](const char* label, const Samples& s) {
    std::cout << stringPrintf("  %-26s %7.2f ms wall %7.2f ms cpu\n", label, s.medianWall() * 1e3, s.medianCpu() * 1e3);
  };
  row("plocate kestrel.conf", plocate);
  row("pallix files kestrel.conf", filesQuery);
  row("pallix --version", version);
  row("pallix calc 2+2", calc);
  std::cout << stringPrintf("  pallix files / plocate: %.2fx wall, %.2fx cpu (goal <= 1.5x, at most 2.0x)\n",
                            filesQuery.medianWall() / plocate.medianWall(),
                            filesQuery.medianCpu() / plocate.medianCpu());
  std::cout << stringPrintf(
      "  pallix --version: %.2f ms cpu (goal <= 5 ms); pallix calc: %.2f ms cpu (goal <= 10 ms)\n",
      version.medianCpu() * 1e3, calc.medianCpu() * 1e3);
  std::filesystem::remove_all(work);
  return 0;
}
