#include "boxsim/box_file.h"

#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "boxsim/box_keys.h"
#include "boxsim/box_values.h"

using namespace boxfile;

bool set_fault(Faults* f, const std::string& key, const std::string& value, bool* known,
               std::string* error) {
  const BoxKey* k = find_key(key);
  *known = k && k->place == KeyPlace::kFault;
  if (!*known) {
    *error = "unknown key '" + key + "'";
    return false;
  }
  KeyTarget target;
  target.faults = f;
  return k->set(target, key, value, error);
}

bool parse_box(const std::string& text, const std::string& name, Box* box, std::string* error) {
  *box = Box();
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;

  // The section being read: -1 for the box, else port * 2 + slot.
  int section = -1;
  int section_line = 0;
  std::set<std::string> seen;
  std::set<int> sections_seen;
  PendingSensor pending;
  bool has_sensor_keys = false;

  auto fail = [&](int at, const std::string& message) {
    *error = name + ":" + std::to_string(at) + ": " + message;
    return false;
  };
  auto close_section = [&]() {
    if (section < 0 || !has_sensor_keys) return true;
    Slot& slot = box->slots[section];
    std::string message;
    if (!finish_sensor(&slot.sensor, pending, &message)) return fail(section_line, message);
    return true;
  };

  while (std::getline(in, raw)) {
    ++line_no;
    const std::string line = trim(strip_comment(raw));
    if (line.empty()) continue;

    if (line[0] == '[') {
      if (line.back() != ']') return fail(line_no, "section header without closing ']'");
      if (!close_section()) return false;
      const std::vector<std::string> w = words(line.substr(1, line.size() - 2));
      seen.clear();
      pending = PendingSensor();
      has_sensor_keys = false;
      section_line = line_no;
      if (w.size() == 1 && w[0] == "box") {
        section = -1;
        continue;
      }
      long long port, slot;
      if (w.size() != 4 || w[0] != "port" || w[2] != "slot" || !parse_number(w[1], &port) ||
          !parse_number(w[3], &slot) || port < 1 || port > kBoxPorts || slot < 1 ||
          slot > kBoxSlots)
        return fail(line_no, "expected [box] or [port P slot S] with P 1-8 and S 1-2");
      section = static_cast<int>((port - 1) * kBoxSlots + (slot - 1));
      if (!sections_seen.insert(section).second)
        return fail(line_no, "port " + std::to_string(port) + " slot " + std::to_string(slot) +
                                 " is described twice");
      continue;
    }

    const size_t split = line.find_first_of(" \t");
    const std::string key = line.substr(0, split);
    const std::string value = split == std::string::npos ? "" : trim(line.substr(split));
    const BoxKey* k = find_key(key);
    if (!(k && k->repeatable) && !seen.insert(key).second)
      return fail(line_no, "'" + key + "' given twice in this section");
    if (!k) return fail(line_no, "unknown key '" + key + "'");

    std::string message;
    KeyTarget target;
    if (k->place == KeyPlace::kFault) {
      target.faults = section < 0 ? &box->faults : &box->slots[section].faults;
    } else if (section < 0) {
      if (k->place != KeyPlace::kBox)
        return fail(line_no, "'" + key + "' belongs in a [port P slot S] section");
      target.box = box;
    } else {
      Slot& slot = box->slots[section];
      if (k->place == KeyPlace::kBox)
        return fail(line_no, "'" + key + "' belongs before the first section");
      if (k->place == KeyPlace::kError ? has_sensor_keys : slot.kind == Slot::kError)
        return fail(line_no, "'error' and sensor keys cannot share a slot");
      if (k->place == KeyPlace::kSensor) {
        has_sensor_keys = true;
        slot.kind = Slot::kSensor;
      }
      target.slot = &slot;
      target.pending = &pending;
    }
    if (!k->set(target, key, value, &message)) return fail(line_no, message);
  }
  return close_section();
}

bool load_box(const std::string& path, Box* box, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *error = path + ": cannot open";
    return false;
  }
  std::ostringstream text;
  text << f.rdbuf();
  return parse_box(text.str(), path, box, error);
}
