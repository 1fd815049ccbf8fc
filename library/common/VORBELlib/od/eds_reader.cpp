// The electronic data sheet reader: one pass over an EDS or DCF file builds
// the immutable Dictionary. What the file says inconsistently is kept as
// far as it makes sense and warned about with file and line; only what
// cannot be read at all is an error.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "od/od_values.h"

namespace vorbel {
namespace od {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

struct Key {
  std::string name;  // as written
  std::string value;
  int line = 0;
};

struct Section {
  std::string name;  // as written
  int line = 0;
  std::vector<Key> keys;

  const Key* find(const char* key) const {
    for (const Key& k : keys) {
      if (lower(k.name) == key) return &k;
    }
    return nullptr;
  }
};

// "1018" -> 0x1018; false unless 1 to 4 hex digits.
bool hex_index(const std::string& s, unsigned* out, std::size_t max_digits = 4) {
  if (s.empty() || s.size() > max_digits) return false;
  unsigned v = 0;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
  }
  *out = v;
  return true;
}

// An integer key (ObjectType, DataType, SubNumber, ...): decimal, 0x hex or octal.
bool small_number(const std::string& text, long max, long* out) {
  Setting s;
  std::string why;
  Wide w = 0;
  if (!read_setting(trim(text), static_cast<uint16_t>(DataType::Unsigned32), &s, &why) || s.node_ids != 0 ||
      !whole(s.value, &w) || w < 0 || w > max) {
    return false;
  }
  *out = static_cast<long>(w);
  return true;
}

}  // namespace

class Reader {
 public:
  Reader(std::string file, LoadResult* result) : file_(std::move(file)), result_(result) {}

  void run(const std::string& text) {
    split(text);
    dict_ = std::make_shared<Dictionary>();
    dict_->file_ = file_;
    classify();
    for (auto& [index, s] : objects_) build_object(index, *s);
    check_lists();
    std::sort(dict_->objects_.begin(), dict_->objects_.end(),
              [](const Object& a, const Object& b) { return a.index < b.index; });
    if (dict_->objects_.empty() && result_->errors.empty()) error(0, "no object of a dictionary in the file");
    if (result_->errors.empty()) result_->dictionary = dict_;
  }

 private:
  void warn(int line, const std::string& text) { result_->warnings.push_back({file_, line, text}); }
  void error(int line, const std::string& text) { result_->errors.push_back({file_, line, text}); }

  // Lines into sections of keys.
  void split(const std::string& text) {
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    Section* current = nullptr;
    bool skipping = false;  // after a section header that could not be read
    while (std::getline(in, raw)) {
      ++line;
      if (line == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
      const std::string l = trim(raw);
      if (l.empty() || l[0] == ';' || l[0] == '#') continue;
      if (l[0] == '[') {
        const auto close = l.find(']');
        if (close == std::string::npos || trim(l.substr(1, close - 1)).empty() ||
            !trim(l.substr(close + 1)).empty()) {
          error(line, "section header '" + l + "' cannot be read");
          current = nullptr;
          skipping = true;
          continue;
        }
        const std::string name = trim(l.substr(1, close - 1));
        const auto seen = names_.find(lower(name));
        if (seen != names_.end()) {
          warn(line, "section [" + name + "] again (first at line " + std::to_string(seen->second) + "): ignored");
          current = nullptr;
          skipping = true;
          continue;
        }
        names_[lower(name)] = line;
        sections_.push_back(Section{name, line, {}});
        current = &sections_.back();
        skipping = false;
        continue;
      }
      const auto eq = l.find('=');
      if (eq == std::string::npos || trim(l.substr(0, eq)).empty()) {
        warn(line, "'" + l + "' is neither a section, a key=value line nor a comment: ignored");
        continue;
      }
      if (skipping) continue;
      if (!current) {
        warn(line, "key outside any section: ignored");
        continue;
      }
      Key k{trim(l.substr(0, eq)), trim(l.substr(eq + 1)), line};
      if (const Key* first = current->find(lower(k.name).c_str())) {
        warn(line, k.name + " again in [" + current->name + "] (first at line " + std::to_string(first->line) +
                       "): ignored");
        continue;
      }
      current->keys.push_back(std::move(k));
    }
  }

  // Sections into objects, sub-objects, compact names and values, and others.
  void classify() {
    for (Section& s : sections_) {
      const std::string n = lower(s.name);
      unsigned index = 0, sub = 0;
      const auto at_sub = n.find("sub");
      if (hex_index(n, &index)) {
        objects_[index] = &s;
      } else if (n.size() > 4 && hex_index(n.substr(0, 4), &index) && at_sub == 4 &&
                 hex_index(n.substr(7), &sub, 2)) {
        if (!subs_[index].emplace(sub, &s).second) {
          warn(s.line, "sub-object [" + s.name + "] again: ignored");
        }
      } else if (n.size() > 4 && hex_index(n.substr(0, 4), &index) && (n.substr(4) == "name" || n.substr(4) == "value")) {
        (n.substr(4) == "name" ? compact_names_ : compact_values_)[index] = &s;
      } else {
        std::vector<std::pair<std::string, std::string>> keys;
        for (const Key& k : s.keys) keys.emplace_back(k.name, k.value);
        dict_->sections_.emplace_back(s.name, std::move(keys));
      }
    }
  }

  // ObjectType, with VAR for an absent or unknown code.
  ObjectType object_type(const Section& s) {
    const Key* k = s.find("objecttype");
    if (!k) {
      warn(s.line, "[" + s.name + "] has no ObjectType: taken as VAR (7)");
      return ObjectType::Var;
    }
    long v = 0;
    if (small_number(k->value, 0xFF, &v) &&
        (v == 0x0 || v == 0x2 || v == 0x5 || v == 0x6 || v == 0x7 || v == 0x8 || v == 0x9)) {
      return static_cast<ObjectType>(v);
    }
    warn(k->line, "ObjectType '" + k->value + "' is not NULL, DOMAIN, DEFTYPE, DEFSTRUCT, VAR, ARRAY or RECORD: taken as VAR");
    return ObjectType::Var;
  }

  Access access_type(const Section& s) {
    const Key* k = s.find("accesstype");
    const std::string a = k ? lower(k->value) : "";
    static const std::pair<const char*, Access> kNames[] = {
        {"ro", Access::ReadOnly},         {"wo", Access::WriteOnly},          {"rw", Access::ReadWrite},
        {"rwr", Access::ReadWriteRead},   {"rww", Access::ReadWriteWrite},    {"const", Access::Const}};
    for (const auto& [name, access] : kNames) {
      if (a == name) return access;
    }
    if (!k) {
      warn(s.line, "[" + s.name + "] has no AccessType: taken as rw");
    } else {
      warn(k->line, "AccessType '" + k->value + "' is none of ro, wo, rw, rwr, rww, const: taken as rw");
    }
    return Access::ReadWrite;
  }

  // DataType: a basic type, or a type the file defines as an object
  // (DEFTYPE, DEFSTRUCT); anything else is kept and warned about.
  uint16_t data_type(const Section& s, uint16_t fallback) {
    const Key* k = s.find("datatype");
    if (!k) {
      if (fallback == 0) warn(s.line, "[" + s.name + "] has no DataType");
      return fallback;
    }
    long v = 0;
    if (!small_number(k->value, 0xFFFF, &v)) {
      warn(k->line, "DataType '" + k->value + "' cannot be read");
      return 0;
    }
    if (type_size(static_cast<uint16_t>(v)) < 0 && !objects_.count(static_cast<unsigned>(v))) {
      warn(k->line, "DataType " + hex4(static_cast<unsigned>(v)) + " is neither a basic type nor defined in the file");
    }
    return static_cast<uint16_t>(v);
  }

  void setting(const Section& s, const char* key, Entry& e, Setting Entry::*field) {
    const Key* k = s.find(key);
    if (!k || k->value.empty()) return;
    Setting& st = e.*field;
    if (type_size(e.data_type) < 0) {  // kept as text for a type the reader does not know
      st.present = true;
      st.text = k->value;
      return;
    }
    std::string why;
    if (!read_setting(k->value, e.data_type, &st, &why)) {
      warn(k->line, k->name + ": " + why + ": ignored");
      st = Setting{};
      return;
    }
    Wide w = 0;
    if (integral(type_info(e.data_type).cls) && whole(st.value, &w) &&
        (w < type_min(e.data_type) || w > type_max(e.data_type))) {
      warn(k->line, k->name + " " + k->value + " is outside the range of " + type_name(e.data_type) + ": ignored");
      st = Setting{};
    }
  }

  // The limits' order and the start value within them (both at node id 0).
  void check_limits(Entry& e, const Section& s) {
    auto line = [&s](const char* key) { return s.find(key) ? s.find(key)->line : s.line; };
    const Setting& lo = e.low_limit;
    const Setting& hi = e.high_limit;
    if (lo.present && hi.present && !e.known_type()) {  // compared as plain numbers
      Setting l, h;
      std::string why;
      Wide a = 0, b = 0;
      const auto wide = static_cast<uint16_t>(DataType::Integer64);
      if (read_setting(lo.text, wide, &l, &why) && read_setting(hi.text, wide, &h, &why) && whole(l.value, &a) &&
          whole(h.value, &b) && l.node_ids == h.node_ids && a > b) {
        warn(line("lowlimit"), "LowLimit " + lo.text + " is above HighLimit " + hi.text + " in " + where(e));
      }
    }
    if (lo.present && hi.present && lo.value.is_number() && hi.value.is_number() && lo.node_ids == hi.node_ids) {
      Entry probe = e;
      probe.low_limit = Setting{};
      probe.high_limit = hi;
      if (fit(probe, lo.value, 0) == Fit::TooHigh) {
        warn(line("lowlimit"), "LowLimit " + lo.text + " is above HighLimit " + hi.text + " in " + where(e) + ": both ignored");
        e.low_limit = e.high_limit = Setting{};
        return;
      }
    }
    for (const Setting* v : {&e.default_value, &e.parameter_value}) {
      if (!v->present || v->value.empty() || v->node_ids != 0) continue;
      std::string why;
      if (fit(e, v->value, 0, &why) != Fit::Ok) {
        const bool is_default = v == &e.default_value;
        warn(line(is_default ? "defaultvalue" : "parametervalue"), (is_default ? "DefaultValue " : "ParameterValue ") + v->text + " of " + where(e) +
                       " is outside its " + why);
      }
    }
  }

  static std::string where(const Entry& e) {
    return hex4(e.index) + "sub" + std::to_string(e.subindex) + " '" + e.name + "'";
  }

  // The keys of a VAR or sub-object section into an entry.
  Entry entry_from(const Section& s, uint16_t index, uint8_t sub, const std::string& object_name, uint16_t type_fallback) {
    static const std::set<std::string> kKnown = {"parametername", "objecttype", "datatype", "accesstype",
                                                 "defaultvalue", "lowlimit", "highlimit", "pdomapping",
                                                 "parametervalue", "subnumber", "compactsubobj"};
    Entry e;
    e.index = index;
    e.subindex = sub;
    e.line = s.line;
    const Key* name = s.find("parametername");
    if (!name) warn(s.line, "[" + s.name + "] has no ParameterName");
    e.name = name ? name->value : "";
    e.object_name = object_name.empty() ? e.name : object_name;
    e.data_type = data_type(s, type_fallback);
    e.access = access_type(s);
    long pdo = 0;
    const Key* mapping = s.find("pdomapping");
    if (mapping && !(small_number(mapping->value, 1, &pdo))) warn(mapping->line, "PDOMapping '" + mapping->value + "' is neither 0 nor 1");
    e.pdo_mapping = pdo == 1;
    setting(s, "defaultvalue", e, &Entry::default_value);
    setting(s, "lowlimit", e, &Entry::low_limit);
    setting(s, "highlimit", e, &Entry::high_limit);
    setting(s, "parametervalue", e, &Entry::parameter_value);
    check_limits(e, s);
    for (const Key& k : s.keys) {
      if (!kKnown.count(lower(k.name))) e.other_keys.emplace_back(k.name, k.value);
    }
    return e;
  }

  void build_object(unsigned index, const Section& s) {
    Object o;
    o.index = static_cast<uint16_t>(index);
    o.line = s.line;
    o.type = object_type(s);
    const Key* name = s.find("parametername");
    o.name = name ? name->value : "";
    long v = 0;
    if (const Key* k = s.find("subnumber")) {
      if (small_number(k->value, 0xFF + 1, &v)) o.sub_number = static_cast<int>(v);
      else warn(k->line, "SubNumber '" + k->value + "' cannot be read");
    }
    if (const Key* k = s.find("compactsubobj")) {
      if (small_number(k->value, 0xFE, &v)) o.compact_sub_objects = static_cast<int>(v);
      else warn(k->line, "CompactSubObj '" + k->value + "' cannot be read");
    }
    const auto subs = subs_.find(index);
    const bool has_subs = subs != subs_.end() && !subs->second.empty();
    switch (o.type) {
      case ObjectType::Var:
      case ObjectType::Domain:
      case ObjectType::DefType: {
        const uint16_t fallback = o.type == ObjectType::Domain ? static_cast<uint16_t>(DataType::Domain) : 0;
        o.entries.push_back(entry_from(s, o.index, 0, "", fallback));
        o.data_type = o.entries[0].data_type;
        o.other_keys = o.entries[0].other_keys;
        if (has_subs) warn(subs->second.begin()->second->line, "sub-objects of " + hex4(index) + ", which is no ARRAY or RECORD: ignored");
        break;
      }
      case ObjectType::Null:
        break;
      default:  // ARRAY, RECORD, DEFSTRUCT
        if (o.compact_sub_objects > 0) {
          compact(o, s);
          if (has_subs) warn(subs->second.begin()->second->line, "sub-objects of " + hex4(index) + " beside CompactSubObj: ignored");
        } else if (has_subs) {
          if (s.find("datatype")) o.data_type = data_type(s, 0);
          for (const auto& [sub, sec] : subs->second) {
            if (o.sub_number >= 0 && static_cast<int>(sub) >= o.sub_number) {
              warn(sec->line, "sub-index " + std::to_string(sub) + " of " + hex4(index) + " is beyond SubNumber=" +
                                  std::to_string(o.sub_number));
            }
            o.entries.push_back(entry_from(*sec, o.index, static_cast<uint8_t>(sub), o.name, 0));
          }
        } else {
          if (s.find("datatype")) o.data_type = data_type(s, 0);
          warn(s.line, "[" + s.name + "] is an ARRAY or RECORD without sub-objects");
        }
        for (const Key& k : s.keys) {
          static const std::set<std::string> kObjectKeys = {"parametername", "objecttype", "subnumber", "compactsubobj"};
          if (!kObjectKeys.count(lower(k.name))) o.other_keys.emplace_back(k.name, k.value);
        }
        break;
    }
    subs_.erase(index);  // the rest are sub-objects without their object
    dict_->objects_.push_back(std::move(o));
  }

  // CompactSubObj=N: subindex 0 holds N, subindexes 1..N take the object's
  // type, access, default and PDO mapping; names from [xxxxName], values
  // (a DCF's) from [xxxxValue].
  void compact(Object& o, const Section& s) {
    Entry count;
    count.index = o.index;
    count.name = "Number of entries";
    count.object_name = o.name;
    count.data_type = static_cast<uint16_t>(DataType::Unsigned8);
    count.access = Access::ReadOnly;
    count.line = s.line;
    std::string why;
    read_setting(std::to_string(o.compact_sub_objects), count.data_type, &count.default_value, &why);
    o.entries.push_back(count);
    Entry model = entry_from(s, o.index, 1, o.name, 0);
    o.data_type = model.data_type;
    model.other_keys.clear();
    const auto names = compact_names_.find(o.index);
    const auto values = compact_values_.find(o.index);
    for (int i = 1; i <= o.compact_sub_objects; ++i) {
      Entry e = model;
      e.subindex = static_cast<uint8_t>(i);
      e.name = o.name + " " + std::to_string(i);
      e.line = 0;
      const std::string key = std::to_string(i);
      if (names != compact_names_.end()) {
        if (const Key* k = names->second->find(key.c_str())) e.name = k->value;
      }
      if (values != compact_values_.end()) {
        if (const Key* k = values->second->find(key.c_str())) {
          Section one{values->second->name, k->line, {Key{"ParameterValue", k->value, k->line}}};
          setting(one, "parametervalue", e, &Entry::parameter_value);
        }
      }
      o.entries.push_back(std::move(e));
    }
  }

  // What only the whole file shows: sub-objects left without their object,
  // [MandatoryObjects], [OptionalObjects] and [ManufacturerObjects] against
  // the objects the file defines, and the entries without a value.
  void check_lists() {
    for (const auto& [index, subs] : subs_) {
      warn(subs.begin()->second->line, "sub-objects of " + hex4(index) + " without an object section: ignored");
    }
    std::set<unsigned> listed;
    for (const char* list : {"mandatoryobjects", "optionalobjects", "manufacturerobjects"}) {
      const Section* s = nullptr;
      for (const Section& sec : sections_) {
        if (lower(sec.name) == list) s = &sec;
      }
      if (!s) continue;
      long announced = -1, count = 0;
      for (const Key& k : s->keys) {
        long n = 0, index = 0;
        if (lower(k.name) == "supportedobjects") {
          if (!small_number(k.value, 0xFFFF, &announced)) warn(k.line, "SupportedObjects '" + k.value + "' cannot be read");
        } else if (small_number(k.name, 0xFFFF, &n) && small_number(k.value, 0xFFFF, &index)) {
          ++count;
          listed.insert(static_cast<unsigned>(index));
          if (!objects_.count(static_cast<unsigned>(index))) {
            warn(k.line, "object " + hex4(static_cast<unsigned>(index)) + " is listed but has no section");
          }
        } else {
          warn(k.line, "'" + k.name + "=" + k.value + "' in [" + s->name + "] is no object of the list");
        }
      }
      if (announced >= 0 && announced != count) {
        warn(s->line, "[" + s->name + "] announces " + std::to_string(announced) + " objects and lists " +
                          std::to_string(count));
      }
    }
    std::string missing;
    int without = 0;
    for (const Object& o : dict_->objects_) {
      for (const Entry& e : o.entries) {
        if (e.start_value().present || e.access == Access::WriteOnly) continue;
        if (without++ < 8) missing += (missing.empty() ? "" : ", ") + hex4(e.index) + "sub" + std::to_string(e.subindex);
      }
    }
    if (without > 0) {
      warn(0, std::to_string(without) + " entr" + (without == 1 ? "y has" : "ies have") + " no DefaultValue (" + missing +
                  (without > 8 ? ", ..." : "") + ")");
    }
    std::string unlisted;
    int n = 0;
    for (const auto& [index, s] : objects_) {
      if (listed.count(index)) continue;
      if (n++ < 8) unlisted += (unlisted.empty() ? "" : ", ") + hex4(index);
    }
    if (n > 0) {
      warn(0, std::to_string(n) + " object(s) not in any object list (" + unlisted + (n > 8 ? ", ..." : "") + ")");
    }
  }

  std::string file_;
  LoadResult* result_;
  std::shared_ptr<Dictionary> dict_;
  std::vector<Section> sections_;  // complete before pointers into it are kept
  std::map<std::string, int> names_;
  std::map<unsigned, const Section*> objects_;
  std::map<unsigned, std::map<unsigned, const Section*>> subs_;
  std::map<unsigned, const Section*> compact_names_, compact_values_;
};

LoadResult parse(const std::string& text, const std::string& file) {
  LoadResult result;
  Reader(file, &result).run(text);
  return result;
}

LoadResult load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    LoadResult result;
    result.errors.push_back({path, 0, "cannot be read"});
    return result;
  }
  return parse(text.str(), path);
}

// ---------------------------------------------------------------------------
// Lookups

std::string Diagnostic::to_string() const {
  return line > 0 ? file + ":" + std::to_string(line) + ": " + text : file + ": " + text;
}

const Entry* Object::entry(uint8_t subindex) const {
  for (const Entry& e : entries) {
    if (e.subindex == subindex) return &e;
  }
  return nullptr;
}

const Object* Dictionary::object(uint16_t index) const {
  const auto it = std::lower_bound(objects_.begin(), objects_.end(), index,
                                   [](const Object& o, uint16_t i) { return o.index < i; });
  return it != objects_.end() && it->index == index ? &*it : nullptr;
}

const Entry* Dictionary::entry(uint16_t index, uint8_t subindex) const {
  const Object* o = object(index);
  return o ? o->entry(subindex) : nullptr;
}

const Entry* Dictionary::entry(const std::string& name, std::string* why) const {
  const std::string want = lower(trim(name));
  std::vector<const Entry*> found;
  for (const Object& o : objects_) {
    for (const Entry& e : o.entries) {
      const bool var = o.type == ObjectType::Var || o.type == ObjectType::Domain || o.type == ObjectType::DefType;
      if (var ? lower(e.name) == want
              : want.size() > o.name.size() + 1 && want[o.name.size()] == '.' &&
                    want.compare(0, o.name.size(), lower(o.name)) == 0 &&
                    want.compare(o.name.size() + 1, std::string::npos, lower(e.name)) == 0) {
        found.push_back(&e);
      }
    }
  }
  if (found.size() == 1) return found[0];
  if (why) {
    if (found.empty()) {
      *why = "no entry is named '" + name + "'";
    } else {
      *why = "'" + name + "' names " + std::to_string(found.size()) + " entries (" + hex4(found[0]->index) + ", " +
             hex4(found[1]->index) + (found.size() > 2 ? ", ..." : "") + ")";
    }
  }
  return nullptr;
}

std::size_t Dictionary::entry_count() const {
  std::size_t n = 0;
  for (const Object& o : objects_) n += o.entries.size();
  return n;
}

std::string Dictionary::info(const std::string& section, const std::string& key) const {
  for (const auto& [name, keys] : sections_) {
    if (lower(name) != lower(section)) continue;
    for (const auto& [k, v] : keys) {
      if (lower(k) == lower(key)) return v;
    }
  }
  return "";
}

}  // namespace od
}  // namespace vorbel
