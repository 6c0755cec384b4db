# The road of one piece of work from Python: a pandas table split, stores built with a Python
# embedding model, a prediction asked of the stand-in endpoint and checked; and the files on
# the way, which pandas and the C++ tool read as their own.

import asyncio
import json
import subprocess

import pandas as pd
import pytest

import tavrin.brollin as brollin
import tavrin.olvane as olvane
import tavrin.palisk as palisk
import tavrin.tessick as tessick
from conftest import SOURCE_DIR, TAVRIN_BIN
from tavrin.vectorstore import FAISS, Document, HashingEmbeddings

TICKETS = SOURCE_DIR / "examples" / "data" / "tickets.csv"
LABELS = json.loads((SOURCE_DIR / "examples" / "data" / "labels.json").read_text())
FIELDS = ["product", "category", "priority"]


def pandas_split(datas, train_path, test_path, ratio):
    shuffled = datas.sample(frac=1, random_state=42).reset_index(drop=True)
    size = int(len(datas) * ratio)
    shuffled.iloc[size:].to_csv(train_path, index=False)
    shuffled.iloc[:size].to_csv(test_path, index=False)


def test_split_data_writes_what_pandas_writes(tmp_path, capsys):
    mixed = pd.DataFrame(
        {
            "text": ["a,b", 'say "hi"', "line\nbreak", "", None, "售后", "x", "y", "z", "w"],
            "number": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10],
            "ratio": [0.1, 1e-7, 1e16, float("nan"), 2.5, -0.0, 3.0, 1 / 3, 7.0, 8.5],
            "flag": [True, False] * 5,
            "mixed": [1, "a", 2.5, None, True, "b", 3, "c", 4.0, "d"],
        }
    )
    kinds = pd.DataFrame(
        {
            "day": pd.to_datetime(["2020-01-01", "2021-02-03", None, "2022-03-04"] * 3),
            "moment": pd.to_datetime([f"2020-01-0{i} 10:0{i}" for i in range(1, 4)] + [None] * 9),
            "wait": pd.to_timedelta([1, 2, None, 4] * 3, unit="s"),
            "kind": pd.Categorical(["a", "b", None, "a"] * 3),
            "single": pd.Series([0.1, 0.2, None, 1e-8] * 3, dtype="float32"),
            "count": pd.array([1, None, 3, 4] * 3, dtype="Int64"),
            "small": pd.Series([1, 2, 3, 4] * 3, dtype="int32"),
        }
    )
    for table in (pd.read_csv(TICKETS), mixed, kinds):
        for ratio in (0.1, 0.57, 1, -0.15, 2):
            tessick.split_data(table, str(tmp_path / "train.csv"), str(tmp_path / "test.csv"), ratio)
            pandas_split(table, tmp_path / "ptrain.csv", tmp_path / "ptest.csv", ratio)
            for name in ("train", "test"):
                ours = (tmp_path / f"{name}.csv").read_bytes()
                assert ours == (tmp_path / f"p{name}.csv").read_bytes(), (ratio, name)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 15
    assert lines[0] == f"训练集数据量:2700，保存到: {tmp_path}/train.csv, 测试集数据量:300，保存到: {tmp_path}/test.csv"


def test_the_road_with_a_dataframe_and_a_python_model(tmp_path, capsys, stand_in, python_model):
    tessick.split_data(pd.read_csv(TICKETS), str(tmp_path / "train.csv"), str(tmp_path / "test.csv"))
    train = pd.read_csv(tmp_path / "train.csv")
    stores = tmp_path / "stores"
    brollin.data2faiss(
        LABELS, train, ["question"], FIELDS, FIELDS, str(stores / "train"), str(stores), python_model
    )
    out = capsys.readouterr()
    assert out.out.splitlines()[1:] == [
        f"FAISS 已保存至：{stores}/train",
        f"FAISS 已保存至：{stores}/product",
        f"FAISS 已保存至：{stores}/category",
        f"FAISS 已保存至：{stores}/priority",
    ]
    assert "构建文档中" in out.err  # the progress display, on sys.stderr
    # One embedding call per store, with every text.
    assert [len(call) for call in python_model.calls] == [2700, 6, 6, 4]
    assert python_model.calls[0][0] == train["question"][0]

    train_store = FAISS.load_local(str(stores / "train"), python_model)
    first = train_store.similarity_search(train["question"][0], topk=1)[0]
    assert first.page_content == train["question"][0]
    assert list(first.metadata) == FIELDS
    DB_MAPS = {f: FAISS.load_local(str(stores / f), python_model) for f in FIELDS}

    stand_in.answer = lambda body: '{"product": "电视机", "category": "售后服务", "priority": "P3"}'
    prediction = asyncio.run(palisk.llm_response(stand_in.url, "k", "哪个产品？"))
    checked = olvane.check_result(prediction, LABELS, FIELDS, DB_MAPS)
    assert checked["category"] == "售后服务" and checked["priority"] == "P3"
    assert checked["product"] in LABELS["product"]
    assert checked["category"] is prediction["category"]  # the very value, kept


def test_check_result_takes_the_hosts_own_stores_and_python_equality():
    class HostStore:
        def __init__(self):
            self.queries = []

        def similarity_search(self, query, topk):
            self.queries.append((query, topk))
            return [Document("nearest")]

    store = HostStore()
    result = {"a": 1, "b": (1, 2), "c": "no", "extra": 0}
    labels = {"a": [True], "b": [(1, 2)], "c": {"yes"}}
    checked = olvane.check_result(result, labels, ["c", "a", "b", "missing", "c"], {"c": store, "missing": store})
    assert checked == {"c": "nearest", "a": 1, "b": (1, 2), "missing": "nearest"}
    assert list(checked) == ["c", "a", "b", "missing"]
    assert store.queries == [("no", 1), (None, 1), ("no", 1)]
    with pytest.raises(AttributeError):
        olvane.check_result({"a": "x"}, {"a": ["y"]}, ["a"], {})


@pytest.mark.skipif(not TAVRIN_BIN, reason="the tavrin tool is not built")
def test_stores_built_in_python_are_read_by_the_tool_and_back(tmp_path):
    model = HashingEmbeddings()
    train = pd.read_csv(TICKETS).head(200)
    train.to_csv(tmp_path / "train.csv", index=False)
    brollin.data2faiss(LABELS, train, ["question"], FIELDS, FIELDS,
                       str(tmp_path / "py" / "train"), str(tmp_path / "py"), model)
    predictions = [
        {"product": "电视机", "category": "售后", "priority": "p1"},
        {"product": "手机", "category": "物流订单", "priority": "P0"},
    ]
    (tmp_path / "predictions.jsonl").write_text("".join(json.dumps(p) + "\n" for p in predictions))
    (tmp_path / "labels.json").write_text(json.dumps(LABELS))

    def tool_check(stores):
        run = subprocess.run(
            [TAVRIN_BIN, "check", str(tmp_path / "predictions.jsonl"),
             "--labels", str(tmp_path / "labels.json"), "--stores", str(stores)],
            capture_output=True, text=True, check=True)
        return [json.loads(line) for line in run.stdout.splitlines()]

    def python_check(stores, layout):
        DB_MAPS = {f: FAISS.load_local(str(stores / layout / f), model) for f in FIELDS}
        return [olvane.check_result(p, LABELS, FIELDS, DB_MAPS) for p in predictions]

    assert tool_check(tmp_path / "py") == python_check(tmp_path, "py")
    subprocess.run([TAVRIN_BIN, "build", str(tmp_path / "train.csv"), "--labels",
                    str(tmp_path / "labels.json"), "--out", str(tmp_path / "cpp")],
                   capture_output=True, check=True)
    assert python_check(tmp_path / "cpp", "fields") == python_check(tmp_path, "py")
    cpp_train = FAISS.load_local(str(tmp_path / "cpp" / "train"), model)
    py_train = FAISS.load_local(str(tmp_path / "py" / "train"), model)
    assert cpp_train.documents == py_train.documents
