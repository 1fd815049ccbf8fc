// Replays fuzz inputs through a target's LLVMFuzzerTestOneInput: every file
// named on the command line and every file in every directory named there,
// in name order. A broken property ends the process (the target aborts);
// finding no input at all is a failure as well.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>* files) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "corpus: cannot read %s\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    files->push_back(path);
    return;
  }
  std::vector<std::string> found;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      if (stat(child.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(child);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], &files);
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
