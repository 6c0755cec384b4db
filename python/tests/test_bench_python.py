# bench/python.py kept runnable and honest: at small sizes its three pieces run and both sides
# agree, its stub answers as bench/label.cpp's does, and a side that disagrees fails the run.

import importlib.util
import json
import subprocess
import sys
import time
import urllib.request

import pytest

from conftest import SOURCE_DIR

BENCH = SOURCE_DIR / "bench" / "python.py"


@pytest.fixture(scope="module")
def bench():
    found = importlib.util.spec_from_file_location("bench_python", BENCH)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_a_small_run_measures_every_piece_and_both_sides_agree():
    run = subprocess.run(
        [sys.executable, str(BENCH), "--rows", "400", "--predictions", "300", "--records", "40",
         "--in-flight", "8", "--runs", "1"],
        capture_output=True, text=True, timeout=300)
    out = run.stdout
    assert run.returncode == 0, out + run.stderr
    assert "same training documents on both sides: 400 of 400; field stores the same: yes" in out
    assert "same checked values on both sides: 300 of 300;" in out
    assert "40 done, 0 failed; same checked values on both sides: 40 of 40 records" in out
    assert out.count("(goal ") == 3
    # The library's own lines stay out of the report.
    assert "FAISS 已保存至" not in out and "构建文档中" not in out + run.stderr


def test_the_predictions_hold_near_misses_that_the_check_restores(bench):
    labels = bench.make_labels()
    predictions, truths = bench.make_predictions(1000, labels)
    values = [(p[f], t[f], f) for p, t in zip(predictions, truths) for f in bench.FIELDS]
    misses = [(value, truth) for value, truth, f in values if value not in labels[f]]
    assert 0.15 < len(misses) / len(values) < 0.35
    assert all(value != truth for value, truth in misses)
    assert all(value == truth for value, truth, f in values if value in labels[f])


def test_the_stub_answers_after_its_delay_with_the_answer_the_record_picks(bench, tmp_path):
    nginx = bench.Nginx(str(tmp_path / "nginx"))
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        assert nginx.running()
        for digit, answer in enumerate(bench.ANSWERS):
            body = json.dumps({"messages": [{"role": "user", "content": f"单号#{digit}1234"}]},
                              ensure_ascii=False).encode()
            request = urllib.request.Request(nginx.url("/v1/chat/completions"), data=body,
                                             headers={"Content-Type": "application/json"})
            start = time.perf_counter()
            with direct.open(request, timeout=10) as response:
                reply = json.load(response)
            assert time.perf_counter() - start >= bench.DELAY * 0.9
            assert reply["choices"][0]["message"]["content"] == answer
            assert reply["model"] == bench.MODEL
    finally:
        nginx.stop()
    assert not nginx.accepts()


def test_a_side_that_checks_otherwise_fails_the_run(bench, tmp_path, monkeypatch, capsys):
    labels = bench.make_labels()
    bench.build_both(str(tmp_path), labels, bench.make_table(1, labels))
    assert bench.bench_check(str(tmp_path), 200, 200, 1, labels)
    honest = bench.python_check

    def one_value_off(predictions, labels, stores):
        checked = honest(predictions, labels, stores)
        checked[-1] = dict(checked[-1], category=labels["category"][0] + "?")
        return checked

    monkeypatch.setattr(bench, "python_check", one_value_off)
    assert not bench.bench_check(str(tmp_path), 200, 200, 1, labels)
    assert "same checked values on both sides: 199 of 200;" in capsys.readouterr().out
