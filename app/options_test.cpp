#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// The value in one line: what is asked for, then each option that is set.
std::string describe(const options& o) {
  static const char* const kWhat[] = {"walk", "usage", "version", "refused", "task-xml"};
  std::string s = kWhat[static_cast<int>(o.what)];
  if (o.what == command::refused) s += " '" + o.refused + "'";
  if (o.missing == lacking::file_name) s += " needs a file";
  if (o.missing == lacking::format) s += " needs a format";
  if (o.address_present) s += " i=" + o.address;
  if (o.password_present) s += " p=" + o.password;
  if (o.overwrite) s += " o";
  if (o.local_time) s += " t";
  if (o.incremental) s += " n";
  if (o.history) s += " c";
  if (o.page) s += " w";
  if (o.exports != 0) s += " x=" + std::to_string(o.exports);
  if (!o.textfile.empty()) s += " m=" + o.textfile;
  if (!o.site_file.empty()) s += " f=" + o.site_file;
  if (o.missing == lacking::seconds) s += " needs seconds";
  if (o.check) s += " check";
  if (o.timeout_seconds != 50) s += " timeout=" + std::to_string(o.timeout_seconds);
  return s;
}

TEST(ScanOptions, WordsGiveOneValue) {
  const struct {
    std::vector<const char*> words;  // after the program name
    const char* want;
  } cases[] = {
      {{}, "walk"},
      {{"-i1.2.3.4"}, "walk i=1.2.3.4"},
      {{"-i", "1.2.3.4"}, "walk i=1.2.3.4"},
      {{"/i1.2.3.4"}, "walk i=1.2.3.4"},
      {{"/p", "pw"}, "walk p=pw"},
      {{"-I", "a", "-Pb", "-O", "-T", "-N", "-C"}, "walk i=a p=b o t n c"},
      {{"/W", "-X", "influx", "-Mout.prom", "-F", "site.toml"},
       "walk c w x=2 m=out.prom f=site.toml"},
      {{"-p", ""}, "walk p="},
      {{"-o", "/t", "-n", "/c"}, "walk o t n c"},
      {{"-w"}, "walk c w"},
      // A file option takes an absolute path, never a two-letter option word.
      {{"-m", "/var/x.prom", "-f", "/srv/site.toml"}, "walk m=/var/x.prom f=/srv/site.toml"},
      {{"-m", "/t"}, "refused '-m' needs a file"},
      {{"-F", "/n"}, "refused '-F' needs a file"},
      {{"-p", "/pw"}, "walk p=w"},
      {{"-p", "/tmp"}, "walk t"},
      {{"-i", "-o"}, "walk o"},
      {{"-p"}, "walk"},
      {{"-i", "a", "-ib"}, "walk i=b"},
      {{"-i", "a", "-i"}, "walk i=a"},
      {{"-ot"}, "walk o"},
      {{"/tmp/x"}, "walk t"},
      {{"-:", "-::"}, "walk"},
      {{"-x", "openmetrics", "-xinflux"}, "walk x=3"},
      {{"-x", "influx,openmetrics"}, "walk x=3"},
      {{"-xbogus"}, "refused 'bogus'"},
      {{"-f", "s", "--check", "--timeout", "9", "-n"}, "walk n f=s check timeout=9"},
      {{"--timeout=86400"}, "walk timeout=86400"},
      {{"--timeout", "0"}, "refused '0'"},
      {{"--timeout=86401"}, "refused '86401'"},
      {{"--timeout", "5s"}, "refused '5s'"},
      {{"--timeout", "-n"}, "refused '--timeout' needs seconds"},
      {{"--timeout"}, "refused '--timeout' needs seconds"},
      {{"--Check"}, "refused '--Check'"},
      {{"-x", ""}, "refused ''"},
      {{"-x"}, "refused '-x' needs a format"},
      {{"-x", "-o"}, "refused '-x' needs a format"},
      {{"-f"}, "refused '-f' needs a file"},
      {{"/M"}, "refused '/M' needs a file"},
      {{"-f", ""}, "refused '-f' needs a file"},
      {{"-m", ""}, "refused '-m' needs a file"},
      {{"-h"}, "usage"},
      {{"-?"}, "usage"},
      {{"/h"}, "usage"},
      {{"/?"}, "usage"},
      {{"-hx"}, "usage"},
      {{"--help"}, "usage"},
      {{"-v"}, "version"},
      {{"/V"}, "version"},
      {{"--version"}, "version"},
      // --task-xml reads on, for -f after it; usage, version and refusals win.
      {{"--task-xml", "-f", "C:\\site.toml", "-n"}, "task-xml n f=C:\\site.toml"},
      {{"-F/srv/site.toml", "--task-xml"}, "task-xml f=/srv/site.toml"},
      {{"--task-xml"}, "task-xml"},
      {{"--task-xml", "-h"}, "usage"},
      {{"--task-xml", "-f"}, "refused '-f' needs a file"},
      {{"--TASK-XML"}, "refused '--TASK-XML'"},
      {{"--task-xmlx"}, "refused '--task-xmlx'"},
      // The first word that asks for no walk decides; the rest is not read.
      {{"-t", "-h", "-v", "bogus"}, "usage t"},
      {{"-v", "-h"}, "version"},
      {{"bogus", "-h"}, "refused 'bogus'"},
      {{"-o", "-x", "bad", "-h"}, "refused 'bad' o"},
      {{"-H"}, "refused '-H'"},
      {{"-q"}, "refused '-q'"},
      {{"--helpx"}, "refused '--helpx'"},
      {{"1.2.3.4"}, "refused '1.2.3.4'"},
      {{""}, "refused ''"},
      {{"-"}, "refused '-'"},
      {{"/"}, "refused '/'"},
      {{"--"}, "refused '--'"},
      {{"- "}, "refused '- '"},
      {{"-\x01"}, "refused '-\x01'"},
      {{"-\xe9"}, "refused '-\xe9'"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> storage = {"logfetch"};
    storage.insert(storage.end(), c.words.begin(), c.words.end());
    std::string trace;
    for (size_t i = 1; i < storage.size(); ++i) trace += storage[i] + " ";
    SCOPED_TRACE(trace);
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    EXPECT_EQ(describe(scan_options(static_cast<int>(storage.size()), argv.data())), c.want);
  }
}
}  // namespace
