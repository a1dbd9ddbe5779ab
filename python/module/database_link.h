// DatabaseLink: the Python module's one attachment to a database. A process
// works on one database at a time (the engine makes one store current), so
// the link is process-wide: Open attaches on first use and counts further
// opens of the same folder; Close gives one back and detaches at zero.
// Thread-safe.
#ifndef VANTREL_PYTHON_MODULE_DATABASE_LINK_H_
#define VANTREL_PYTHON_MODULE_DATABASE_LINK_H_

#include <string>

namespace vantrel::python {

class DatabaseLink {
 public:
  // Opens the store folder at path and attaches to it, or counts one more
  // user of the folder already open. Throws std::runtime_error with a
  // one-line reason when it cannot open, and when another folder is open.
  static void Open(const std::string& path);
  // Gives back one open; the last detaches. Nothing happens when none is open.
  static void Close();
  // The folder open now, or empty.
  static std::string OpenPath();
};

}  // namespace vantrel::python

#endif  // VANTREL_PYTHON_MODULE_DATABASE_LINK_H_
