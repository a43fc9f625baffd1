#include "report/backward_lines.h"

namespace {
constexpr long kBlock = 1 << 16;
constexpr size_t kMaxLine = 1 << 20;
}  // namespace

backward_lines::backward_lines(const std::string& path) {
  f_ = std::fopen(path.c_str(), "rb");
  if (f_ == nullptr || std::fseek(f_, 0, SEEK_END) != 0) {
    done_ = true;
    return;
  }
  start_ = std::ftell(f_);
  if (start_ <= 0) {
    done_ = true;
    return;
  }
  char last = 0;
  if (std::fseek(f_, start_ - 1, SEEK_SET) != 0 || std::fread(&last, 1, 1, f_) != 1) {
    done_ = true;
    return;
  }
  // The '\n' that ends the last line is no line of its own.
  if (last == '\n') {
    --start_;
  } else {
    torn_ = true;
  }
}

backward_lines::~backward_lines() {
  if (f_ != nullptr) std::fclose(f_);
}

bool backward_lines::more() {
  if (start_ == 0 || data_.size() > kMaxLine) return false;
  const long n = start_ < kBlock ? start_ : kBlock;
  std::string block(static_cast<size_t>(n), '\0');
  if (std::fseek(f_, start_ - n, SEEK_SET) != 0 ||
      std::fread(&block[0], 1, block.size(), f_) != block.size())
    return false;
  start_ -= n;
  data_.insert(0, block);
  return true;
}

bool backward_lines::previous(std::string* line) {
  while (!done_) {
    const size_t nl = data_.rfind('\n');
    if (nl == std::string::npos && start_ > 0) {
      if (!more()) done_ = true;
      continue;
    }
    if (nl == std::string::npos) {
      *line = data_;  // the first line of the file
      done_ = true;
    } else {
      line->assign(data_, nl + 1, std::string::npos);
      data_.resize(nl);
    }
    if (first_) {
      first_ = false;
      if (torn_) continue;
    }
    return true;
  }
  return false;
}
