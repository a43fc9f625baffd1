#include "app/task_xml.h"

#include "device/messages.h"

namespace {

// Control characters (tab and line ends included: no path holds them) and
// malformed UTF-8 have no place in the document.
bool xml_can_carry(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
    int more = 0;
    unsigned min = 0;
    unsigned code = c;
    if (c < 0x80) {
      more = 0;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, code = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, code = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, code = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i - 1 < static_cast<size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      code = (code << 6) | (t & 0x3F);
    }
    // Overlong forms, UTF-16 halves and values past Unicode are not UTF-8.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    i += static_cast<size_t>(more) + 1;
  }
  return true;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string folder_of_file(const std::string& path) {
  size_t end = path.find_last_of("\\/");
  if (end == std::string::npos) return "";
  // The separator stays where it is all the folder has: "C:\", "/", "\\".
  size_t keep = end;
  while (keep > 0 && is_separator(path[keep - 1])) --keep;
  if (keep == 0 || (keep == 2 && path[1] == ':')) return path.substr(0, end + 1);
  return path.substr(0, keep);
}

// Backslashes are plain except before a quote: those are doubled, and so are
// the ones before the closing quote.
std::string windows_command_line(const std::string* words, int count) {
  std::string line;
  for (int w = 0; w < count; ++w) {
    if (w > 0) line += ' ';
    const std::string& word = words[w];
    const bool plain = !word.empty() && word.find_first_of(" \t\"") == std::string::npos;
    if (plain) {
      line += word;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : word) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
  }
  return line;
}

bool task_xml(const task_paths& paths, std::string* xml, std::string* error) {
  for (const std::string* path : {&paths.program, &paths.site}) {
    if (!xml_can_carry(*path)) {
      *error = "Can't put " + *path +
               " into a task definition: it holds a control character or is not UTF-8 !";
      return false;
    }
  }
  const std::string words[] = {"-f", paths.site, "-n", "-c", "-w"};
  const std::string arguments = windows_command_line(words, 5);
  std::string& x = *xml;
  x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n";
  x += "  <RegistrationInfo>\n";
  x += "    <Description>Collects the " + std::string(kProductName) + " boxes of " +
       escaped(paths.site) + " every 15 minutes.</Description>\n";
  x += "  </RegistrationInfo>\n";
  // From a quarter hour long past, so runs fall on the quarter hours.
  x += "  <Triggers>\n";
  x += "    <TimeTrigger>\n";
  x += "      <Enabled>true</Enabled>\n";
  x += "      <StartBoundary>2000-01-01T00:00:00</StartBoundary>\n";
  x += "      <Repetition>\n";
  x += "        <Interval>PT15M</Interval>\n";
  x += "        <StopAtDurationEnd>false</StopAtDurationEnd>\n";
  x += "      </Repetition>\n";
  x += "    </TimeTrigger>\n";
  x += "  </Triggers>\n";
  x += "  <Principals>\n";
  x += "    <Principal id=\"Author\">\n";
  x += "      <LogonType>S4U</LogonType>\n";
  x += "      <RunLevel>LeastPrivilege</RunLevel>\n";
  x += "    </Principal>\n";
  x += "  </Principals>\n";
  // A run still going when the next is due lets that one pass.
  x += "  <Settings>\n";
  x += "    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n";
  x += "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n";
  x += "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n";
  x += "    <StartWhenAvailable>true</StartWhenAvailable>\n";
  x += "    <Enabled>true</Enabled>\n";
  x += "  </Settings>\n";
  x += "  <Actions Context=\"Author\">\n";
  x += "    <Exec>\n";
  x += "      <Command>" + escaped(paths.program) + "</Command>\n";
  x += "      <Arguments>" + escaped(arguments) + "</Arguments>\n";
  x += "      <WorkingDirectory>" + escaped(folder_of_file(paths.site)) + "</WorkingDirectory>\n";
  x += "    </Exec>\n";
  x += "  </Actions>\n";
  x += "</Task>\n";
  return true;
}
