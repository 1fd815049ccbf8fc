#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace demo {

namespace {

const char kGatewayFile[] =
    "# Gateway file of the libVORBEL demo, in the format of /etc/esd-plugin.\n"
    "# Line 1 (net 0) is reached through a network gateway; its address is the\n"
    "# loopback address, and the demo's stand-in wget only logs the request.\n"
    "PeerName[0]=\"127.000.000.001\"\n";

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string current_dir() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

}  // namespace

std::string absolute_path(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return current_dir() + "/" + path;
}

const char* Sandbox::gateway_file_text() { return kGatewayFile; }

Sandbox::Sandbox() : old_cwd_(current_dir()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorbel-demo-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("cannot make a scratch directory under " + templ);
  dir_ = templ;

  const std::string wget = dir_ + "/wget";
  write_file(wget, "#!/bin/sh\n# Stand-in for wget: logs its arguments, sends nothing.\necho \"$*\" >> '" + dir_ +
                       "/wget.log'\n");
  chmod(wget.c_str(), 0755);
  write_file(dir_ + "/esd-plugin", kGatewayFile);

  const char* path = std::getenv("PATH");
  setenv("PATH", (dir_ + ":" + (path && *path ? path : "/usr/bin:/bin")).c_str(), 1);
  setenv("VORBEL_ESD_PLUGIN", (dir_ + "/esd-plugin").c_str(), 1);
  if (chdir(dir_.c_str()) != 0) throw std::runtime_error("cannot enter " + dir_);
}

Sandbox::~Sandbox() {
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
    // Nothing to do: the files below are removed by absolute path.
  }
  for (const char* f : {"/wget", "/wget.log", "/esd-plugin"}) unlink((dir_ + f).c_str());
  rmdir(dir_.c_str());
}

std::vector<std::string> Sandbox::new_wget_calls() {
  std::ifstream in(dir_ + "/wget.log", std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::vector<std::string> out;
  // Only whole lines: the stand-in may be writing one right now.
  std::size_t end;
  while ((end = text.find('\n', wget_log_read_)) != std::string::npos) {
    out.push_back(text.substr(wget_log_read_, end - wget_log_read_));
    wget_log_read_ = end + 1;
  }
  return out;
}

}  // namespace demo
