// The one buffered writer of the text outputs: pieces are formatted in place
// in a heap block and reach the file in few large writes; one ending says a
// failure once, on the walk's sink, and leaves the file as it was before.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

class message_sink;

// A writer's block, allocated when first used and kept as long as its owner:
// the report writer and the histories keep one for all the files of a walk.
// Never on the stack: a 1 MiB Windows stack has little to spare.
class write_block {
 public:
  // One write was measured at some 12 us (Linux, ext4, a virtual machine),
  // as much as formatting 1500 report lines, and a full report is about 1 MB.
  static constexpr size_t kSize = size_t{1} << 17;

  char* get() {
    if (!block_) block_.reset(new char[kSize]);
    return block_.get();
  }

 private:
  std::unique_ptr<char[]> block_;
};

// "Can't open file:NAME to write data !", and the reason for `error` on
// standard error.
void say_open_failure(message_sink& sink, const std::string& name, int error);

// Puts the file `name` back to its first `length` bytes, never longer, or
// removes it when it did not exist before (`length` < 0). Only an ordinary
// file is touched: a device or a pipe keeps no length to go back to. The
// system's reason on `sink` when it cannot be done. Every output that takes
// back what it wrote does it through here.
bool cut_back_file(const std::string& name, long long length, message_sink& sink);

class text_file {
 public:
  enum class mode {
    // Added after what is there; a failed write cuts the file back to its
    // old length, or removes the file it made.
    append,
    // Written beside as NAME.PID.tmp and renamed over NAME when whole, so a
    // failed one leaves the old file; a file that may not be written is not
    // replaced either. A device or a link is written in place, as it cannot
    // be replaced.
    replace,
  };
  // text: the C library's line ends (CRLF on Windows); binary: the bytes as
  // formatted.
  enum class form { text, binary };

  // The longest piece reserve() makes room for.
  static constexpr size_t kMaxPiece = 128;

  text_file(write_block& block, message_sink& sink) : block_(block), sink_(sink) {}
  ~text_file();
  text_file(const text_file&) = delete;
  text_file& operator=(const text_file&) = delete;

  // False, said ("Can't open file:NAME to write data !") with its reason on
  // standard error, when `name` cannot be opened to write.
  bool open(const std::string& name, mode how, form as);

  // Room for at most kMaxPiece bytes; hand the end back to commit().
  char* reserve() {
    if (pos_ + kMaxPiece > write_block::kSize) flush();
    return buf_ + pos_;
  }
  void commit(char* end) { pos_ = static_cast<size_t>(end - buf_); }

  void text(const char* s, size_t n) {
    if (pos_ + n > write_block::kSize) flush();
    if (n > write_block::kSize) {
      write(s, n);
      return;
    }
    std::memcpy(buf_ + pos_, s, n);
    pos_ += n;
  }
  void text(const char* s) { text(s, std::strlen(s)); }
  void text(const std::string& s) { text(s.data(), s.size()); }

  // The length of the open file, from its end; -1 when the system cannot
  // tell, which finish() then reports as the file's failure.
  long long length();

  // Writes what is left, closes and puts a replacement in its place. True
  // when all of it reached the file; else false, said once ("Error writing
  // data to file:NAME !") with its reason, and the file left as it was.
  bool finish();
  // Closes without a word, a replacement's temporary file removed: for a file
  // found not to be written after all.
  void abandon();

 private:
  void flush() {
    write(buf_, pos_);
    pos_ = 0;
  }
  void write(const char* s, size_t n) {
    if (n == 0) return;
    step();
    if (std::fwrite(s, 1, n, f_) != n) fail(errno);
  }
  static void step();
  // Keeps the first failure's errno (EIO for none).
  void fail(int error);
  void cut_back();

  write_block& block_;
  message_sink& sink_;
  std::FILE* f_ = nullptr;
  char* buf_ = nullptr;
  size_t pos_ = 0;
  int error_ = 0;  // 0 while every step succeeded
  mode how_ = mode::append;
  bool beside_ = false;      // written to temp_, renamed at the end
  long long old_size_ = -1;  // before opening; -1: there was no file
  std::string name_, temp_;
};
