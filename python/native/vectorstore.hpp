// The vector store's types for Python: Document, DistanceStrategy, the embedding models
// (HashingEmbeddings, OpenAIEmbeddings) and the FAISS store, in the folder format of the C++
// library, so that Python and C++ read each other's stores.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "quellin/client.hpp"
#include "tavrin/vectorstore/embeddings.hpp"

namespace tavrin::python {

namespace py = pybind11;

void bind_vectorstore(py::module_& module);

/// The C++ model behind `model`: tavrin's own model as it is, any other object with
/// `embed_documents(list[str]) -> list[list[float]]` (and maybe `embed_query`) as a model
/// whose calls block and take the GIL.
std::shared_ptr<vectorstore::Embeddings> embeddings_of(py::handle model);

/// Retries and time limits of each request, from the number of retries and the seconds a
/// request may take (and may stay silent); ValueError for a time that is not in 0.001 to 86400.
quellin::ClientOptions request_limits(unsigned retries, double timeout);

}  // namespace tavrin::python
