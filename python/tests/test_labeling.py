# The labelling job from Python against the stand-in endpoint: over a DataFrame and over a CSV
# file, blocking and awaited, killed and resumed, cancelled and resumed, with a Python
# embedding model; and what follows it: results as a DataFrame, tally, report, review, export.

import asyncio
import json
import os
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest

import tavrin.brollin as brollin
import tavrin.labeling as labeling
from conftest import SOURCE_DIR
from tavrin.vectorstore import HashingEmbeddings

TICKETS = SOURCE_DIR / "examples" / "data" / "tickets.csv"
LABELS_FILE = SOURCE_DIR / "examples" / "data" / "labels.json"
LABELS = json.loads(LABELS_FILE.read_text())
FIELDS = ["product", "category", "priority"]
ANSWER = '{"product": "电视机", "category": "售后服务", "priority": "P2"}'


def build_stores(folder, model):
    train = pd.read_csv(TICKETS).iloc[100:400]
    brollin.data2faiss(LABELS, train, ["question"], FIELDS, FIELDS, str(folder / "train"),
                       str(folder), model)
    return folder


@pytest.fixture
def stores(tmp_path):
    return build_stores(tmp_path / "stores", HashingEmbeddings())


@pytest.fixture
def records(tmp_path):
    table = pd.read_csv(TICKETS).head(40)
    table.to_csv(tmp_path / "records.csv", index=False)
    return table


def settings(stand_in, stores, **more):
    return dict(labels=LABELS_FILE, stores=stores, llm_url=stand_in.url, llm_key="sk-test",
                progress=False, **more)


def lines_of(path):
    return [json.loads(line) for line in open(path, encoding="utf-8")]


def test_a_dataframe_and_its_csv_file_give_the_same_results(tmp_path, stand_in, stores, records):
    stand_in.answer = lambda body: ANSWER
    from_frame = labeling.label(records, out=tmp_path / "a.jsonl", **settings(stand_in, stores))
    from_file = labeling.label(tmp_path / "records.csv", out=tmp_path / "b.jsonl",
                               typed_ids=True, **settings(stand_in, stores))
    assert from_frame["done"] == from_file["done"] == 40 and from_frame["failed"] == 0
    assert from_frame["fields"]["category"]["kept"] == 40
    assert from_frame["fields"]["product"]["replaced"] == 40
    assert from_frame["language"] == "zh (detected)"
    assert lines_of(tmp_path / "a.jsonl") == lines_of(tmp_path / "b.jsonl")
    assert dict(stand_in.requests[0][0])["Authorization"] == "Bearer sk-test"

    frame = labeling.read_results(tmp_path / "a.jsonl")
    assert len(frame) == 40 and list(frame["id"]) == list(records["id"])
    assert set(frame["product_checked"]) <= set(LABELS["product"])
    assert list(frame["category_gold"]) == list(records["category"])
    assert frame["error"].isna().all()
    # A run again has nothing left to do.
    again = labeling.label(records, out=tmp_path / "a.jsonl", **settings(stand_in, stores))
    assert again["resumed"] == 40 and len(stand_in.requests) == 80


def test_shard_auto_takes_the_schedulers_task(tmp_path, stand_in, stores, records, monkeypatch):
    stand_in.answer = lambda body: ANSWER
    monkeypatch.setenv("JOB_COMPLETION_INDEX", "1")
    tally = labeling.label(records, out=tmp_path / "part-{shard}.jsonl", shard="auto", shards=4,
                           **settings(stand_in, stores))
    assert tally["done"] == 10
    assert [line["id"] for line in lines_of(tmp_path / "part-1.jsonl")] == list(records["id"][1::4])
    monkeypatch.delenv("JOB_COMPLETION_INDEX")
    with pytest.raises(ValueError, match="SLURM_ARRAY_TASK_ID"):
        labeling.label(records, out=tmp_path / "x.jsonl", shard="auto", **settings(stand_in, stores))


def test_bad_settings_are_named_before_any_request(tmp_path, stand_in, stores, records):
    for bad, name in [(dict(shard="2/2"), "2/2"), (dict(fields=["nope"]), "nope"),
                      (dict(repair="maybe"), "maybe"), (dict(confidence="always"), "always")]:
        with pytest.raises(ValueError, match=name):
            labeling.label(records, out=tmp_path / "x.jsonl", **settings(stand_in, stores), **bad)
    assert stand_in.requests == [] and not (tmp_path / "x.jsonl").exists()


JOB_SCRIPT = (
    "import tavrin.labeling as l, sys\n"
    "l.label(sys.argv[1], out=sys.argv[2], labels=sys.argv[3], stores=sys.argv[4],"
    " llm_url=sys.argv[5], in_flight=2, progress=False)\n"
)


def start_job(tmp_path, out, stores, stand_in):
    """The job in a process of its own, once it has written five lines."""
    job = subprocess.Popen(
        [sys.executable, "-c", JOB_SCRIPT, str(tmp_path / "records.csv"), str(out),
         str(LABELS_FILE), str(stores), stand_in.url],
        stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and (not out.exists() or len(out.read_bytes().splitlines()) < 5):
        time.sleep(0.01)
    return job


@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGINT])
def test_a_killed_or_interrupted_job_resumes_where_it_stopped(tmp_path, stand_in, stores, records, stop):
    stand_in.answer = lambda body: ANSWER
    stand_in.delay = 0.05
    out = tmp_path / "stopped.jsonl"
    job = start_job(tmp_path, out, stores, stand_in)
    job.send_signal(stop)
    _, errors = job.communicate(timeout=30)
    assert job.returncode != 0
    if stop == signal.SIGINT:  # Ctrl-C: the job stopped cleanly and said so
        assert "KeyboardInterrupt" in errors and "resumes" in errors
    written = len(lines_of(out))
    assert 5 <= written < 40
    tally = labeling.label(tmp_path / "records.csv", out=out, **settings(stand_in, stores))
    assert tally["resumed"] == written and tally["done"] == 40
    assert sorted(line["id"] for line in lines_of(out)) == sorted(str(i) for i in records["id"])


def test_awaited_and_cancelled_then_resumed(tmp_path, stand_in, python_model, records):
    # The task is cancelled while the job waits on a slow model's call: it must not end
    # before the job has let go of its results file, which the run after it takes at once.
    stores = build_stores(tmp_path / "pystores", python_model)
    python_model.delay = 0.02
    stand_in.answer = lambda body: ANSWER
    stand_in.delay = 0.05
    out = tmp_path / "async.jsonl"
    run = dict(settings(stand_in, stores), embeddings=python_model)

    async def cancel_midway():
        task = asyncio.ensure_future(labeling.label_async(records, out=out, in_flight=2, **run))
        while not out.exists() or len(out.read_bytes().splitlines()) < 3:
            await asyncio.sleep(0.01)
        python_model.delay = 1.0
        await asyncio.sleep(0.3)  # the job is inside a one-second call now
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(asyncio.wait_for(cancel_midway(), 60))
    written = len(lines_of(out))
    assert 3 <= written < 40
    stand_in.delay = python_model.delay = 0
    tally = asyncio.run(labeling.label_async(records, out=out, **run))
    assert tally["resumed"] == written and tally["done"] == 40


def test_a_python_embedding_model_serves_the_job(tmp_path, stand_in, python_model, records):
    stores = build_stores(tmp_path / "pystores", python_model)
    calls = len(python_model.calls)
    stand_in.answer = lambda body: ANSWER
    tally = labeling.label(records, out=tmp_path / "py.jsonl", embeddings=python_model,
                           **settings(stand_in, stores))
    assert tally["done"] == 40 and tally["failed"] == 0
    assert len(python_model.calls) > calls  # queries embedded by the Python model


def test_what_follows_the_job(tmp_path, stand_in, stores, records):
    stand_in.answer = lambda body: ANSWER
    out = tmp_path / "r.jsonl"
    labeling.label(records, out=out, **settings(stand_in, stores))
    tally = labeling.tally([out])
    assert tally["done"] == 40 and set(tally["fields"]) == set(FIELDS)
    right = sum(records["category"] == "售后服务")
    assert tally["fields"]["category"]["checked_right"] == right

    lines = labeling.report(out, tmp_path / "report.html", title="从 Python")
    assert any("category" in line for line in lines)
    assert "从 Python" in (tmp_path / "report.html").read_text(encoding="utf-8")

    queued = labeling.review(out, tmp_path / "review.csv", records=tmp_path / "records.csv")
    review = pd.read_csv(tmp_path / "review.csv")
    assert queued == len(review) == 40  # every product value was replaced
    review["answer"] = review["checked"]
    review.to_csv(tmp_path / "review.csv", index=False)
    assert labeling.apply_review(out, tmp_path / "review.csv", LABELS) == {"answers": 40, "files": 1}
    assert set(labeling.read_results(out)["product_decision"]) == {"reviewed"}

    counts = labeling.export(out, tmp_path / "records.csv", tmp_path / "labelled.csv")
    assert counts["rows"] == counts["labelled"] == 40
    labelled = pd.read_csv(tmp_path / "labelled.csv")
    assert list(labelled.columns[-3:]) == ["priority_checked", "priority_decision", "priority_confidence"]


def test_a_token_budget_and_the_completion_cap(tmp_path, stand_in, stores, records):
    stand_in.answer = lambda body: ANSWER
    out = tmp_path / "budget.jsonl"
    # Not even one request fits: nothing is sent, and the tally says why.
    spent = labeling.label(records, out=out, budget_tokens=1, **settings(stand_in, stores))
    assert spent["budget"] == {"limit": 1, "used": 0, "spent": True}
    assert spent["done"] == 0 and not stand_in.requests
    assert any("the budget stopped the job" in line for line in spent["summary"])
    tally = labeling.label(records, out=out, budget_tokens=10**6, max_completion_tokens=5,
                           max_tokens_field="max_completion_tokens", **settings(stand_in, stores))
    assert tally["done"] == 40 and tally["budget"]["spent"] is False
    assert tally["budget"]["used"] == 40 * 12  # what the stand-in bills each request
    assert all(body["max_completion_tokens"] == 5 for _, body in stand_in.requests)
    assert labeling.label(records, out=out, **settings(stand_in, stores))["budget"] is None


def test_rate_limits_and_the_batch_settings_are_the_tools(tmp_path, stand_in, stores, records):
    stand_in.answer = lambda body: ANSWER
    tally = labeling.label(records, out=tmp_path / "paced.jsonl", rpm=6000, tpm=10**7,
                           **settings(stand_in, stores))
    assert tally["done"] == 40 and tally["rate_limited"] == 0 and tally["batch"] is None
    with pytest.raises(ValueError, match='batch fallback "later" is none of resubmit, online'):
        labeling.label(records, out=tmp_path / "b.jsonl", batch=True, batch_fallback="later",
                       **settings(stand_in, stores))
    elsewhere = {**settings(stand_in, stores), "llm_url": "http://127.0.0.1:9/v1/completions"}
    with pytest.raises(ValueError, match="the Batch API needs a chat address ending with"):
        labeling.label(records, out=tmp_path / "b.jsonl", batch=True, **elsewhere)
