// ReplacingFile: a file written in full beside its final path and then
// renamed over it, so that the file at that path is always whole: the old
// one until Commit() renames the new one over it. An interrupted command
// (an error, or Ctrl-C or SIGTERM while the object lives) leaves the old
// file as it was and removes the one it was writing. The new file is
// private to its owner (mode 0600), as the tool's files are by default.
//
//   ReplacingFile chart(path, "the chart");         // fails now when path's folder cannot be written
//   ... read and compute ...
//   chart.Commit(TrendSvg(chart));     // throws IOException when it cannot be written
//
// Used by one thread; one object at a time installs the signal handlers.
#ifndef VANTREL_CLI_REPLACING_FILE_H_
#define VANTREL_CLI_REPLACING_FILE_H_

#include <string>
#include <string_view>

namespace vantrel::cli {

class ReplacingFile {
 public:
  // Creates the new file beside path; throws platform::IOException
  // "cannot write <what> to <path>: <reason>".
  ReplacingFile(std::string path, std::string what);
  // Removes the new file unless it was committed; puts the signal handlers back.
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Writes contents to the new file, flushes it to disk and renames it over
  // the path. Throws platform::IOException naming the path.
  void Commit(std::string_view contents);

 private:
  [[noreturn]] void Fail(std::string_view what) const;

  std::string path_;
  std::string what_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_REPLACING_FILE_H_
