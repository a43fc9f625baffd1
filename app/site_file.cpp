#include "app/site_file.h"

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <vector>

#include "device/messages.h"
#include "platform/access.h"

namespace {

constexpr int kMaxDeadline = 7 * 24 * 3600;

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool is_absolute(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() > 1 && path[1] == ':';  // a Windows drive
}

std::string in_folder(const std::string& base, const std::string& path) {
  return is_absolute(path) ? path : base + path;
}

std::string as_folder(std::string f) {
  if (!f.empty() && f.back() != '/' && f.back() != '\\') f += '/';
  return f;
}

constexpr size_t kMostMistakes = 10;

// Gathers every mistake of the file, so that one run names them all rather
// than one per attempt.
class checker {
 public:
  explicit checker(const std::string& path) : path_(path) {}

  bool fail(const toml::source_region& where, const std::string& what) {
    return fail(static_cast<int>(where.begin.line), what);
  }
  bool fail(int line, const std::string& what) {
    mistakes_.push_back({line, path_ + ":" + std::to_string(line) + ": " + what});
    return false;
  }
  bool clean() const { return mistakes_.empty(); }

  // The first ten mistakes in file order, one line each. Tables hold their
  // keys sorted by name, so the order found is not the file's.
  std::string lines() const {
    std::vector<mistake> sorted = mistakes_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const mistake& a, const mistake& b) { return a.line < b.line; });
    std::string out;
    for (size_t i = 0; i < sorted.size() && i < kMostMistakes; ++i)
      out += (i == 0 ? "" : "\n") + sorted[i].text;
    return out;
  }

  // A string key, if present; false after a message when it is not a string.
  bool text(const toml::table& t, const char* key, const std::string& in, std::string* out,
            bool* present) {
    const toml::node* n = t.get(key);
    *present = n != nullptr;
    if (n == nullptr) return true;
    const auto* s = n->as_string();
    if (s == nullptr)
      return fail(n->source(), "'" + std::string(key) + "'" + in + " must be a string");
    *out = s->get();
    return true;
  }

  bool integer(const toml::table& t, const char* key, const std::string& in, long long lo,
               long long hi, int* out) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return true;
    const auto* v = n->as_integer();
    if (v == nullptr || v->get() < lo || v->get() > hi)
      return fail(n->source(), "'" + std::string(key) + "'" + in + " must be a whole number from " +
                                   std::to_string(lo) + " to " + std::to_string(hi));
    *out = static_cast<int>(v->get());
    return true;
  }

  bool boolean(const toml::table& t, const char* key, const std::string& in, bool* out) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return true;
    const auto* v = n->as_boolean();
    if (v == nullptr)
      return fail(n->source(), "'" + std::string(key) + "'" + in + " must be true or false");
    *out = v->get();
    return true;
  }

  // A threshold range, if present; false after a message when it is none.
  bool range(const toml::table& t, const char* key, const std::string& in, plugin_range* out,
             bool* present) {
    std::string text;
    if (!this->text(t, key, in, &text, present)) return false;
    if (!*present) return true;
    if (parse_plugin_range(text, out)) return true;
    *present = false;
    return fail(t.get(key)->source(), "'" + std::string(key) + "'" + in + " is not a range: '" +
                                          text + "' (10, 10:, ~:10, 10:20 or @10:20)");
  }

  bool known_keys(const toml::table& t, const std::set<std::string>& known, const std::string& in) {
    bool ok = true;
    for (const auto& [key, node] : t) {
      if (known.count(std::string(key.str())) == 0)
        ok = fail(key.source().begin.line != 0 ? key.source() : node.source(),
                  "unknown key '" + std::string(key.str()) + "'" + in);
    }
    return ok;
  }

 private:
  struct mistake {
    int line;
    std::string text;
  };
  const std::string& path_;
  std::vector<mistake> mistakes_;
};

// The first line of a password file, without its line end.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The [[box.sensor]] tables of one box: a port and slot each, once, with
// their --check thresholds.
void sensor_tables(checker& check, const toml::table& box, std::vector<sensor_ranges>* out) {
  const toml::node* list = box.get("sensor");
  if (list == nullptr) return;
  const std::string in = " in [[box.sensor]]";
  if (list->as_array() == nullptr) {
    check.fail(list->source(), "'sensor' in [[box]] must be a list of [[box.sensor]] tables");
    return;
  }
  std::set<std::pair<int, int>> places;
  for (const toml::node& node : *list->as_array()) {
    const toml::table* t = node.as_table();
    if (t == nullptr) {
      check.fail(node.source(), "'sensor' in [[box]] must be a list of [[box.sensor]] tables");
      continue;
    }
    check.known_keys(*t, {"port", "slot", "warn", "crit"}, in);
    sensor_ranges r;
    const bool has_port = t->get("port") != nullptr, has_slot = t->get("slot") != nullptr;
    const bool port_ok = check.integer(*t, "port", in, 1, 8, &r.port);
    const bool slot_ok = check.integer(*t, "slot", in, 1, 2, &r.slot);
    check.range(*t, "warn", in, &r.warn, &r.has_warn);
    check.range(*t, "crit", in, &r.crit, &r.has_crit);
    if (!has_port) check.fail(node.source(), "'port' is missing" + in);
    if (!has_slot) check.fail(node.source(), "'slot' is missing" + in);
    if (!has_port || !has_slot || !port_ok || !slot_ok) continue;
    if (!places.insert({r.port, r.slot}).second)
      check.fail(node.source(), "port " + std::to_string(r.port) + " slot " +
                                    std::to_string(r.slot) + " a second time" + in);
    out->push_back(r);
  }
}

}  // namespace

// The file's text, read only when it is the owner's alone. False with the
// message for the user in *error.
bool read_secret(const std::string& path, std::string* text, std::string* error) {
  constexpr size_t kMost = 1 << 20;  // far more than any site file
  bool open_to_others = false;
  if (read_private(path.c_str(), kMost, text, &open_to_others) != 0) {
    *error = "Can't read " + path + " !";
    return false;
  }
  if (!open_to_others) return true;
  *error = path + " may be read by others: it holds passwords, so give it mode 600 (chmod 600 " +
           path + ") !";
  return false;
}

bool load_site(const std::string& path, site_plan* plan, std::string* error) {
  *plan = site_plan{};
  plan->path = path;
  // Password files are found beside the site file, wherever the outputs go.
  const std::string site_folder = folder_of(path);
  plan->folder = site_folder;
  std::string text;
  if (!read_secret(path, &text, error)) return false;

  const toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    *error = path + ":" + std::to_string(e.source().begin.line) + ":" +
             std::to_string(e.source().begin.column) + ": " + std::string(e.description());
    return false;
  }
  const toml::table& top = parsed.table();
  checker check(path);
  check.known_keys(top, {"concurrency", "deadline", "folder", "box"}, "");
  check.integer(top, "concurrency", "", 1, kMaxConcurrency, &plan->concurrency);
  check.integer(top, "deadline", "", 1, kMaxDeadline, &plan->deadline_seconds);
  std::string outputs;
  bool has_outputs = false;
  if (check.text(top, "folder", "", &outputs, &has_outputs) && has_outputs)
    plan->folder = as_folder(in_folder(site_folder, outputs));

  const toml::node* boxes = top.get("box");
  if (boxes == nullptr)
    check.fail(1, "no [[box]] to collect");
  else if (boxes->as_array() == nullptr || boxes->as_array()->empty())
    check.fail(boxes->source(), "'box' must be a list of [[box]] tables");
  const toml::array none;
  const toml::array& listed =
      boxes != nullptr && boxes->as_array() != nullptr ? *boxes->as_array() : none;
  std::set<std::string> names;
  for (const toml::node& node : listed) {
    const toml::table* t = node.as_table();
    if (t == nullptr) {
      check.fail(node.source(), "'box' must be a list of [[box]] tables");
      continue;
    }
    const std::string in = " in [[box]]";
    site_box box;
    box.line = static_cast<int>(node.source().begin.line);
    box.deadline_seconds = plan->deadline_seconds;
    check.known_keys(
        *t,
        {"name", "address", "password", "password_file", "folder", "local_time", "deadline",
         "sensor"},
        in);
    sensor_tables(check, *t, &box.ranges);
    // Each key is checked on its own; a key of the wrong type counts as
    // given, so that it is not also called missing.
    bool has_name, has_address, has_password, has_password_file, has_folder;
    std::string password_file;
    const bool name_ok = check.text(*t, "name", in, &box.name, &has_name);
    const bool address_ok = check.text(*t, "address", in, &box.address, &has_address);
    check.text(*t, "password", in, &box.password, &has_password);
    const bool file_ok = check.text(*t, "password_file", in, &password_file, &has_password_file);
    check.text(*t, "folder", in, &box.folder, &has_folder);
    check.boolean(*t, "local_time", in, &box.local_time);
    check.integer(*t, "deadline", in, 1, kMaxDeadline, &box.deadline_seconds);
    uint32_t ip = 0;
    if (!has_address)
      check.fail(node.source(), "'address' is missing" + in);
    else if (address_ok && !parse_ipv4(box.address.c_str(), &ip))
      check.fail(t->get("address")->source(),
                 "'address'" + in + " is not an IPv4 address: '" + box.address + "'");
    if (has_password == has_password_file)
      check.fail(node.source(), has_password
                                    ? "give 'password' or 'password_file'" + in + ", not both"
                                    : "'password' or 'password_file' is missing" + in);
    else if (has_password_file && file_ok) {
      const std::string pw_path = in_folder(site_folder, password_file);
      std::string why, secret;
      if (!read_secret(pw_path, &secret, &why))
        check.fail(t->get("password_file")->source(), why);
      else
        box.password = first_line(secret);
    }
    if (!name_ok || !address_ok || !has_address) continue;  // said above; no name to compare
    if (!has_name) box.name = box.address;
    if (box.name.empty()) {
      check.fail(node.source(), "'name'" + in + " is empty");
      continue;
    }
    if (!names.insert(box.name).second)
      check.fail(has_name ? t->get("name")->source() : t->get("address")->source(),
                 "'name'" + in + ": a second box named '" + box.name + "'");
    box.folder = as_folder(has_folder ? in_folder(plan->folder, box.folder) : plan->folder);
    plan->boxes.push_back(box);
  }
  if (check.clean()) return true;
  *error = check.lines();
  plan->boxes.clear();  // nothing of a refused file is acted on
  return false;
}
