# The labelling job from Python, with the settings of `tavrin label`, and what follows it:
# the results read back as a DataFrame, their tally, calibration, review, export and report.
#
#   tally = tavrin.labeling.label("test.csv", labels="labels.json", stores="stores",
#                                 out="results.jsonl", llm_url=url, llm_key=key)
#   frame = tavrin.labeling.read_results("results.jsonl")

import atexit
import json
import os

import numpy as np
import pandas as pd

from tavrin import _frames, _futures, _native

__all__ = [
    "label",
    "label_async",
    "read_results",
    "tally",
    "calibrate",
    "report",
    "review",
    "apply_review",
    "export",
]


def _paths(paths):
    """One path or several (the shards of one table), as a list of text."""
    if isinstance(paths, (str, os.PathLike)):
        return [os.fspath(paths)]
    return [os.fspath(p) for p in paths]


def _settings(
    labels,
    stores,
    out,
    llm_url=None,
    llm_key=None,
    llm_model="qwen3-max",
    temperature=0.0,
    text_fields=("question",),
    fields=None,
    id_column="id",
    typed_ids=False,
    examples=4,
    prompt=None,
    prompt_language=None,
    max_labels=50,
    in_flight=16,
    min_score=None,
    no_answer=(),
    repair="nearest",
    repair_choices=5,
    shard="0/1",
    shards=None,
    retry_failed=False,
    response_format="plain",
    confidence="off",
    calibration=None,
    max_failures=100,
    max_text_chars=50000,
    budget_tokens=None,
    max_completion_tokens=None,
    max_tokens_field="max_tokens",
    rpm=None,
    tpm=None,
    batch=False,
    batch_size=50000,
    batch_poll=30.0,
    batch_fallback="resubmit",
    retries=2,
    timeout=600.0,
    embeddings=None,
):
    if llm_url is None:
        llm_url = os.environ.get("TAVRIN_LLM_URL")
        if not llm_url:
            raise ValueError("llm_url is required (or TAVRIN_LLM_URL)")
    if llm_key is None:
        llm_key = os.environ.get("TAVRIN_LLM_KEY", "")
    if not isinstance(shard, str):
        index, count = shard
        shard = f"{index}/{count}"
    text = lambda value: os.fspath(value) if value is not None else ""
    return {
        "labels": text(labels),
        "stores": text(stores),
        "out": text(out),
        "llm_url": llm_url,
        "llm_key": llm_key,
        "llm_model": llm_model,
        "temperature": float(temperature),
        "text_fields": list(text_fields),
        "fields": list(fields or []),
        "id_column": id_column,
        "typed_ids": bool(typed_ids),
        "examples": int(examples),
        "prompt": text(prompt),
        "prompt_language": prompt_language or "",
        "max_labels": int(max_labels),
        "in_flight": int(in_flight),
        "min_score": None if min_score is None else float(min_score),
        "no_answer": list(no_answer),
        "repair": repair,
        "repair_choices": int(repair_choices),
        "budget_tokens": None if budget_tokens is None else int(budget_tokens),
        "max_completion_tokens": None if max_completion_tokens is None else int(max_completion_tokens),
        "max_tokens_field": max_tokens_field,
        "rpm": None if rpm is None else float(rpm),
        "tpm": None if tpm is None else float(tpm),
        "batch": bool(batch),
        "batch_size": int(batch_size),
        "batch_poll": float(batch_poll),
        "batch_fallback": batch_fallback,
        "shard": shard,
        "shards": None if shards is None else int(shards),
        "retry_failed": bool(retry_failed),
        "response_format": response_format,
        "confidence": confidence,
        "calibration": text(calibration),
        "max_failures": int(max_failures),
        "max_text_chars": int(max_text_chars),
        "retries": int(retries),
        "timeout": float(timeout),
        "embeddings": embeddings,
    }


def _records(records):
    """A CSV path as it is (read a chunk at a time), a DataFrame as its columns."""
    if isinstance(records, (str, os.PathLike)):
        return os.fspath(records)
    return _frames.table_columns(records)


def label(records, *, labels, stores, out, progress=True, **settings):
    """Labels the records of `records` (a CSV path, read a chunk at a time, or a DataFrame)
    that the results file `out` does not hold yet, as `tavrin label` does, and returns the
    tally over the whole file (with "language", the prompt's, and "summary", the lines the
    tool prints). The settings are the tool's options by their Python names: llm_url
    (TAVRIN_LLM_URL when left out), llm_key (TAVRIN_LLM_KEY), llm_model, temperature,
    text_fields, fields, id_column, typed_ids, examples, prompt, prompt_language,
    max_labels, in_flight, min_score, no_answer, repair, repair_choices, shard ("K/N",
    (K, N), or "auto": this task's of a Slurm job array or of a Kubernetes Indexed Job, whose
    completions are then `shards`; "{shard}" in `out` is K), retry_failed,
    response_format, confidence, calibration, max_failures, max_text_chars, budget_tokens
    (the tokens this run may spend: it stops cleanly there, "budget" in the tally saying so),
    max_completion_tokens, max_tokens_field, rpm and tpm (the rate limits by hand), batch (the
    records through the endpoint's Batch API, "batch" in the tally saying what it submitted),
    batch_size, batch_poll (seconds), batch_fallback, retries, timeout, and embeddings (the stores' model: tavrin's own, or a
    Python object with embed_documents; HashingEmbeddings when left out). The GIL is released
    while the job runs; a Python model is called off the job's thread. With `progress`, a
    progress line on sys.stderr. KeyboardInterrupt (Ctrl-C) stops the job cleanly: a run
    again resumes."""
    return _native.label(_records(records), _settings(labels, stores, out, **settings), bool(progress))


async def label_async(records, *, labels, stores, out, progress=False, **settings):
    """label(), awaited on the caller's asyncio loop: the job runs on a thread of its own, and
    cancelling the awaiting task stops it and returns once it has stopped (what was written
    stays; a run again resumes)."""
    records, settings = _records(records), _settings(labels, stores, out, **settings)
    return await _futures.run_to_its_end(
        lambda settle: _native.start_label(records, settings, bool(progress), settle))


def _target_fields(paths):
    with open(paths[0] + ".run.json", encoding="utf-8") as record:
        return json.load(record)["target_fields"]


def read_results(paths):
    """The lines of one results file or of several (the shards of one table) as a DataFrame:
    id, error, attempts, prompt_tokens, completion_tokens, and per field <field>_predicted,
    _checked, _decision ("failed" for a failed record), _confidence and _gold (the true label,
    or a person's answer). Missing values are NaN, as read_csv reads them."""
    names, columns = _native.result_columns(_paths(paths))
    frame = pd.DataFrame(dict(zip(names, columns)), columns=names)
    return frame.fillna(value=np.nan)


def tally(paths, fields=None):
    """The job's counts over the results files at `paths` as if they were one file: records,
    failures, tokens, and per field its decisions and, where the lines hold true labels, how
    many values were right. `fields`: those the run recorded beside the first file when None."""
    paths = _paths(paths)
    return _native.tally_results(paths, list(fields) if fields is not None else _target_fields(paths))


def calibrate(paths, out=None, *, target_precision=0.95, confidence_level=0.95, fields=None):
    """Fits each field's confidence to the results at `paths` (values with true labels) and,
    with `out`, writes the calibration a later job takes as `calibration`. Returns the
    thresholds, the lines `tavrin calibrate` prints, and the calibration itself."""
    return _native.calibrate(
        _paths(paths), os.fspath(out) if out is not None else "", float(target_precision),
        float(confidence_level), list(fields or []))


def report(paths, out=None, *, title="tavrin report", fields=None, thresholds=None, calibration=None):
    """Evaluates the results at `paths` and, with `out`, writes the HTML report. Returns the
    summary lines."""
    return _native.report(
        _paths(paths), os.fspath(out) if out is not None else "", title, list(fields or []),
        dict(thresholds or {}), os.fspath(calibration) if calibration is not None else "")


def review(paths, out, *, below=None, fields=None, limit=0, records=None, id_column="id",
           text_fields=("question",)):
    """Writes the values a person should look at to `out` (CSV, or JSON Lines for .jsonl),
    abstained ones first, each group lowest confidence first; with `records`, each with its
    text. Returns how many."""
    return _native.review(
        _paths(paths), os.fspath(out), below, list(fields or []), int(limit),
        os.fspath(records) if records is not None else "", id_column, list(text_fields))


def apply_review(paths, answers, labels=None):
    """Writes the answers of a filled-in review file into the results files: decision
    "reviewed", the answer as checked value and true label."""
    return _native.apply_review(_paths(paths), os.fspath(answers), labels)


def export(results, records, out, *, id_column="id", fields=None):
    """Writes the records table with <field>_checked, _decision and _confidence columns from
    the results (joined by id as text). Returns the counts."""
    return _native.export_labelled(
        _paths(results), os.fspath(records), os.fspath(out), id_column, list(fields or []))


# Jobs still running at the interpreter's exit are stopped (their files resume) and awaited.
atexit.register(_native.stop_jobs)
