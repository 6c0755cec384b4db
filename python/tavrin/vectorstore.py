# The vector store and its documents, in the roles the host's vector store component plays:
# FAISS (from_embeddings, save_local, load_local, similarity_search,
# similarity_search_with_score), Document (page_content, metadata), DistanceStrategy.COSINE;
# and the embedding models: HashingEmbeddings (offline) and OpenAIEmbeddings. Any object with
# embed_documents(list[str]) -> list[list[float]] serves as a model as well.

from tavrin._native import (
    FAISS,
    DistanceStrategy,
    Document,
    Embeddings,
    HashingEmbeddings,
    OpenAIEmbeddings,
)

__all__ = [
    "FAISS",
    "DistanceStrategy",
    "Document",
    "Embeddings",
    "HashingEmbeddings",
    "OpenAIEmbeddings",
]
