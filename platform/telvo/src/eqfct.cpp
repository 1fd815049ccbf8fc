#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log_place.h"
#include "telvo.h"

// ---------------------------------------------------------------------------
// Config

void Config::insert(const std::string& name, int type) { types_[name] = type; }

int Config::type_of(const std::string& name) const {
  auto it = types_.find(name);
  return it == types_.end() ? DATA_NULL : it->second;
}

// ---------------------------------------------------------------------------
// EqFct

EqFct::EqFct(std::string name) : name_(std::move(name)) {}

EqFct::~EqFct() {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  for (D_fct* p : props_) p->detach_eqfct();
}

std::string EqFct::get_username() {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  return user_;
}

std::string EqFct::get_hostname() {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  return host_;
}

void EqFct::add_property(D_fct* p) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  props_.push_back(p);
}

void EqFct::remove_property(D_fct* p) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  props_.erase(std::remove(props_.begin(), props_.end(), p), props_.end());
}

D_fct* EqFct::find_property(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  for (D_fct* p : props_)
    if (p->basename() == name) return p;
  return nullptr;
}

std::vector<D_fct*> EqFct::properties() {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  return props_;
}

namespace {

// Sets the caller of a client call for its duration.
class ClientScope {
 public:
  ClientScope(std::string& user, std::string& host, const std::string& u, const std::string& h)
      : user_(user), host_(host), old_user_(user), old_host_(host) {
    user_ = u;
    host_ = h;
  }
  ~ClientScope() {
    user_ = old_user_;
    host_ = old_host_;
  }

 private:
  std::string& user_;
  std::string& host_;
  std::string old_user_;
  std::string old_host_;
};

}  // namespace

int EqFct::client_get(const std::string& prop, EqData* out, const std::string& user,
                      const std::string& host) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  D_fct* p = find_property(prop);
  if (!p || !out) return -1;
  ClientScope scope(user_, host_, user, host);
  EqAdr adr(prop);
  EqData in;
  p->get(&adr, &in, out, this);
  return 0;
}

int EqFct::client_set(const std::string& prop, const EqData& in, const std::string& user,
                      const std::string& host, std::string* error) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  D_fct* p = find_property(prop);
  if (!p) return -1;
  ClientScope scope(user_, host_, user, host);
  EqAdr adr(prop);
  EqData data = in;
  EqData out;
  // A property refuses a write by raising an error (d_error), which the
  // client gets as the call's result.
  p->clear_error();
  p->set(&adr, &data, &out, this);
  if (error) *error = p->error_text();
  return p->error_code();
}

D_conf_struct* EqFct::find_conf(const std::string& prop) {
  std::lock_guard<std::recursive_mutex> lk(mx_);
  auto it = conf_.find(prop);
  return it == conf_.end() ? nullptr : &it->second;
}

int EqFct::load_config(const std::string& path, std::string* error) {
  return telvo_load_config(path, {this}, error);
}

int EqFct::save_config(const std::string& path, std::string* error) {
  return telvo_save_config(path, {this}, error);
}

// ---------------------------------------------------------------------------
// Configuration file

namespace {

const char kSection[] = "eq_fct:";

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool parse_int(const std::string& token, int32_t* out) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(token.c_str(), &end, 10);
  if (end == token.c_str() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
    return false;
  *out = static_cast<int32_t>(v);
  return true;
}

std::vector<std::string> tokens(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

std::string unescape_text(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Parse the value text of one entry by the type code of its property.
bool parse_entry(D_conf_struct* e, std::string* why) {
  const auto t = tokens(e->text);
  switch (e->type) {
    case DATA_IIII: {
      int32_t v[4];
      if (t.size() != 4) return fail(why, "expected four integers");
      for (int i = 0; i < 4; ++i)
        if (!parse_int(t[static_cast<size_t>(i)], &v[i])) return fail(why, "'" + t[static_cast<size_t>(i)] + "' is not a 32-bit integer");
      e->iiii = IIII{v[0], v[1], v[2], v[3]};
      return true;
    }
    case DATA_INT: {
      int32_t v;
      if (t.size() != 1 || !parse_int(t[0], &v)) return fail(why, "expected one 32-bit integer");
      e->ival = v;
      return true;
    }
    case DATA_FLOAT: {
      char* end = nullptr;
      if (t.size() != 1) return fail(why, "expected one number");
      e->fval = std::strtof(t[0].c_str(), &end);
      if (*end != '\0') return fail(why, "expected one number");
      return true;
    }
    case DATA_STRING: {
      std::string v = e->text;
      if (v.compare(0, 2, " \t") == 0)
        v.erase(0, 2);
      else
        v.erase(0, v.find_first_not_of(" \t") == std::string::npos ? v.size() : v.find_first_not_of(" \t"));
      e->sval = unescape_text(v);
      return true;
    }
    default:
      return true;  // kept as text
  }
}

struct RawEntry {
  std::string name;
  std::string text;
  int line;
};

// The first error by line of a file; later ones are not reported.
class FirstError {
 public:
  void at(int line, const std::string& text) {
    if (line_ == 0 || line < line_) {
      line_ = line;
      text_ = text;
    }
  }
  bool report(const std::string& path, std::string* error) const {
    if (line_ == 0) return false;
    fail(error, path + ":" + std::to_string(line_) + ": " + text_);
    return true;
  }

 private:
  int line_ = 0;
  std::string text_;
};

}  // namespace

int telvo_load_config(const std::string& path, const std::vector<EqFct*>& eqs, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    fail(error, "cannot load configuration file '" + path + "': it is a directory");
    return -1;
  }
  std::ifstream in(path);
  if (!in) {
    fail(error, "cannot open configuration file '" + path + "': " + std::strerror(errno));
    return -1;
  }
  std::map<std::string, std::vector<RawEntry>> sections;
  std::vector<RawEntry>* current = nullptr;
  FirstError first;
  std::string line;
  // Reading stops at the first line that is not understood.
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, sizeof kSection - 1, kSection) == 0) {
      auto name = tokens(line.substr(sizeof kSection - 1));
      if (name.size() != 1) {
        first.at(n, "section line needs one equipment function name");
        break;
      }
      current = &sections[name[0]];
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos || !current) {
      first.at(n, current ? "expected 'NAME:value'" : "entry before the first 'eq_fct:' line");
      break;
    }
    current->push_back(RawEntry{line.substr(0, colon), line.substr(colon + 1), n});
  }
  if (in.bad()) {
    fail(error, "cannot read configuration file '" + path + "': " + std::strerror(errno));
    return -1;
  }

  // Parse everything first: a malformed entry leaves every property as it is.
  std::vector<std::map<std::string, D_conf_struct>> parsed(eqs.size());
  for (size_t k = 0; k < eqs.size(); ++k) {
    EqFct* eq = eqs[k];
    std::lock_guard<std::recursive_mutex> lk(eq->lock());
    Config cfg;
    for (D_fct* p : eq->properties()) p->conf(&cfg);
    auto sec = sections.find(eq->name());
    if (sec == sections.end()) continue;
    for (const RawEntry& r : sec->second) {
      const int type = cfg.type_of(r.name);
      if (type == DATA_NULL) continue;  // no such property (any more)
      D_conf_struct e;
      e.name = r.name;
      e.type = type;
      e.text = r.text;
      e.line = r.line;
      std::string why;
      if (!parse_entry(&e, &why)) first.at(r.line, "value of " + r.name + ": " + why);
      parsed[k][r.name] = std::move(e);
    }
  }
  if (first.report(path, error)) return -1;
  for (size_t k = 0; k < eqs.size(); ++k) {
    EqFct* eq = eqs[k];
    std::lock_guard<std::recursive_mutex> lk(eq->lock());
    eq->conf_ = std::move(parsed[k]);
    for (D_fct* p : eq->properties()) {
      const D_conf_struct* e = eq->find_conf(p->basename());
      telvo::LogPlace place(e ? path + ":" + std::to_string(e->line) : path + " (no entry)");
      p->read();
    }
  }
  return 0;
}

namespace {

// A name the loader finds again: not empty, no ':', no control character,
// not a comment and not a section line.
bool readable_name(const std::string& name) {
  if (name.empty() || name[0] == '#' || name == "eq_fct") return false;
  for (char c : name)
    if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

// The saved file takes the mode and owner of the file it replaces.
bool keep_mode_and_owner(FILE* f, const std::string& path, std::string* error) {
  struct stat old {}, now {};
  if (stat(path.c_str(), &old) != 0) return true;  // a new file
  const int fd = fileno(f);
  if (fchmod(fd, old.st_mode & 07777) != 0)
    return fail(error, "cannot keep the mode of '" + path + "': " + std::strerror(errno));
  if (fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
      fchown(fd, old.st_uid, old.st_gid) != 0)
    return fail(error, "cannot keep the owner of '" + path + "': " + std::strerror(errno));
  return true;
}

}  // namespace

// The file is written to a temporary file beside it and renamed over it, so a
// reader never sees a half-written configuration.
int telvo_save_config(const std::string& path, const std::vector<EqFct*>& eqs, std::string* error) {
  std::ostringstream out;
  out << "# TELVO server configuration\n";
  for (EqFct* eq : eqs) {
    std::lock_guard<std::recursive_mutex> lk(eq->lock());
    out << kSection << ' ' << eq->name() << '\n';
    for (D_fct* p : eq->properties()) {
      std::ostringstream value;
      p->write(value);
      std::string text = value.str();
      if (text.empty()) continue;
      if (text.back() != '\n') text += '\n';
      // Nothing is written that the next start could not load.
      if (!readable_name(p->basename())) {
        fail(error, "cannot save property '" + p->basename() + "': its name cannot be read back");
        return -1;
      }
      if (text.find_first_of("\n\r") != text.size() - 1) {
        fail(error, "cannot save property '" + p->basename() + "': its value spans lines");
        return -1;
      }
      out << p->basename() << ':' << text;
    }
  }
  const std::string content = out.str();
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) {
    fail(error, "cannot write configuration file '" + tmp + "': " + std::strerror(errno));
    return -1;
  }
  if (!keep_mode_and_owner(f, path, error)) {
    std::fclose(f);
    std::remove(tmp.c_str());
    return -1;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = std::fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    fail(error, "cannot save configuration file '" + path + "': " + std::strerror(errno));
    std::remove(tmp.c_str());
    return -1;
  }
  return 0;
}
