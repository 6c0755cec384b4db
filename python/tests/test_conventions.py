# The host's conventions for every operation: binding by position or name, the exact kinds of
# text, list and mapping parameters tested in order before any work, floats converted when a
# call is bound, annotations, documentation texts and the module bindings.

import inspect
import os

import pandas as pd
import pytest

import tavrin.brollin as brollin
import tavrin.olvane as olvane
import tavrin.palisk as palisk
import tavrin.prompts as prompts
import tavrin.tessick as tessick


class Text(str):
    pass


class List(list):
    pass


class Mapping(dict):
    pass


DERIVED = {str: Text("a"), list: List(), dict: Mapping()}
WRONG = {str: b"a", list: ("a",), dict: [("a", 1)]}


class RecordingModel:
    def __init__(self):
        self.calls = 0

    def embed_documents(self, texts):
        self.calls += 1
        return [[1.0, 0.0] for _ in texts]


def operations(tmp_path):
    """Each operation with valid arguments and the kinds of its tested parameters, in order."""
    table = pd.DataFrame({"q": ["a"], "l": ["x"]})
    path = str(tmp_path / "store")
    model = RecordingModel()
    return model, [
        (
            brollin.save2faiss,
            dict(
                datas=table,
                src_fieldnames=["q"],
                tgt_fieldnames=["l"],
                faiss_index_path=path,
                embedding_model=model,
            ),
            [("src_fieldnames", list), ("tgt_fieldnames", list), ("faiss_index_path", str)],
        ),
        (
            brollin.data2faiss,
            dict(
                labels={"l": ["x"]},
                train_data=table,
                src_fieldnames=["q"],
                tgt_fieldnames=["l"],
                faiss_tgt_fieldnames=["l"],
                train_data_faiss_path=path,
                base_faiss_path=str(tmp_path),
                embedding_model=model,
            ),
            [
                ("labels", dict),
                ("src_fieldnames", list),
                ("tgt_fieldnames", list),
                ("faiss_tgt_fieldnames", list),
                ("train_data_faiss_path", str),
                ("base_faiss_path", str),
            ],
        ),
        (
            palisk.chat,
            dict(prompt="p", url="http://127.0.0.1:9/x", key="k"),
            [("prompt", str), ("url", str), ("key", str), ("model_name", str)],
        ),
        (
            palisk.llm_response,
            dict(base_url="http://127.0.0.1:9/x", base_key="k", prompt="p"),
            [("base_url", str), ("base_key", str), ("prompt", str), ("llm_name", str)],
        ),
        (palisk.llm_postprocess, dict(response="1"), [("response", str)]),
        (
            tessick.split_data,
            dict(
                datas=table,
                tgt_train_data_path=str(tmp_path / "train.csv"),
                tgt_test_data_path=str(tmp_path / "test.csv"),
            ),
            [("tgt_train_data_path", str), ("tgt_test_data_path", str)],
        ),
        (
            prompts.llm_data_analyze,
            dict(chat=None, llm_url="u", llm_key="k", data=[1], goal="g"),
            [("data", list), ("goal", str)],
        ),
        (
            olvane.check_result,
            dict(result={}, labels={}, tgt_fieldnames=["l"], DB_MAPS={}),
            [("result", dict), ("labels", dict), ("tgt_fieldnames", list), ("DB_MAPS", dict)],
        ),
    ]


def call(operation, arguments):
    value = operation(**arguments)
    if inspect.iscoroutine(value):
        value.close()  # bound and tested; never sent
    return value


def test_a_parameter_of_the_wrong_kind_is_a_type_error_naming_it_before_any_work(tmp_path):
    model, table = operations(tmp_path)
    for operation, valid, tested in table:
        for name, kind in tested:
            for bad in (WRONG[kind], DERIVED[kind], None):
                with pytest.raises(TypeError, match=name):
                    call(operation, {**valid, name: bad})
    assert model.calls == 0
    assert os.listdir(tmp_path) == []


def test_the_first_bad_parameter_in_order_is_the_one_reported(tmp_path):
    _, table = operations(tmp_path)
    for operation, valid, tested in table:
        if len(tested) < 2:
            continue
        (first, first_kind), (second, second_kind) = tested[0], tested[-1]
        bad = {**valid, first: WRONG[first_kind], second: WRONG[second_kind]}
        with pytest.raises(TypeError, match=first):
            call(operation, bad)


def test_binding_faults_are_type_errors(tmp_path):
    _, table = operations(tmp_path)
    for operation, valid, _ in table:
        names = list(valid)
        with pytest.raises(TypeError):
            operation(*[valid[n] for n in names[:-1]])  # a required one missing
        with pytest.raises(TypeError):
            operation(**valid, no_such_parameter=1)
        with pytest.raises(TypeError):
            operation(*[valid[n] for n in names], **{names[0]: valid[names[0]]})
        parameters = inspect.signature(operation).parameters
        with pytest.raises(TypeError):
            operation(*([None] * (len(parameters) + 1)))
    # By position works as by name.
    assert palisk.llm_postprocess("[1]") == [1]


def test_floats_are_converted_when_bound_and_text_or_none_refused(tmp_path):
    for bad in ("0.1", None, [0.1]):
        with pytest.raises(TypeError, match="temper"):
            palisk.chat("p", "u", "k", temper=bad)
        with pytest.raises(TypeError, match="test_data_ratio"):
            tessick.split_data(pd.DataFrame({"q": [1]}), "a", "b", bad)
    # A float is checked before the texts that come before it.
    with pytest.raises(TypeError, match="temper"):
        palisk.chat(None, "u", "k", temper=None)
    table = pd.DataFrame({"q": list(range(10))})
    tessick.split_data(table, str(tmp_path / "a.csv"), str(tmp_path / "b.csv"), 1)
    assert len(pd.read_csv(tmp_path / "b.csv")) == 10


def test_truth_values_are_taken_by_their_truth_test():
    class Untestable:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        palisk.llm_response("u", "k", "p", "m", Untestable())
    palisk.llm_response("u", "k", "p", "m", None).close()


def test_annotations_documentation_and_module_bindings():
    assert brollin.save2faiss.__annotations__ == {
        "datas": "pd.DataFrame",
        "src_fieldnames": list,
        "tgt_fieldnames": list,
        "faiss_index_path": str,
    }
    assert brollin.data2faiss.__annotations__ == {
        "labels": dict,
        "train_data": "pd.DataFrame",
        "src_fieldnames": list,
        "tgt_fieldnames": list,
        "faiss_tgt_fieldnames": list,
        "train_data_faiss_path": str,
        "base_faiss_path": str,
    }
    assert palisk.chat.__annotations__ == {
        "prompt": str, "url": str, "key": str, "model_name": str, "temper": float,
    }
    assert palisk.llm_response.__annotations__ == {
        "base_url": str, "base_key": str, "prompt": str, "llm_name": str, "is_json": bool,
        "return": dict,
    }
    assert palisk.llm_postprocess.__annotations__ == {"response": str}
    assert tessick.split_data.__annotations__ == {
        "datas": "pd.DataFrame",
        "tgt_train_data_path": "str",
        "tgt_test_data_path": "str",
        "test_data_ratio": "float",
    }
    assert tessick.split_data.__defaults__ == (0.1,)
    assert prompts.llm_data_analyze.__annotations__ == {"data": list, "goal": str}
    assert olvane.check_result.__annotations__ == {
        "result": dict, "labels": dict, "tgt_fieldnames": list, "DB_MAPS": dict,
    }
    assert inspect.signature(brollin.save2faiss).parameters["batch_size"].default == 64
    assert inspect.signature(palisk.chat).parameters["model_name"].default == "qwen-max"
    assert inspect.signature(palisk.chat).parameters["temper"].default == 0.1
    assert inspect.signature(palisk.llm_response).parameters["llm_name"].default == "qwen3-max"

    assert brollin.__doc__ == "实现向量化存储"
    assert tessick.__doc__ is None
    assert palisk.chat.__doc__ == "调用 LLM 模型进行对话"
    assert brollin.save2faiss.__doc__.startswith("将数据保存到 FAISS 向量数据库中\n    Args:\n")
    assert brollin.save2faiss.__doc__.endswith("用于生成向量的模型.\n    ")
    assert brollin.data2faiss.__doc__.startswith("根据标签将数据分割并保存为多个 FAISS 向量数据库\n")
    assert tessick.split_data.__doc__.endswith("Defaults to 0.1.\n    ")
    assert prompts.llm_data_analyze.__doc__.endswith("str: 用于 LLM 的 Prompt\n    ")
    assert olvane.check_result.__doc__.endswith("checked_result(dict): 检查后的结果\n    ")

    assert palisk.__all__ == ["chat", "llm_postprocess", "llm_response"]
    assert olvane.data2faiss is brollin.data2faiss
    assert not hasattr(olvane, "DB_MAPS")
    for name in ("pd", "os", "np", "Document", "DistanceStrategy", "FAISS"):
        assert hasattr(brollin, name)
    for name in ("ast", "json", "aiohttp", "async_call_api"):
        assert hasattr(palisk, name)
    assert hasattr(prompts, "ast") and hasattr(tessick, "pd")


def test_palisk_does_not_load_without_its_transport(tmp_path):
    import subprocess
    import sys

    (tmp_path / "quellin.py").write_text("raise ImportError('no transport here')\n")
    env = {**os.environ, "PYTHONPATH": f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}
    run = subprocess.run(
        [sys.executable, "-c", "import tavrin.palisk"], env=env, capture_output=True, text=True,
        cwd=tmp_path
    )
    assert run.returncode != 0 and "ImportError" in run.stderr
    (tmp_path / "quellin.py").write_text("x = 1\n")  # loads, but offers no async_call_api
    run = subprocess.run(
        [sys.executable, "-c", "import tavrin.palisk"], env=env, capture_output=True, text=True,
        cwd=tmp_path
    )
    assert run.returncode != 0 and "ImportError" in run.stderr
