# Values crossing between Python and the C++ library through a store's documents: key order,
# integers up to 64 bits, floats, text that is not UTF-8, and the errors of what cannot cross;
# a Python embedding model's failures reach the caller unchanged.

import math

import numpy as np
import pandas as pd
import pytest

import tavrin.brollin as brollin
from tavrin.vectorstore import FAISS, Document, HashingEmbeddings, OpenAIEmbeddings


def round_trip(metadata, tmp_path):
    model = HashingEmbeddings(8)
    store = FAISS.from_embeddings(
        text_embeddings=[("t", model.embed_query("t"))], embedding=model, metadatas=[metadata])
    store.save_local(str(tmp_path / "s"))
    return FAISS.load_local(str(tmp_path / "s"), model).documents[0].metadata


def test_values_keep_their_kind_and_order(tmp_path):
    metadata = {
        "z": None, "a": True, "big": 2**64 - 1, "small": -(2**63), "f": 0.1, "nested": {"y": [1, "二", [None]], "x": {}},
        "tuple": (1, 2), "numpy": np.int64(7), "array": np.array([1.5, 2.5])
    }
    back = round_trip(metadata, tmp_path)
    assert list(back) == list(metadata)
    assert back["big"] == 2**64 - 1 and back["small"] == -(2**63)
    assert back["nested"] == {"y": [1, "二", [None]], "x": {}} and list(back["nested"]) == ["y", "x"]
    assert back["tuple"] == [1, 2] and back["numpy"] == 7 and back["array"] == [1.5, 2.5]
    assert type(back["a"]) is bool and type(back["f"]) is float and back["f"] == 0.1


def test_what_cannot_cross_is_named(tmp_path):
    assert Document("t", {"b": b"\xff"}).metadata == {"b": b"\xff"}
    with pytest.raises(ValueError, match="binary"):
        round_trip({"b": b"\xff"}, tmp_path)
    with pytest.raises(ValueError, match="64 bits"):
        Document("t", {"n": 2**64})
    with pytest.raises(TypeError, match="key must be text"):
        Document("t", {1: "a"})
    with pytest.raises(TypeError, match="set"):
        Document("t", {"s": {1}})
    with pytest.raises(ValueError, match="non-finite"):
        round_trip({"n": math.nan}, tmp_path)


def test_text_that_is_not_utf8_crosses_as_its_escaped_bytes():
    escaped = b"caf\xe9".decode("utf-8", "surrogateescape")
    assert Document(escaped).page_content == escaped


def test_a_search_embeds_a_non_text_query_by_its_str_form():
    model = HashingEmbeddings(16)
    texts = ["1.5", "(1, 2)", "None"]
    store = FAISS.from_embeddings(
        text_embeddings=[(t, model.embed_query(t)) for t in texts], embedding=model)
    assert store.similarity_search(1.5, topk=1)[0].page_content == "1.5"
    assert store.similarity_search((1, 2), 1)[0].page_content == "(1, 2)"
    assert [d.page_content for d in store.similarity_search("x", k=2)] == [
        d.page_content for d in store.similarity_search("x", topk=2)]
    with pytest.raises(ValueError):
        store.similarity_search(None, topk=1)


def test_a_rows_cells_are_read_as_pandas_reads_the_row(tmp_path, capsys):
    seen = []

    class Model:
        def embed_documents(self, texts):
            seen.append(texts)
            return [[1.0, float(i)] for i in range(len(texts))]

    numeric = pd.DataFrame({"i": [1, 2], "f": [0.5, np.nan]})  # a row of floats: 1.0
    brollin.save2faiss(numeric, ["i", "f", "i"], ["i"], str(tmp_path / "a"), Model())
    assert seen[-1] == ["1.0,0.5,1.0", "2.0,nan,2.0"]
    mixed = pd.DataFrame({"i": [1], "s": ["x,y"], "b": [True]})  # a row of objects: 1
    brollin.save2faiss(mixed, ["i", "s", "b"], ["b", "i", "b"], str(tmp_path / "b"), Model())
    assert seen[-1] == ["1,x,y,True"]
    documents = FAISS.load_local(str(tmp_path / "b"), Model()).documents
    assert documents[0].metadata == {"b": True, "i": 1}
    brollin.save2faiss(mixed, [], [], str(tmp_path / "e"), Model())  # no cell, one text per row
    assert seen[-1] == [""]
    empty = pd.DataFrame({"q": []})
    brollin.save2faiss(empty, ["nope"], [], str(tmp_path / "c"), Model())  # no row, no lookup
    assert seen[-1] == []
    with pytest.raises(KeyError):
        brollin.save2faiss(mixed, ["nope"], [], str(tmp_path / "d"), Model())
    assert capsys.readouterr().out.splitlines() == [
        f"FAISS 已保存至：{tmp_path}/a", f"FAISS 已保存至：{tmp_path}/b",
        f"FAISS 已保存至：{tmp_path}/e", f"FAISS 已保存至：{tmp_path}/c"]


def test_a_python_models_failure_reaches_the_caller_unchanged(tmp_path):
    class Refusal(Exception):
        pass

    class Failing:
        def embed_documents(self, texts):
            raise Refusal("no")

    class Ragged:
        def embed_documents(self, texts):
            return [[1.0], [1.0, 2.0]]

    table = pd.DataFrame({"q": ["a", "b"]})
    with pytest.raises(Refusal):
        brollin.save2faiss(table, ["q"], [], str(tmp_path / "x"), Failing())
    with pytest.raises(ValueError):
        brollin.save2faiss(table, ["q"], [], str(tmp_path / "y"), Ragged())
    assert not (tmp_path / "x").exists() and not (tmp_path / "y").exists()


def test_an_openai_compatible_endpoint_as_a_model(stand_in, tmp_path):
    model = OpenAIEmbeddings(stand_in.base_url, "sk-e", "embedder", batch_size=2)
    assert model.embed_documents(["ab", "c", "def"]) == [[2.0, 97.0], [1.0, 99.0], [3.0, 100.0]]
    assert [len(body["input"]) for _, body in stand_in.requests] == [2, 1]
    assert dict(stand_in.requests[0][0])["Authorization"] == "Bearer sk-e"
    assert model.identity == "openai/embedder"
    table = pd.DataFrame({"q": ["ab", "xyz"]})
    brollin.save2faiss(table, ["q"], [], str(tmp_path / "s"), model)
    store = FAISS.load_local(str(tmp_path / "s"), model)
    assert store.similarity_search("zzz", topk=1)[0].page_content == "xyz"
    with pytest.raises(ValueError):
        OpenAIEmbeddings("ftp://x", "k", "m")
