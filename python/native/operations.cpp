#include "python/native/operations.hpp"

#include <pybind11/iostream.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "python/native/values.hpp"
#include "python/native/vectorstore.hpp"
#include "tavrin/brollin.hpp"
#include "tavrin/tessick.hpp"

namespace tavrin::python {
namespace {

// Operator lines through sys.stdout and the progress display through sys.stderr, so that a
// notebook shows them; while it lives, the GIL is released for the C++ work.
class PythonOutput {
 public:
  PythonOutput() = default;

 private:
  py::scoped_ostream_redirect out_;
  py::scoped_estream_redirect err_;
};

}  // namespace

void bind_operations(py::module_& module) {
  module.def(
      "save2faiss",
      [](const py::list& names, const py::list& columns,
         const std::vector<std::string>& src_fieldnames,
         const std::vector<std::string>& tgt_fieldnames, const std::string& faiss_index_path,
         const py::handle embedding_model) {
        const frame::DataFrame datas = frame_from_columns(names, columns);
        auto model = embeddings_of(embedding_model);
        const PythonOutput output;
        const py::gil_scoped_release release;
        brollin::save2faiss(datas, src_fieldnames, tgt_fieldnames, faiss_index_path,
                            std::move(model));
      },
      py::arg("names"), py::arg("columns"), py::arg("src_fieldnames"), py::arg("tgt_fieldnames"),
      py::arg("faiss_index_path"), py::arg("embedding_model"));

  module.def(
      "split_data",
      [](const py::list& names, const py::list& columns, const std::string& tgt_train_data_path,
         const std::string& tgt_test_data_path, double test_data_ratio) {
        const frame::DataFrame datas = frame_from_columns(names, columns);
        const PythonOutput output;
        const py::gil_scoped_release release;
        tessick::split_data(datas, tgt_train_data_path, tgt_test_data_path, test_data_ratio);
      },
      py::arg("names"), py::arg("columns"), py::arg("tgt_train_data_path"),
      py::arg("tgt_test_data_path"), py::arg("test_data_ratio"));
}

}  // namespace tavrin::python
