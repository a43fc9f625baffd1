#include "report/text_file.h"

#include "platform/files.h"
#include "report/file_names.h"
#include "report/sink.h"

namespace {

// The system's reason for a failure on `name`, on standard error.
void explain(message_sink& sink, const std::string& name, int error) {
  sink.explain("logfetch: %s: %s\n", name.c_str(), std::strerror(error != 0 ? error : EIO));
}

}  // namespace

bool cut_back_file(const std::string& name, long long length, message_sink& sink) {
  const char* path = name.c_str();
  if (length < 0) {
    // Never a link's target or a device that happens to be there now.
    if (!file_is_plain(path) || std::remove(path) == 0) return true;
  } else if (file_size(path) <= length || file_truncate(path, length)) {
    return true;  // a pipe or a device has no length beyond
  }
  explain(sink, name, errno);
  return false;
}

void text_file::step() { file_step(); }

void say_open_failure(message_sink& sink, const std::string& name, int error) {
  sink.say("Can't open file:%s to write data !\n", name.c_str());
  explain(sink, name, error);
}

text_file::~text_file() {
  if (f_ != nullptr) abandon();
}

bool text_file::open(const std::string& name, mode how, form as) {
  name_ = name;
  how_ = how;
  error_ = 0;
  pos_ = 0;
  old_size_ = file_size(name.c_str());
  const bool binary = as == form::binary;
  beside_ = how == mode::replace && (old_size_ < 0 || file_is_plain(name.c_str()));
  if (beside_) {
    temp_ = temporary_name(name);
    std::FILE* probe = old_size_ < 0 ? nullptr : std::fopen(name.c_str(), "ab");
    if (old_size_ < 0 || probe != nullptr) {
      if (probe != nullptr) std::fclose(probe);
      f_ = std::fopen(temp_.c_str(), binary ? "wb" : "w+");
    }
  } else if (how == mode::append) {
    f_ = std::fopen(name.c_str(), binary ? "ab" : "a+");
  } else {
    f_ = std::fopen(name.c_str(), binary ? "wb" : "w+");
  }
  if (f_ == nullptr) {
    say_open_failure(sink_, name, errno);
    return false;
  }
#ifndef _WIN32
  // Written in blocks of its own already: no second buffer, nor the look at
  // the file that would size it (the Windows runtime sizes none that way).
  std::setvbuf(f_, nullptr, _IONBF, 0);
#endif
  buf_ = block_.get();
  return true;
}

void text_file::fail(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
}

long long text_file::length() {
  if (std::fseek(f_, 0, SEEK_END) != 0) {
    fail(errno);
    return -1;
  }
  return std::ftell(f_);
}

bool text_file::finish() {
  flush();
  // Flushed before closing: not every C runtime reports a failed final
  // flush from fclose.
  step();
  if (std::fflush(f_) != 0) fail(errno);
  if (std::ferror(f_) != 0) fail(EIO);
  step();
  if (std::fclose(f_) != 0) fail(errno);
  f_ = nullptr;
  if (error_ == 0 && beside_ && !file_replace(temp_.c_str(), name_.c_str())) fail(errno);
  if (error_ == 0) return true;
  sink_.say("Error writing data to file:%s !\n", name_.c_str());
  explain(sink_, name_, error_);
  if (beside_) {
    std::remove(temp_.c_str());
  } else if (how_ == mode::append) {
    cut_back();
  }
  return false;
}

void text_file::abandon() {
  std::fclose(f_);
  f_ = nullptr;
  if (beside_) std::remove(temp_.c_str());
}

void text_file::cut_back() { cut_back_file(name_, old_size_, sink_); }
