// --task-xml: the Windows Task Scheduler definition of a site's scheduled
// collection, for schtasks /Create /XML. It runs logfetch -f SITE -n -c -w
// every 15 minutes, in the site file's folder, whether its user is logged on
// or not (an S4U logon: no password is stored, none is asked for).
#pragma once

#include <string>

struct task_paths {
  std::string program;  // logfetch's own file, absolute, UTF-8
  std::string site;     // the site file, absolute, UTF-8
};

// The folder a file is in, as the task's working directory: "C:\site" for
// "C:\site\site.toml", "C:\" for "C:\site.toml", "/" for "/site.toml".
std::string folder_of_file(const std::string& path);

// Words joined into a Windows command line, each quoted so that the C
// runtime's argument parsing gives it back as it was.
std::string windows_command_line(const std::string* words, int count);

// The definition in UTF-8, every path escaped. False, with the message in
// *error, when a path holds what an XML document cannot carry (a control
// character, or bytes that are not UTF-8).
bool task_xml(const task_paths& paths, std::string* xml, std::string* error);
