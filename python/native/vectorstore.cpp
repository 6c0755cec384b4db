#include "python/native/vectorstore.hpp"

#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/native/values.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

namespace tavrin::python {
namespace {

using vectorstore::Document;
using vectorstore::FAISS;

using Vectors = std::vector<std::vector<float>>;

// The model's answer as np.array(answer, dtype=np.float32) makes it: one row per vector.
Vectors vectors_of(const py::object& answer) {
  const py::object numpy = py::module_::import("numpy");
  const auto array = py::array_t<float, py::array::c_style>::ensure(
      numpy.attr("array")(answer, py::arg("dtype") = numpy.attr("float32")));
  if (!array) throw py::error_already_set();
  if (array.size() == 0) return {};
  if (array.ndim() != 2) {
    throw ValueError(
        "embed_documents must answer a list of vectors, one per text; its answer "
        "makes an array of " +
        std::to_string(array.ndim()) + " dimensions");
  }
  const auto rows = static_cast<std::size_t>(array.shape(0));
  const auto width = static_cast<std::size_t>(array.shape(1));
  Vectors vectors(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = array.data(static_cast<py::ssize_t>(i), 0);
    vectors[i].assign(row, row + width);
  }
  return vectors;
}

// A model written in Python. Its calls take the GIL, so the job treats it as a model that
// blocks and calls it off its own thread.
class PythonEmbeddings : public vectorstore::Embeddings {
 public:
  explicit PythonEmbeddings(py::object model) : model_(std::move(model)) {}
  PythonEmbeddings(const PythonEmbeddings&) = delete;
  PythonEmbeddings& operator=(const PythonEmbeddings&) = delete;
  ~PythonEmbeddings() override {
    if (Py_IsInitialized() == 0) {
      (void)model_.release();  // the interpreter is gone, and its objects with it
      return;
    }
    const py::gil_scoped_acquire gil;
    model_ = py::object();
  }

  Vectors embed_documents(const std::vector<std::string>& texts) override {
    const py::gil_scoped_acquire gil;
    py::list list(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) list[i] = to_python(Value(texts[i]));
    return vectors_of(model_.attr("embed_documents")(list));
  }

  std::vector<float> embed_query(const std::string& text) override {
    {
      const py::gil_scoped_acquire gil;
      if (py::hasattr(model_, "embed_query")) {
        Vectors one =
            vectors_of(py::make_tuple(model_.attr("embed_query")(to_python(Value(text)))));
        if (one.empty()) throw ValueError("embed_query answered no vector");
        return std::move(one.front());
      }
    }
    return Embeddings::embed_query(text);
  }

  std::string identity() const override {
    const py::gil_scoped_acquire gil;
    const py::object identity = py::getattr(model_, "identity", py::none());
    if (identity.is_none()) return {};
    return py::str(PyCallable_Check(identity.ptr()) != 0 ? identity() : identity);
  }

  bool blocking() const override { return true; }

 private:
  py::object model_;
};

Value metadata_value(const py::handle metadata) {
  if (metadata.is_none()) return Value::object();
  return to_value(metadata, "metadata");
}

// Text as the library keeps it: UTF-8, a lone surrogate the byte it escapes.
std::string text_of(const py::handle text, const char* what) {
  if (!PyUnicode_Check(text.ptr())) {
    throw TypeError(std::string(what) + " must be a str, not " +
                    std::string(py::str(py::type::handle_of(text).attr("__name__"))));
  }
  return to_value(text, what).get<std::string>();
}

py::list documents_list(std::vector<Document> documents) {
  py::list list(documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) list[i] = py::cast(std::move(documents[i]));
  return list;
}

// The text a query is embedded as: a str itself, any other value its Python str() (None stays
// None, which the store refuses).
Value query_value(const py::handle query) {
  if (query.is_none() || PyUnicode_Check(query.ptr())) return to_value(query, "query");
  return to_value(py::str(query), "query");
}

std::size_t result_count(std::size_t topk, const py::handle k) {
  return k.is_none() ? topk : k.cast<std::size_t>();
}

std::vector<FAISS::TextEmbedding> text_embeddings_of(const py::iterable& pairs) {
  std::vector<FAISS::TextEmbedding> text_embeddings;
  for (const py::handle pair : pairs) {
    const auto items = py::reinterpret_borrow<py::sequence>(pair);
    if (items.size() != 2)
      throw ValueError("text_embeddings: each entry must be a (text, vector) pair");
    const auto vector =
        py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(items[1]);
    if (!vector) throw py::error_already_set();
    text_embeddings.emplace_back(items[0].cast<std::string>(),
                                 std::vector<float>(vector.data(), vector.data() + vector.size()));
  }
  return text_embeddings;
}

std::vector<Value> metadatas_of(const py::handle metadatas, std::size_t count) {
  if (metadatas.is_none()) return std::vector<Value>(count, Value::object());
  std::vector<Value> values;
  for (const py::handle metadata : py::reinterpret_borrow<py::iterable>(metadatas)) {
    values.push_back(to_value(metadata, "metadatas"));
  }
  return values;
}

void bind_embeddings(py::module_& module) {
  py::class_<vectorstore::Embeddings, std::shared_ptr<vectorstore::Embeddings>>(
      module, "Embeddings", "An embedding model of tavrin's own.")
      .def(
          "embed_documents",
          [](vectorstore::Embeddings& model, const std::vector<std::string>& texts) {
            const py::gil_scoped_release release;
            return model.embed_documents(texts);
          },
          py::arg("texts"), "One vector per text, in text order.")
      .def(
          "embed_query",
          [](vectorstore::Embeddings& model, const std::string& text) {
            const py::gil_scoped_release release;
            return model.embed_query(text);
          },
          py::arg("text"), "The vector of one query text.")
      .def_property_readonly("identity", &vectorstore::Embeddings::identity);

  py::class_<vectorstore::HashingEmbeddings, vectorstore::Embeddings,
             std::shared_ptr<vectorstore::HashingEmbeddings>>(
      module, "HashingEmbeddings",
      "The offline model: hashed character n-grams, no weights, the same vectors everywhere.")
      .def(py::init<std::size_t>(), py::arg("dim") = 256)
      .def_property_readonly("dim", &vectorstore::HashingEmbeddings::dim);

  py::class_<openai::OpenAIEmbeddings, vectorstore::Embeddings,
             std::shared_ptr<openai::OpenAIEmbeddings>>(
      module, "OpenAIEmbeddings",
      "An OpenAI-compatible /embeddings endpoint: batches of texts, several requests at once, "
      "retries; base_url is the API root (https://api.openai.com/v1).")
      .def(py::init([](std::string base_url, std::string api_key, std::string model,
                       std::size_t batch_size, std::size_t max_in_flight,
                       std::optional<std::size_t> dimensions,
                       std::optional<std::string> encoding_format, const py::object& headers,
                       unsigned retries, double timeout) {
             openai::OpenAIEmbeddingsOptions options;
             options.batch_size = batch_size;
             options.max_in_flight = max_in_flight;
             options.dimensions = dimensions;
             options.encoding_format = std::move(encoding_format);
             if (!headers.is_none()) options.headers = to_value(headers, "headers");
             options.client = request_limits(retries, timeout);
             return std::make_shared<openai::OpenAIEmbeddings>(
                 std::move(base_url), std::move(api_key), std::move(model), std::move(options));
           }),
           py::arg("base_url"), py::arg("api_key"), py::arg("model"), py::kw_only(),
           py::arg("batch_size") = 64, py::arg("max_in_flight") = 8,
           py::arg("dimensions") = py::none(), py::arg("encoding_format") = py::none(),
           py::arg("headers") = py::none(), py::arg("retries") = 2, py::arg("timeout") = 600.0)
      .def_property_readonly("url", &openai::OpenAIEmbeddings::url)
      .def_property_readonly("model", &openai::OpenAIEmbeddings::model);
}

void bind_documents(py::module_& module) {
  py::class_<Document>(module, "Document", "One stored text, page_content, with its metadata.")
      .def(py::init([](const py::handle page_content, const py::handle metadata) {
             return Document{text_of(page_content, "page_content"), metadata_value(metadata)};
           }),
           py::arg("page_content"), py::arg("metadata") = py::none())
      .def_property(
          "page_content", [](const Document& d) { return to_python(Value(d.page_content)); },
          [](Document& d, const py::handle text) {
            d.page_content = text_of(text, "page_content");
          })
      .def_property(
          "metadata", [](const Document& d) { return to_python(d.metadata); },
          [](Document& d, const py::handle metadata) { d.metadata = metadata_value(metadata); })
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__repr__", [](const Document& d) {
        return "Document(page_content=" + std::string(py::repr(py::str(d.page_content))) +
               ", metadata=" + std::string(py::repr(to_python(d.metadata))) + ")";
      });

  py::enum_<vectorstore::DistanceStrategy>(module, "DistanceStrategy",
                                           "How a store compares vectors.")
      .value("COSINE", vectorstore::DistanceStrategy::COSINE);
}

void bind_faiss(py::module_& module) {
  py::class_<FAISS, std::shared_ptr<FAISS>>(
      module, "FAISS",
      "A vector store over an exact inner-product FAISS index, saved as a folder of "
      "index.faiss and index.json.")
      .def_static(
          "from_embeddings",
          [](const py::iterable& text_embeddings, const py::handle embedding,
             const py::handle metadatas, vectorstore::DistanceStrategy distance_strategy) {
            auto pairs = text_embeddings_of(text_embeddings);
            auto values = metadatas_of(metadatas, pairs.size());
            auto model = embeddings_of(embedding);
            const py::gil_scoped_release release;
            return std::make_shared<FAISS>(FAISS::from_embeddings(
                std::move(pairs), std::move(model), std::move(values), distance_strategy));
          },
          py::kw_only(), py::arg("text_embeddings"), py::arg("embedding"),
          py::arg("metadatas") = py::none(),
          py::arg("distance_strategy") = vectorstore::DistanceStrategy::COSINE)
      .def_static(
          "load_local",
          [](const std::string& folder, const py::handle embeddings) {
            auto model = embeddings_of(embeddings);
            const py::gil_scoped_release release;
            return std::make_shared<FAISS>(FAISS::load_local(folder, std::move(model)));
          },
          py::arg("folder_path"), py::arg("embeddings"))
      .def(
          "save_local",
          [](const FAISS& store, const std::string& folder) {
            const py::gil_scoped_release release;
            store.save_local(folder);
          },
          py::arg("folder_path"))
      .def(
          "similarity_search",
          [](const FAISS& store, const py::handle query, std::size_t topk, const py::handle k) {
            const Value value = query_value(query);
            std::vector<Document> documents;
            {
              const py::gil_scoped_release release;
              documents = store.similarity_search(value, result_count(topk, k));
            }
            return documents_list(std::move(documents));
          },
          py::arg("query"), py::arg("topk") = 4, py::kw_only(), py::arg("k") = py::none(),
          "Up to topk documents (k, as LangChain names it, overrides it), most similar first.")
      .def(
          "similarity_search_with_score",
          [](const FAISS& store, const py::handle query, std::size_t topk, const py::handle k) {
            const Value value = query_value(query);
            std::vector<vectorstore::ScoredDocument> hits;
            {
              const py::gil_scoped_release release;
              hits = store.similarity_search_with_score(value, result_count(topk, k));
            }
            py::list list(hits.size());
            for (std::size_t i = 0; i < hits.size(); ++i) {
              list[i] = py::make_tuple(py::cast(std::move(hits[i].document)), hits[i].score);
            }
            return list;
          },
          py::arg("query"), py::arg("topk") = 4, py::kw_only(), py::arg("k") = py::none(),
          "As similarity_search, each document with its cosine similarity to the query.")
      .def_property_readonly("documents",
                             [](const FAISS& store) { return documents_list(store.documents()); })
      .def_property_readonly("dimension", &FAISS::dimension)
      .def("__len__", &FAISS::size);
}

}  // namespace

std::shared_ptr<vectorstore::Embeddings> embeddings_of(py::handle model) {
  if (py::isinstance<vectorstore::Embeddings>(model)) {
    return model.cast<std::shared_ptr<vectorstore::Embeddings>>();
  }
  return std::make_shared<PythonEmbeddings>(py::reinterpret_borrow<py::object>(model));
}

quellin::ClientOptions request_limits(unsigned retries, double timeout) {
  try {
    return quellin::client_options(retries, timeout);
  } catch (const std::invalid_argument& e) {
    throw ValueError(std::string("timeout: ") + e.what());
  }
}

void bind_vectorstore(py::module_& module) {
  bind_documents(module);
  bind_embeddings(module);
  bind_faiss(module);
}

}  // namespace tavrin::python
