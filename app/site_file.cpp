#include "app/site_file.h"

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

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

class checker {
 public:
  checker(const std::string& path, std::string* error) : path_(path), error_(error) {}

  bool fail(const toml::source_region& where, const std::string& what) {
    *error_ = path_ + ":" + std::to_string(where.begin.line) + ": " + what;
    return false;
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

  bool known_keys(const toml::table& t, const std::set<std::string>& known, const std::string& in) {
    for (const auto& [key, node] : t) {
      if (known.count(std::string(key.str())) == 0)
        return fail(key.source().begin.line != 0 ? key.source() : node.source(),
                    "unknown key '" + std::string(key.str()) + "'" + in);
    }
    return true;
  }

 private:
  const std::string& path_;
  std::string* error_;
};

// The first line of a password file, without its line end.
bool first_line(const std::string& path, std::string* line) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, *line);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return !in.bad();
}

}  // namespace

bool private_to_owner(const std::string& path, std::string* error) {
  bool open_to_others = false;
  if (!file_private(path.c_str(), &open_to_others)) {
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
  if (!private_to_owner(path, error)) return false;

  const toml::parse_result parsed = toml::parse_file(path);
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    *error = path + ":" + std::to_string(e.source().begin.line) + ":" +
             std::to_string(e.source().begin.column) + ": " + std::string(e.description());
    return false;
  }
  const toml::table& top = parsed.table();
  checker check(path, error);
  if (!check.known_keys(top, {"concurrency", "deadline", "folder", "box"}, "")) return false;
  if (!check.integer(top, "concurrency", "", 1, kMaxConcurrency, &plan->concurrency)) return false;
  if (!check.integer(top, "deadline", "", 1, kMaxDeadline, &plan->deadline_seconds)) return false;
  std::string outputs;
  bool has_outputs = false;
  if (!check.text(top, "folder", "", &outputs, &has_outputs)) return false;
  if (has_outputs) plan->folder = as_folder(in_folder(site_folder, outputs));

  const toml::node* boxes = top.get("box");
  if (boxes == nullptr || boxes->as_array() == nullptr || boxes->as_array()->empty()) {
    *error = path + ":1: no [[box]] to collect";
    if (boxes != nullptr)
      return check.fail(boxes->source(), "'box' must be a list of [[box]] tables");
    return false;
  }
  std::set<std::string> names;
  for (const toml::node& node : *boxes->as_array()) {
    const toml::table* t = node.as_table();
    if (t == nullptr) return check.fail(node.source(), "'box' must be a list of [[box]] tables");
    const std::string in = " in [[box]]";
    site_box box;
    box.line = static_cast<int>(node.source().begin.line);
    box.deadline_seconds = plan->deadline_seconds;
    if (!check.known_keys(
            *t,
            {"name", "address", "password", "password_file", "folder", "local_time", "deadline"},
            in))
      return false;
    bool has_name, has_address, has_password, has_password_file, has_folder;
    std::string password_file;
    if (!check.text(*t, "name", in, &box.name, &has_name) ||
        !check.text(*t, "address", in, &box.address, &has_address) ||
        !check.text(*t, "password", in, &box.password, &has_password) ||
        !check.text(*t, "password_file", in, &password_file, &has_password_file) ||
        !check.text(*t, "folder", in, &box.folder, &has_folder) ||
        !check.boolean(*t, "local_time", in, &box.local_time) ||
        !check.integer(*t, "deadline", in, 1, kMaxDeadline, &box.deadline_seconds))
      return false;
    if (!has_address) return check.fail(node.source(), "'address' is missing" + in);
    uint32_t ip = 0;
    if (!parse_ipv4(box.address.c_str(), &ip))
      return check.fail(t->get("address")->source(),
                        "'address'" + in + " is not an IPv4 address: '" + box.address + "'");
    if (has_password == has_password_file)
      return check.fail(node.source(),
                        has_password ? "give 'password' or 'password_file'" + in + ", not both"
                                     : "'password' or 'password_file' is missing" + in);
    if (has_password_file) {
      const std::string pw_path = in_folder(site_folder, password_file);
      std::string why;
      if (!private_to_owner(pw_path, &why))
        return check.fail(t->get("password_file")->source(), why);
      if (!first_line(pw_path, &box.password))
        return check.fail(t->get("password_file")->source(), "Can't read " + pw_path + " !");
    }
    if (!has_name) box.name = box.address;
    if (box.name.empty()) return check.fail(node.source(), "'name'" + in + " is empty");
    if (!names.insert(box.name).second)
      return check.fail(has_name ? t->get("name")->source() : t->get("address")->source(),
                        "'name'" + in + ": a second box named '" + box.name + "'");
    box.folder = as_folder(has_folder ? in_folder(plan->folder, box.folder) : plan->folder);
    plan->boxes.push_back(box);
  }
  return true;
}
