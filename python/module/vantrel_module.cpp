// _vantrel: the compiled half of the vantrel Python package. It serves the
// three services in process: any operation by name with its parameters in
// the contracts' JSON form, answered as the access host answers (a status
// and a JSON body), and history reads straight into NumPy columns. Every
// library call runs with the GIL released, so Python threads read in
// parallel; each call makes its own service object on the calling thread.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "engine/control.h"
#include "python/module/database_link.h"
#include "python/module/history_columns.h"
#include "python/module/operation_table.h"

namespace py = pybind11;

namespace vantrel::python {
namespace {

using contracts::DateTime;

// Raised with (status, body) when a history read fails, the body being what
// the same failure answers through the call interface.
py::object& CallFailed() {
  static py::object type;
  return type;
}

py::tuple Call(const std::string& service, const std::string& operation, const std::string& body,
               const std::optional<std::string>& account) {
  Answer answer;
  {
    py::gil_scoped_release release;
    answer = CallOperation(service, operation, body, account);
  }
  return py::make_tuple(answer.status, py::bytes(answer.body));
}

contracts::HistoryRequestById HistoryRequest(int32_t tagId, int32_t fieldId, const std::optional<int64_t>& startNs,
                                             const std::optional<int64_t>& endNs, int32_t maxCount,
                                             int32_t outsiders, bool step) {
  contracts::HistoryRequestById request;
  request.TagId = tagId;
  request.FieldId = fieldId;
  request.Query.StartTime = startNs ? DateTimeFromNanoseconds(*startNs) : DateTime::MinValue;
  request.Query.EndTime = endNs ? DateTimeFromNanoseconds(*endNs) : DateTime::MaxValue;
  request.Query.MaxCount = maxCount;
  request.Query.OusidersType = static_cast<contracts::OutsidersRequestTypeEnum>(outsiders);
  request.Query.ReturnStep = step;
  return request;
}

// The text of each value that is not a number (None for the others).
py::object TextsOf(const contracts::TagValues& page) {
  py::list list(page.size());
  for (std::size_t i = 0; i < page.size(); ++i) {
    const auto text = NonNumericText(page[i].Value);
    list[i] = text ? py::object(py::str(*text)) : py::object(py::none());
  }
  return list;
}

// One history read of one field as (times, values, status, level, texts):
// int64 nanoseconds, float64, int16, int16, and texts None when every value
// is a number, else a list with the text of each value that is not (None
// for the others). Without a bound, start or end is open (None).
py::tuple HistoryPage(int32_t tagId, int32_t fieldId, std::optional<int64_t> startNs, std::optional<int64_t> endNs,
                      int32_t maxCount, int32_t outsiders, bool step, const std::optional<std::string>& account) {
  contracts::TagValues page;
  std::optional<Answer> failure;
  {
    py::gil_scoped_release release;
    try {
      page = ReadHistoryPage(HistoryRequest(tagId, fieldId, startNs, endNs, maxCount, outsiders, step), account);
    } catch (...) {
      failure = FailureAnswer(std::current_exception());
    }
  }
  if (failure) {
    PyErr_SetObject(CallFailed().ptr(), py::make_tuple(failure->status, py::bytes(failure->body)).ptr());
    throw py::error_already_set();
  }
  const auto count = static_cast<py::ssize_t>(page.size());
  py::array_t<int64_t> times(count);
  py::array_t<double> values(count);
  py::array_t<int16_t> status(count);
  py::array_t<int16_t> level(count);
  const HistoryColumns columns{times.mutable_data(), values.mutable_data(), status.mutable_data(),
                               level.mutable_data()};
  bool allNumbers = true;
  {
    py::gil_scoped_release release;
    allNumbers = FillColumns(page, columns);
  }
  return py::make_tuple(times, values, status, level, allNumbers ? py::object(py::none()) : TextsOf(page));
}

// A long read asks for page after page of the same size (some 700 KB of
// contract values each). Freed at once, a page leaves the top of the heap
// free, glibc gives it back to the kernel, and the next page pays its page
// faults again: twice the CPU of the read itself. Holding each page until
// the next one has been read keeps the freed block below a live one, where
// the next page reuses it. One page per thread stays held between reads.
void KeepUntilNextPage(contracts::TagValues page) {
  thread_local contracts::TagValues previous;
  py::gil_scoped_release release;
  previous = std::move(page);
}

// A column to write into: a writable, contiguous one-dimensional array of T.
template <typename T>
T* WritableColumn(py::array& column, const char* name) {
  if (!py::isinstance<py::array_t<T>>(column) || column.ndim() != 1 || !column.writeable() ||
      (column.flags() & py::array::c_style) == 0) {
    throw py::value_error(std::string(name) + " must be a writable contiguous array of the column's type");
  }
  return static_cast<T*>(column.mutable_data());
}

// The same read as HistoryPage, written into the four arrays given from
// their start (the caller's views of its final arrays, so that a long read
// is copied once). Returns (count, texts or None); a read that returns more
// values than the arrays hold is a ValueError and writes nothing.
py::tuple HistoryPageInto(py::array times, py::array values, py::array status, py::array level, int32_t tagId,
                          int32_t fieldId, std::optional<int64_t> startNs, std::optional<int64_t> endNs,
                          int32_t maxCount, int32_t outsiders, bool step, const std::optional<std::string>& account) {
  const HistoryColumns columns{WritableColumn<int64_t>(times, "times"), WritableColumn<double>(values, "values"),
                               WritableColumn<int16_t>(status, "status"), WritableColumn<int16_t>(level, "level")};
  const auto capacity = static_cast<std::size_t>(
      std::min({times.shape(0), values.shape(0), status.shape(0), level.shape(0)}));
  contracts::TagValues page;
  std::optional<Answer> failure;
  bool fits = true;
  bool allNumbers = true;
  {
    py::gil_scoped_release release;
    try {
      page = ReadHistoryPage(HistoryRequest(tagId, fieldId, startNs, endNs, maxCount, outsiders, step), account);
      fits = page.size() <= capacity;
      if (fits) allNumbers = FillColumns(page, columns);
    } catch (...) {
      failure = FailureAnswer(std::current_exception());
    }
  }
  if (failure) {
    PyErr_SetObject(CallFailed().ptr(), py::make_tuple(failure->status, py::bytes(failure->body)).ptr());
    throw py::error_already_set();
  }
  if (!fits) throw py::value_error("the history read returned more values than the arrays hold");
  py::tuple result = py::make_tuple(page.size(), allNumbers ? py::object(py::none()) : TextsOf(page));
  KeepUntilNextPage(std::move(page));
  return result;
}

void ImportDatabase(const std::string& jsonPath, const std::string& storePath) {
  py::gil_scoped_release release;
  try {
    dorvik::ImportDatabase(jsonPath, storePath);
  } catch (const dorvik::DatabaseError& failure) {
    throw std::runtime_error(failure.what());
  }
}

}  // namespace
}  // namespace vantrel::python

PYBIND11_MODULE(_vantrel, module) {
  using namespace vantrel::python;
  module.doc() = "The vantrel services in process (use the vantrel package, not this module).";
  CallFailed() = py::reinterpret_borrow<py::object>(
      PyErr_NewException("_vantrel.CallFailed", PyExc_RuntimeError, nullptr));
  module.attr("CallFailed") = CallFailed();

  using ReleaseGil = py::call_guard<py::gil_scoped_release>;
  module.def("open", &DatabaseLink::Open, py::arg("path"), ReleaseGil(),
             "Attaches to the database (a store folder); a second open of the same folder is counted.");
  module.def("close", &DatabaseLink::Close, ReleaseGil(), "Gives back one open; the last detaches.");
  module.def("open_path", &DatabaseLink::OpenPath, ReleaseGil(), "The folder open now, or ''.");
  module.def("call", &Call, py::arg("service"), py::arg("operation"), py::arg("body"), py::arg("account") = py::none(),
             "Runs an operation with its JSON parameters; returns (status, JSON body bytes) as the host answers.");
  module.def("history_page", &HistoryPage, py::arg("tag_id"), py::arg("field_id"), py::arg("start_ns"),
             py::arg("end_ns"), py::arg("max_count"), py::arg("outsiders") = 0, py::arg("step") = false,
             py::arg("account") = py::none(),
             "One history read into NumPy columns: (times ns, values, status, level, texts or None).");
  module.def("history_page_into", &HistoryPageInto, py::arg("times"), py::arg("values"), py::arg("status"),
             py::arg("level"), py::arg("tag_id"), py::arg("field_id"), py::arg("start_ns"), py::arg("end_ns"),
             py::arg("max_count"), py::arg("outsiders") = 0, py::arg("step") = false,
             py::arg("account") = py::none(),
             "One history read written into the given arrays from their start: (count, texts or None).");
  module.def("operations", &OperationNames, py::arg("service"), "The operation names of a service.");
  module.def("import_database", &ImportDatabase, py::arg("json_path"), py::arg("store_path"),
             "Imports a JSON database file into a new store folder.");
}
