#!/usr/bin/python3
"""The Python side of bench/batch: a Batch API output file read the usual way. Each line is
read with json.loads, the answer taken from choices[0].message.content and read with
json.loads (or its first {...} when more surrounds it), and each value checked against its
field's labels: kept when it is one, null for a no-answer word, else the nearest label by
cosine over stores.py's hashing vectors in faiss (each distinct value embedded once, all in
one call, and searched in one call per field). One result line per record is written with
json.dumps.

    batch.py LABELS.json OUTPUT.jsonl RESULTS.jsonl -> "cpu read check write", CPU seconds

The time runs from opening the output file to the results file closed; the label indexes are
built before, as bench/batch builds its stores before.
"""
import json
import sys
import time

import faiss

from stores import build_index, hash_embed

NO_ANSWER = {"n/a", "na", "none", "null", "nil", "unknown", "not sure", "not applicable",
             "no answer", "-", "?", "无", "未知", "不确定", "不知道", "没有", "暂无", "空"}


def parse(answer):
    """The mapping an answer holds; ValueError when it holds none."""
    try:
        value = json.loads(answer)
    except ValueError:
        start, end = answer.find("{"), answer.rfind("}")
        if start < 0 or end < start:
            raise ValueError("the answer holds no mapping: " + answer[:40]) from None
        value = json.loads(answer[start:end + 1])
    if not isinstance(value, dict):
        raise ValueError("the answer holds no mapping: " + answer[:40])
    return value


def read_answers(path):
    """(id, predicted or None, answer, usage, error) of each line."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for text in f:
            line = json.loads(text)
            record_id = int(line["custom_id"])
            response = line.get("response") or {}
            body = response.get("body") or {}
            if line.get("error") or response.get("status_code") != 200:
                message = (body.get("error") or {}).get("message", "")
                rows.append((record_id, None, None, None,
                             f"HTTP status {response.get('status_code')} (batch): {message}"))
                continue
            answer = body["choices"][0]["message"]["content"]
            try:
                rows.append((record_id, parse(answer), answer, body.get("usage"), None))
            except ValueError as e:
                rows.append((record_id, None, answer, body.get("usage"), str(e)))
    return rows


def check(rows, labels, indexes):
    """The decision of each value, the nearest labels of the values that are none found first."""
    allowed = {field: set(names) for field, names in labels.items()}
    to_look_up = {field: {} for field in labels}
    for _, predicted, _, _, _ in rows:
        if predicted is None:
            continue
        for field in labels:
            value = predicted.get(field)
            if value is None or (isinstance(value, str) and value in allowed[field]):
                continue
            text = str(value)
            if text.strip().lower() not in NO_ANSWER:
                to_look_up[field].setdefault(text, len(to_look_up[field]))
    nearest = {}
    for field, texts in to_look_up.items():
        if texts:
            scores, ids = indexes[field].search(hash_embed(list(texts)), 2)
            nearest[field] = {text: (scores[i], ids[i]) for text, i in texts.items()}
    checked_rows = []
    for record_id, predicted, answer, usage, error in rows:
        if predicted is None:
            checked_rows.append((record_id, None, None, None, answer, usage, error))
            continue
        checked, decisions = {}, {}
        for field, names in labels.items():
            value = predicted.get(field)
            if field not in predicted:
                checked[field], decisions[field] = None, {"decision": "missing"}
            elif isinstance(value, str) and value in allowed[field]:
                checked[field] = value
                decisions[field] = {"decision": "kept", "score": 1.0, "nearest": value}
            elif value is None or str(value).strip().lower() in NO_ANSWER:
                checked[field], decisions[field] = None, {"decision": "no_answer"}
            else:
                scores, ids = nearest[field][str(value)]
                checked[field] = names[ids[0]]
                decisions[field] = {"decision": "replaced", "score": float(scores[0]),
                                    "nearest": names[ids[0]], "runner_up": names[ids[1]],
                                    "runner_up_score": float(scores[1])}
        checked_rows.append((record_id, checked, decisions, predicted, answer, usage, error))
    return checked_rows


def write_results(path, checked_rows):
    with open(path, "w", encoding="utf-8") as out:
        for record_id, checked, decisions, predicted, answer, usage, error in checked_rows:
            line = {"id": record_id, "checked": checked, "decisions": decisions,
                    "predicted": predicted, "answer": answer, "attempts": 1, "usage": usage,
                    "error": error}
            out.write(json.dumps(line, ensure_ascii=False) + "\n")


def main(labels_path, output_path, results_path):
    faiss.omp_set_num_threads(1)
    with open(labels_path, encoding="utf-8") as f:
        labels = json.load(f)
    indexes = {field: build_index(hash_embed(names)) for field, names in labels.items()}
    start = time.process_time()
    rows = read_answers(output_path)
    read_end = time.process_time()
    checked_rows = check(rows, labels, indexes)
    check_end = time.process_time()
    write_results(results_path, checked_rows)
    end = time.process_time()
    print(end - start, read_end - start, check_end - read_end, end - check_end)


if __name__ == "__main__":
    main(*sys.argv[1:4])
