#include "app/outputs.h"

#include "app/collected.h"
#include "platform/files.h"
#include "report/csv_history.h"
#include "report/datafile.h"
#include "report/exports.h"
#include "report/file_names.h"
#include "report/handoff.h"
#include "report/sink.h"
#include "report/text_file.h"

bool walk_files::before_append(const std::vector<std::string>& names) {
  box_commit first;
  for (const std::string& name : names) {
    if (before_.count(name) != 0) continue;
    const std::string path = folder_ + name;
    bool plain = false;
    const long long size = file_size_plain(path.c_str(), &plain);
    // A folder, a device or a link in a file's place is not the record's to
    // claim or to cut: its output fails on it and says so.
    if (size >= 0 && !plain) continue;
    before_[name] = size;
    if (record_ != nullptr && record_->committed_length(name) < 0)
      first.files[name] = size < 0 ? 0 : size;
  }
  // An interrupted append to it must be told from what it held before.
  return first.empty() || record_->commit(first, sink_);
}

void walk_files::wrote(const std::string& name) {
  const long long size = file_size((folder_ + name).c_str());
  if (size >= 0) after_[name] = size;
}

bool walk_files::forget(const std::string& name) {
  before_.erase(name);
  if (record_ == nullptr || record_->committed_length(name) < 0) return true;
  box_commit c;
  c.forget_files.push_back(name);
  return record_->commit(c, sink_);
}

void walk_files::roll_back() {
  for (const auto& [name, size] : before_) cut_back_file(folder_ + name, size, sink_);
  after_.clear();
}

namespace {

class report_file : public sensor_output {
 public:
  report_file(report_handoff& handoff, datafile& writer, bool overwrite, walk_files& files)
      : handoff_(handoff), writer_(writer), overwrite_(overwrite), files_(files) {}
  const char* mark() const override { return kReportMark; }
  std::vector<std::string> files_for(const reading& r) const override {
    // -o empties the file first: nothing to go back to.
    if (overwrite_) return {};
    const std::string name = name_of(r);
    return name.empty() ? std::vector<std::string>{} : std::vector<std::string>{name};
  }
  bool add(const reading& part) override {
    const std::string name = name_of(part);
    if (overwrite_ && !name.empty() && !files_.forget(name)) return false;
    if (handoff_.save(part) != 0) return false;  // the writer has left the file as it was
    if (!name.empty()) files_.wrote(name);
    return true;
  }

 private:
  std::string name_of(const reading& r) const {
    char name[100];
    return writer_.make_filename(name, sizeof name, r, 2) >= 0 ? name : "";
  }
  report_handoff& handoff_;
  datafile& writer_;
  bool overwrite_;
  walk_files& files_;
};

class history_file : public sensor_output {
 public:
  history_file(csv_history& history, walk_files& files) : history_(history), files_(files) {}
  const char* mark() const override { return kHistoryMark; }
  bool takes_empty() const override { return true; }
  std::vector<std::string> files_for(const reading& r) const override {
    return {history_name(r.address, r.status->port + 1, r.slot + 1, r.status->sensorType)};
  }
  bool add(const reading& part) override {
    // A history skips the samples it already has, and takes every sensor
    // read, for the page.
    if (history_.save(part) != 0) return false;  // the history has left its file as it was
    files_.wrote(files_for(part).front());
    return true;
  }

 private:
  csv_history& history_;
  walk_files& files_;
};

class export_file : public sensor_output {
 public:
  export_file(std::unique_ptr<run_exports> out, unsigned format, std::string address,
              walk_files& files, std::string folder)
      : out_(std::move(out)),
        influx_(format == kExportInflux),
        address_(std::move(address)),
        files_(files),
        folder_(std::move(folder)) {}
  const char* mark() const override { return influx_ ? kInfluxMark : kOpenMetricsMark; }
  bool at_finish() const override { return true; }
  std::vector<std::string> files_for(const reading&) const override {
    // The OpenMetrics file is a new one each run, named when written.
    return influx_ ? std::vector<std::string>{line_protocol_name(address_)}
                   : std::vector<std::string>{};
  }
  bool add(const reading& part) override {
    out_->add(part);
    return true;
  }
  bool finish() override {
    const bool ok = out_->finish() == 0;
    if (influx_) {
      if (ok) files_.wrote(line_protocol_name(address_));
    } else if (!out_->held_name().empty()) {
      // Unless committed, it goes again with the rest of the walk.
      const std::string temp = relative(out_->held_name());
      files_.held(temp);
      if (ok) held_ = {temp, relative(out_->openmetrics_path())};
    }
    return ok;
  }
  std::vector<std::pair<std::string, std::string>> renames() const override {
    if (held_.first.empty()) return {};
    return {held_};
  }

 private:
  std::string relative(const std::string& path) const {
    return path.compare(0, folder_.size(), folder_) == 0 ? path.substr(folder_.size()) : path;
  }
  std::unique_ptr<run_exports> out_;
  bool influx_;
  std::string address_;
  walk_files& files_;
  std::string folder_;
  std::pair<std::string, std::string> held_;
};

}  // namespace

std::unique_ptr<sensor_output> report_output(report_handoff& handoff, datafile& writer,
                                             bool overwrite, walk_files& files) {
  return std::unique_ptr<sensor_output>(new report_file(handoff, writer, overwrite, files));
}

std::unique_ptr<sensor_output> history_output(csv_history& history, walk_files& files) {
  return std::unique_ptr<sensor_output>(new history_file(history, files));
}

std::unique_ptr<sensor_output> export_output(std::unique_ptr<run_exports> exports, unsigned format,
                                             const std::string& address, walk_files& files,
                                             const output_context& ctx) {
  return std::unique_ptr<sensor_output>(
      new export_file(std::move(exports), format, address, files, ctx.folder));
}
