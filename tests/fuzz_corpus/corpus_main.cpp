// Replays fuzz inputs through a target's LLVMFuzzerTestOneInput: every file
// named on the command line and every file in every directory named there,
// in name order. A broken property ends the process (the target aborts);
// finding no input at all is a failure as well.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!fs::is_directory(argv[i], ec)) {
      if (fs::exists(argv[i], ec)) files.push_back(argv[i]);
      else std::fprintf(stderr, "corpus: cannot read %s\n", argv[i]);
      continue;
    }
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(argv[i], ec))
      if (e.is_regular_file(ec)) found.push_back(e.path().string());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  if (files.empty()) {
    std::fprintf(stderr, "corpus: no inputs\n");
    return 1;
  }
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "corpus: %s\n", f.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("corpus: %zu inputs replayed, every property held\n", files.size());
  return 0;
}
