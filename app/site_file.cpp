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

#include "app/record_format.h"
#include "device/messages.h"
#include "platform/access.h"
#include "platform/files.h"
#include "platform/http.h"
#include "report/store_batches.h"

bool read_secret(const std::string& path, std::string* text, std::string* error);

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

std::string base64(const std::string& in) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

// The first line of a secret file beside the site file, or a message.
bool secret_line(checker& check, const toml::table& t, const char* key, const std::string& in,
                 const std::string& site_folder, std::string* out) {
  std::string name, why, text;
  bool present = false;
  if (!check.text(t, key, in, &name, &present) || !present) return false;
  if (!read_secret(in_folder(site_folder, name), &text, &why))
    return check.fail(t.get(key)->source(), why);
  *out = first_line(text);
  if (out->empty()) return check.fail(t.get(key)->source(), "'" + std::string(key) + "'" + in + ": the file's first line is empty");
  return true;
}

// The [[store]] tables: each store checked whole before anything is sent.
void store_tables(checker& check, const toml::table& top, const std::string& site_folder,
                  std::vector<site_store>* out) {
  const toml::node* list = top.get("store");
  if (list == nullptr) return;
  const std::string in = " in [[store]]";
  if (list->as_array() == nullptr) {
    check.fail(list->source(), "'store' must be a list of [[store]] tables");
    return;
  }
  std::set<std::string> names;
  for (const toml::node& node : *list->as_array()) {
    const toml::table* t = node.as_table();
    if (t == nullptr) {
      check.fail(node.source(), "'store' must be a list of [[store]] tables");
      continue;
    }
    check.known_keys(*t,
                     {"name", "kind", "url", "token_file", "username", "password_file", "ca_file",
                      "timeout", "window"},
                     in);
    site_store st;
    st.line = static_cast<int>(node.source().begin.line);
    std::string kind, url_text, username, ca, window;
    bool has_name, has_kind, has_url, has_user, has_ca, has_window;
    const bool name_ok = check.text(*t, "name", in, &st.name, &has_name);
    check.text(*t, "kind", in, &kind, &has_kind);
    check.text(*t, "url", in, &url_text, &has_url);
    check.text(*t, "username", in, &username, &has_user);
    check.text(*t, "ca_file", in, &ca, &has_ca);
    check.text(*t, "window", in, &window, &has_window);
    check.integer(*t, "timeout", in, 1, 3600, &st.timeout_seconds);
    if (!has_kind) {
      check.fail(node.source(), "'kind' is missing" + in);
    } else if (kind == "influx" || kind == "remote_write") {
      st.kind = kind == "influx" ? store_kind::influx : store_kind::remote_write;
    } else {
      check.fail(t->get("kind")->source(),
                 "'kind'" + in + " must be \"influx\" or \"remote_write\", not '" + kind + "'");
      has_kind = false;
    }
    HttpUrl url;
    std::string why;
    if (!has_url) {
      check.fail(node.source(), "'url' is missing" + in);
    } else if (t->get("url")->is_string()) {
      std::string unused;
      lp_precision precision;
      if (!parse_http_url(url_text, &url, &why))
        check.fail(t->get("url")->source(), "'url'" + in + " cannot be used: " + why);
      else if (http_query_value(url.query, "u", &unused) || http_query_value(url.query, "p", &unused))
        check.fail(t->get("url")->source(), "'url'" + in +
                                                " holds credentials (u=, p=): give 'username' and "
                                                "'password_file' instead");
      else if (has_kind && st.kind == store_kind::influx && !lp_precision_of(url.query, &precision, &why))
        check.fail(t->get("url")->source(), "'url'" + in + ": " + why);
      else
        st.url = url_text;
    }
    std::string token, password;
    const bool has_token = t->get("token_file") != nullptr;
    const bool has_password = t->get("password_file") != nullptr;
    if (has_token && (has_user || has_password))
      check.fail(node.source(), "give 'token_file' or 'username' and 'password_file'" + in + ", not both");
    else if (has_user != has_password)
      check.fail(node.source(), "'username' and 'password_file' go together" + in);
    if (secret_line(check, *t, "token_file", in, site_folder, &token))
      st.authorization = (has_kind && st.kind == store_kind::remote_write ? "Bearer " : "Token ") + token;
    if (secret_line(check, *t, "password_file", in, site_folder, &password) && has_user)
      st.authorization = "Basic " + base64(username + ":" + password);
    if (!st.authorization.empty() && !http_header_ok({"Authorization", st.authorization}))
      check.fail(node.source(), "the token, user name or password" + in +
                                    " holds a character a request cannot carry");
    if (has_ca) {
      st.ca_file = in_folder(site_folder, ca);
      if (!kHttpCaFileSupported)
        check.fail(t->get("ca_file")->source(),
                   "'ca_file'" + in + " cannot be used here: put the CA into the system's certificate store");
      else if (file_size(st.ca_file.c_str()) < 0)
        check.fail(t->get("ca_file")->source(), "'ca_file'" + in + ": can't read " + st.ca_file);
    }
    if (has_window) {
      if (has_kind && st.kind != store_kind::remote_write)
        check.fail(t->get("window")->source(), "'window'" + in + " is for kind \"remote_write\"");
      else if (!parse_window(window, &st.window_seconds))
        check.fail(t->get("window")->source(),
                   "'window'" + in + " is not a length of time: '" + window + "' (30d, 12h, 90m, 3600s)");
    }
    if (!name_ok || (!has_name && !has_kind)) continue;  // said above
    if (!has_name) st.name = kind;
    if (!store_name_ok(st.name)) {
      check.fail(t->get("name")->source(),
                 "'name'" + in + " must be a lowercase letter, then lowercase letters, digits, '_' "
                 "or '-', " + std::to_string(kMaxStoreName) + " at most: '" + st.name + "'");
      continue;
    }
    if (!names.insert(st.name).second)
      check.fail(has_name ? t->get("name")->source() : node.source(),
                 "a second store named '" + st.name + "'" + in);
    out->push_back(st);
  }
}

// The 'stores' of a box: names of [[store]] tables, each once; every store
// when the key is not there.
void box_stores(checker& check, const toml::table& box, const std::vector<site_store>& stores,
                std::vector<std::string>* out) {
  const toml::node* list = box.get("stores");
  if (list == nullptr) {
    for (const site_store& s : stores) out->push_back(s.name);
    return;
  }
  const std::string in = " in [[box]]";
  if (list->as_array() == nullptr) {
    check.fail(list->source(), "'stores'" + in + " must be a list of store names");
    return;
  }
  for (const toml::node& node : *list->as_array()) {
    const auto* name = node.as_string();
    if (name == nullptr) {
      check.fail(node.source(), "'stores'" + in + " must be a list of store names");
      continue;
    }
    const std::string n = name->get();
    const bool known = std::any_of(stores.begin(), stores.end(),
                                   [&](const site_store& s) { return s.name == n; });
    if (!known)
      check.fail(node.source(), "'stores'" + in + " names no [[store]]: '" + n + "'");
    else if (std::find(out->begin(), out->end(), n) != out->end())
      check.fail(node.source(), "'stores'" + in + " names '" + n + "' twice");
    else
      out->push_back(n);
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
  check.known_keys(top, {"concurrency", "deadline", "folder", "box", "store"}, "");
  store_tables(check, top, site_folder, &plan->stores);
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
         "sensor", "stores"},
        in);
    sensor_tables(check, *t, &box.ranges);
    box_stores(check, *t, plan->stores, &box.stores);
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
  plan->stores.clear();
  return false;
}

bool parse_window(const std::string& text, int64_t* seconds) {
  if (text.size() < 2 || text.size() > 12) return false;
  int64_t n = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  static const struct {
    char unit;
    int64_t seconds;
  } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}};
  for (const auto& u : kUnits) {
    if (text.back() != u.unit) continue;
    // Beyond the box's 32-bit clock a window says nothing.
    if (n == 0 || n > (int64_t{1} << 32) / u.seconds) return false;
    *seconds = n * u.seconds;
    return true;
  }
  return false;
}
