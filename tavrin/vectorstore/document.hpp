// The stored unit of a vector store: a text with its metadata mapping.
//
//   Document d{"售后服务", Value{{"id", 7}}};
//   d.page_content   // -> "售后服务"
#pragma once

#include <string>

#include "tavrin/core/value.hpp"

namespace tavrin::vectorstore {

/// One stored text, `page_content`, with its `metadata` (an object, insertion-ordered).
struct Document {
  std::string page_content;
  Value metadata = Value::object();

  friend bool operator==(const Document&, const Document&) = default;
};

/// How a store compares vectors.
enum class DistanceStrategy {
  /// Cosine similarity: vectors are scaled to unit length, then compared by inner product.
  COSINE,
};

}  // namespace tavrin::vectorstore
