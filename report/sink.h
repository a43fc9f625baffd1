// Where a walk's console messages go. The single-box program points it at
// standard output; a site run gives each box a sink that prefixes its lines.
#pragma once

#include <cstdarg>
#include <cstddef>

class message_sink {
 public:
  virtual ~message_sink() = default;

  // Whole lines (or a prompt) for standard output, printf-style.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The reason behind a failure just said, for standard error, so that
  // standard output keeps its exact lines.
  void explain(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vsay(const char* format, va_list args) { format_to(false, format, args); }
  void vexplain(const char* format, va_list args) { format_to(true, format, args); }
  // Whether every write so far reached its stream.
  virtual bool good() const = 0;

 protected:
  virtual void write_out(const char* text, size_t size) = 0;
  virtual void write_err(const char* text, size_t size) = 0;

 private:
  void format_to(bool err, const char* format, va_list args);
};

// Standard output and standard error, each flushed after every message so
// that messages keep their place among prompts when output is a pipe.
class stdio_sink : public message_sink {
 public:
  bool good() const override { return good_; }

 protected:
  void write_out(const char* text, size_t size) override;
  void write_err(const char* text, size_t size) override;

 private:
  bool good_ = true;
};

// The process's standard streams.
message_sink& standard_sink();
