// The demo's own scratch directory, which is the server's working
// directory for the run: a gateway file for the library's gateway lookup
// (VORBEL_ESD_PLUGIN points at it) and a stand-in `wget` first on PATH that
// only writes its arguments to a log. A gateway reset of the demo therefore
// never sends anything off the machine. Removed again at the end.
#ifndef VORBEL_DEMO_SANDBOX_H
#define VORBEL_DEMO_SANDBOX_H

#include <string>
#include <vector>

namespace demo {

class Sandbox {
 public:
  // Throws std::runtime_error when the directory cannot be made.
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  // The gateway file's text, for the demo's heading.
  static const char* gateway_file_text();
  // Runs of the stand-in wget since the last call, one line of arguments each.
  std::vector<std::string> new_wget_calls();

 private:
  std::string dir_;
  std::string old_cwd_;
  std::size_t wget_log_read_ = 0;
};

// `path` made absolute against the current directory (unchanged when empty
// or absolute).
std::string absolute_path(const std::string& path);

}  // namespace demo

#endif  // VORBEL_DEMO_SANDBOX_H
