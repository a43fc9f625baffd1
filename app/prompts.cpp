#include "app/prompts.h"

#include <cstring>

#include "app/say.h"
#include "device/messages.h"
#include "platform/console.h"

namespace {
constexpr int kInputSize = 100;

// White space as the C locale has it, whatever locale is set.
bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string ask(std::FILE* in) {
  char buffer[kInputSize];
  read_word(in, buffer, kInputSize);
  return buffer;
}
}  // namespace

int read_word(std::FILE* in, char* buffer, int size) {
  std::memset(buffer, 0, size);
  int c = std::fgetc(in);
  while (c != EOF && is_blank(c)) c = std::fgetc(in);
  int kept = 0;
  for (; c != EOF && !is_blank(c); c = std::fgetc(in)) {
    if (kept < size - 1) buffer[kept++] = static_cast<char>(c);
  }
  // The white space that ended the word stays for the next read.
  if (c != EOF) std::ungetc(c, in);
  return kept;
}

std::string ask_address(std::FILE* in) {
  say("Enter ip of %s to download data from: ", kProductName);
  return ask(in);
}

std::string ask_password(std::FILE* in) {
  say("Type your password: ");
  const bool hidden = console_is_terminal(in) && console_set_echo(in, false);
  std::string answer = ask(in);
  if (hidden) {
    console_set_echo(in, true);
    say("\n");  // the Enter that ended the answer was not echoed either
  }
  return answer;
}
