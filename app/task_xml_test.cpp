#include "app/task_xml.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Just enough XML to read the definition back: a declaration, elements with
// attributes, text with the five named entities. Anything else, an element
// closed out of order or a raw '&' or '<' in text, is a parse failure.
struct element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::unique_ptr<element>> children;

  const element* child(const std::string& n) const {
    for (const auto& c : children)
      if (c->name == n) return c.get();
    return nullptr;
  }
  // "a/b/c" below this element; null when any step is missing.
  const element* at(const std::string& path) const {
    const element* e = this;
    size_t from = 0;
    while (e != nullptr && from <= path.size()) {
      const size_t slash = path.find('/', from);
      e = e->child(path.substr(from, slash - from));
      if (slash == std::string::npos) break;
      from = slash + 1;
    }
    return e;
  }
};

class parser {
 public:
  explicit parser(const std::string& text) : s_(text) {}

  std::unique_ptr<element> document(std::string* declaration) {
    if (s_.compare(0, 5, "<?xml") != 0) return nullptr;
    const size_t end = s_.find("?>");
    if (end == std::string::npos) return nullptr;
    *declaration = s_.substr(0, end + 2);
    i_ = end + 2;
    skip_space();
    std::unique_ptr<element> root = parse_element();
    skip_space();
    return root != nullptr && i_ == s_.size() ? std::move(root) : nullptr;
  }

 private:
  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  std::string name() {
    const size_t from = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == ':'))
      ++i_;
    return s_.substr(from, i_ - from);
  }
  // Text up to `stop`, entities replaced; false on a raw '<' or '&'.
  bool text(char stop, std::string* out) {
    while (i_ < s_.size() && s_[i_] != stop) {
      const char c = s_[i_];
      if (c == '<' || (c == '>' && stop == '"')) return false;
      if (c != '&') {
        *out += c;
        ++i_;
        continue;
      }
      static const std::pair<const char*, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool known = false;
      for (const auto& [entity, ch] : kEntities) {
        const std::string e = entity;
        if (s_.compare(i_, e.size(), e) == 0) {
          *out += ch;
          i_ += e.size();
          known = true;
          break;
        }
      }
      if (!known) return false;
    }
    return i_ < s_.size();
  }
  std::unique_ptr<element> parse_element() {
    if (i_ >= s_.size() || s_[i_] != '<') return nullptr;
    ++i_;
    auto e = std::make_unique<element>();
    e->name = name();
    if (e->name.empty()) return nullptr;
    for (;;) {
      skip_space();
      if (i_ >= s_.size()) return nullptr;
      if (s_[i_] == '>') break;
      const std::string key = name();
      if (key.empty() || s_.compare(i_, 2, "=\"") != 0) return nullptr;
      i_ += 2;
      std::string value;
      if (!text('"', &value)) return nullptr;
      ++i_;
      e->attributes[key] = value;
    }
    ++i_;
    for (;;) {
      std::string t;
      if (!text('<', &t)) return nullptr;
      e->text += t;
      if (s_.compare(i_, 2, "</") == 0) break;
      std::unique_ptr<element> c = parse_element();
      if (c == nullptr) return nullptr;
      e->children.push_back(std::move(c));
    }
    i_ += 2;
    if (name() != e->name || i_ >= s_.size() || s_[i_] != '>') return nullptr;
    ++i_;
    return e;
  }

  const std::string& s_;
  size_t i_ = 0;
};

std::string text_at(const element& root, const std::string& path) {
  const element* e = root.at(path);
  return e != nullptr ? e->text : "<missing " + path + ">";
}

TEST(TaskXml, RunsTheSiteEvery15MinutesWithEveryPathEscaped) {
  const struct {
    task_paths paths;
    std::string arguments;  // as Task Scheduler hands them to the program
    std::string folder;
  } cases[] = {
      {{"C:\\logfetch\\logfetch.exe", "C:\\site\\site.toml"},
       "-f C:\\site\\site.toml -n -c -w",
       "C:\\site"},
      // Every character XML gives a meaning to, and a blank that needs quotes.
      {{"C:\\R&D <new>\\logfetch.exe", "C:\\Tom's \"lab\" & co\\site.toml"},
       "-f \"C:\\Tom's \\\"lab\\\" & co\\site.toml\" -n -c -w",
       "C:\\Tom's \"lab\" & co"},
      {{"C:\\logfetch.exe", "C:\\site.toml"}, "-f C:\\site.toml -n -c -w", "C:\\"},
      {{"/usr/bin/logfetch", "/srv/caf\xC3\xA9 site/site.toml"},
       "-f \"/srv/caf\xC3\xA9 site/site.toml\" -n -c -w",
       "/srv/caf\xC3\xA9 site"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paths.site);
    std::string xml, error;
    ASSERT_TRUE(task_xml(c.paths, &xml, &error)) << error;
    std::string declaration;
    parser p(xml);
    const std::unique_ptr<element> task = p.document(&declaration);
    ASSERT_NE(task, nullptr) << xml;
    EXPECT_EQ(declaration, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_EQ(task->name, "Task");
    EXPECT_EQ(task->attributes["xmlns"], "http://schemas.microsoft.com/windows/2004/02/mit/task");
    EXPECT_EQ(text_at(*task, "Triggers/TimeTrigger/Repetition/Interval"), "PT15M");
    EXPECT_EQ(task->at("Triggers/TimeTrigger/Repetition/Duration"), nullptr);  // indefinitely
    EXPECT_NE(task->at("Triggers/TimeTrigger/StartBoundary"), nullptr);
    EXPECT_EQ(text_at(*task, "Settings/MultipleInstancesPolicy"), "IgnoreNew");
    EXPECT_EQ(text_at(*task, "Principals/Principal/LogonType"), "S4U");
    EXPECT_EQ(text_at(*task, "Actions/Exec/Command"), c.paths.program);
    EXPECT_EQ(text_at(*task, "Actions/Exec/Arguments"), c.arguments);
    EXPECT_EQ(text_at(*task, "Actions/Exec/WorkingDirectory"), c.folder);
  }
}

TEST(TaskXml, RefusesPathsADocumentCannotCarry) {
  const char* const sites[] = {
      "C:\\site\x01\\site.toml",  // a control character
      "C:\\site\tx\\site.toml",
      "/srv/caf\xE9/site.toml",  // Latin-1, not UTF-8
      "/srv/\xC3",               // cut short
      "/srv/\xC0\xAF",           // an overlong '/'
      "/srv/\xED\xA0\x80",       // a UTF-16 half
  };
  for (const char* site : sites) {
    SCOPED_TRACE(site);
    std::string xml, error;
    EXPECT_FALSE(task_xml({"C:\\logfetch.exe", site}, &xml, &error));
    EXPECT_EQ(error, "Can't put " + std::string(site) +
                         " into a task definition: it holds a control character or is not UTF-8 !");
  }
  std::string xml, error;
  EXPECT_FALSE(task_xml({"C:\\log\x7F.exe", "C:\\site.toml"}, &xml, &error));
}

// What the C runtime makes of a command line, for the words it is given.
std::vector<std::string> split_windows(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string w;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        w.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          w += '"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        w.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) w += line[i++];
      }
    }
    words.push_back(w);
  }
  return words;
}

TEST(TaskXml, CommandLineWordsComeBackAsTheyWere) {
  const std::vector<std::string> words = {"-f",
                                          "C:\\a b\\site.toml",
                                          "",
                                          "tab\there",
                                          "end\\",
                                          "C:\\x\\\\\"q\"",
                                          "\\\\server\\share\\s"};
  const std::string line = windows_command_line(words.data(), static_cast<int>(words.size()));
  EXPECT_EQ(split_windows(line), words) << line;
}

TEST(TaskXml, FolderOfFile) {
  const struct {
    const char* path;
    const char* folder;
  } cases[] = {
      {"C:\\site\\site.toml", "C:\\site"},
      {"C:\\site.toml", "C:\\"},
      {"/srv/site/site.toml", "/srv/site"},
      {"/site.toml", "/"},
      {"\\\\server\\share\\site.toml", "\\\\server\\share"},
  };
  for (const auto& c : cases) EXPECT_EQ(folder_of_file(c.path), c.folder) << c.path;
}

}  // namespace
