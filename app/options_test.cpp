#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// One call of the scanner and what it must give.
struct Step {
  int result;
  const char* arg;  // null: no argument text
  int index_after;
};

struct Case {
  const char* name;
  std::vector<const char*> words;  // after the program name
  std::vector<Step> steps;         // calls in order, through the end
};

const Case kCases[] = {
    {"no words", {}, {{0, nullptr, 2}, {0, nullptr, 3}}},
    {"attached address", {"-i1.2.3.4"}, {{'i', "1.2.3.4", 2}, {0, nullptr, 3}}},
    {"address in next word", {"-i", "1.2.3.4"}, {{'i', "1.2.3.4", 3}, {0, nullptr, 4}}},
    {"slash attached", {"/i1.2.3.4"}, {{'i', "1.2.3.4", 2}, {0, nullptr, 3}}},
    {"slash next word", {"/p", "pw"}, {{'p', "pw", 3}, {0, nullptr, 4}}},
    {"upper case forms",
     {"-I", "a", "-Pb", "-O", "-T"},
     {{'I', "a", 3}, {'P', "b", 4}, {'O', nullptr, 5}, {'T', nullptr, 6}, {0, nullptr, 7}}},
    {"empty next word is the argument", {"-p", ""}, {{'p', "", 3}, {0, nullptr, 4}}},
    {"flags", {"-o", "/t"}, {{'o', nullptr, 2}, {'t', nullptr, 3}, {0, nullptr, 4}}},
    {"a file option takes an absolute path, not an option word",
     {"-m", "/var/x.prom", "-M", "/t", "-p", "/pw"},
     {{'m', "/var/x.prom", 3},
      {'M', nullptr, 4},
      {'t', nullptr, 5},
      {'p', nullptr, 6},
      {'p', "w", 7},
      {0, nullptr, 8}}},
    {"help forms",
     {"-h", "-?", "/h", "/?", "-hx"},
     {{'h', nullptr, 2},
      {'?', nullptr, 3},
      {'h', nullptr, 4},
      {'?', nullptr, 5},
      {'h', nullptr, 6},
      {0, nullptr, 7}}},
    {"upper-case H is unknown", {"-H"}, {{-1, "-H", 2}, {0, nullptr, 3}}},
    {"unknown letter", {"-q"}, {{-1, "-q", 2}}},
    {"bare address is no option", {"1.2.3.4"}, {{1, "1.2.3.4", 2}, {0, nullptr, 3}}},
    {"empty word is no option", {""}, {{1, "", 2}}},
    {"lone dash", {"-"}, {{-1, "-", 2}}},
    {"lone slash", {"/"}, {{-1, "/", 2}}},
    {"double dash", {"--"}, {{-1, "--", 2}}},
    {"blank after dash", {"- "}, {{-1, "- ", 2}}},
    {"control byte after dash", {"-\x01"}, {{-1, "-\x01", 2}}},
    {"byte above ASCII after dash", {"-\xe9"}, {{-1, "-\xe9", 2}}},
    {"joined flags: only the first counts", {"-ot"}, {{'o', nullptr, 2}, {0, nullptr, 3}}},
    {"colon is found in the option string", {"-:"}, {{':', nullptr, 2}, {0, nullptr, 3}}},
    {"colon word with more colons", {"-::"}, {{':', nullptr, 2}}},
    {"argument missing before an option",
     {"-i", "-o"},
     {{'i', nullptr, 2}, {'o', nullptr, 3}, {0, nullptr, 4}}},
    {"argument missing before a slash word",
     {"-p", "/tmp"},
     {{'p', nullptr, 2}, {'t', nullptr, 3}, {0, nullptr, 4}}},
    {"argument missing at the end", {"-p"}, {{'p', nullptr, 2}, {0, nullptr, 3}}},
    {"path-like word is an option", {"/tmp/x"}, {{'t', nullptr, 2}}},
    {"second address follows the first",
     {"-i", "a", "-ib"},
     {{'i', "a", 3}, {'i', "b", 4}, {0, nullptr, 5}}},
    {"scan goes on after an unknown word", {"bogus", "-o"}, {{1, "bogus", 2}, {'o', nullptr, 3}}},
};

TEST(ScanOption, WordsGiveResultsArgumentsAndIndexes) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> storage = {"logfetch"};
    storage.insert(storage.end(), c.words.begin(), c.words.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    option_index = 1;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i));
      const Step& want = c.steps[i];
      const char* arg = "untouched";
      EXPECT_EQ(scan_option(argc, argv.data(), kOptionString, &arg), want.result);
      if (want.arg == nullptr) {
        EXPECT_EQ(arg, nullptr);
      } else {
        ASSERT_NE(arg, nullptr);
        EXPECT_STREQ(arg, want.arg);
      }
      EXPECT_EQ(option_index, want.index_after);
    }
  }
}
}  // namespace
