#!/usr/bin/python3
"""The Python side of bench/label: the labelling job as it is usually written, with asyncio, one
aiohttp session and a semaphore: the same prompt (the same template and the same examples,
retrieved with stores.py's hashing vectors in faiss), the fenced answer parsed with json.loads,
and each value checked against its labels, the nearest label taking the place of any other.

    label.py job URL IN_FLIGHT DIR RECORDS.csv OUT.jsonl -> JSON of figures, on its last line
    label.py prompts COUNT DIR RECORDS.csv               -> JSON list of the first COUNT prompts

DIR holds what bench/label wrote: labels.json, template.txt, settings.json and train.csv.
"""
import asyncio
import json
import os
import re
import sys
import time

import aiohttp
import numpy as np
import pandas as pd

from stores import build_index, hash_embed

FENCE = re.compile(r"```[A-Za-z]*\s*(.*?)```", re.S)
TIMEOUT = aiohttp.ClientTimeout(total=600)
SPARE = 8  # documents searched beyond the examples, so that ties at the cut are seen


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


class Labeller:
    def __init__(self, folder):
        self.settings = read_json(os.path.join(folder, "settings.json"))
        self.labels = read_json(os.path.join(folder, "labels.json"))
        self.fields = list(self.labels)
        with open(os.path.join(folder, "template.txt"), encoding="utf-8") as f:
            self.template = f.read()
        train = pd.read_csv(os.path.join(folder, "train.csv"))
        self.train_texts = self.texts(train)
        self.train_labels = train[self.fields].to_dict("records")
        self.train_index = build_index(hash_embed(self.train_texts))
        self.label_index = {f: build_index(hash_embed(labels)) for f, labels in self.labels.items()}
        self.allowed = {f: set(labels) for f, labels in self.labels.items()}
        self.labels_text = "".join(f"- {f}: {'、'.join(self.labels[f])}\n" for f in self.fields)

    def texts(self, table):
        fields = self.settings["text_fields"]
        text = table[fields[0]].astype(str)
        for f in fields[1:]:
            text = text + "," + table[f].astype(str)
        return text.tolist()

    def nearest(self, texts):
        """The positions of the training documents to show with each text; among equal scores
        the earlier document first, as tavrin's store orders them (faiss leaves it open)."""
        k = self.settings["examples"]
        scores, ids = self.train_index.search(hash_embed(texts), k + SPARE)
        order = np.lexsort((ids, -scores), axis=-1)
        return np.take_along_axis(ids, order, axis=-1)[:, :k]

    def prompts(self, texts, nearest):
        for text, row in zip(texts, nearest):
            examples = "".join(
                f"示例 {i}：{self.train_texts[j]}\n答案：{compact(self.train_labels[j])}\n"
                for i, j in enumerate(row, 1))
            yield self.template.format(fields=", ".join(self.fields), labels=self.labels_text,
                                       examples=examples, record=text)

    def check(self, predicted):
        checked = {}
        for f in self.fields:
            value = predicted.get(f)
            if value is not None and value not in self.allowed[f]:
                _, ids = self.label_index[f].search(hash_embed([str(value)]), 1)
                value = self.labels[f][ids[0][0]]
            checked[f] = value
        return checked


def parse(answer):
    fenced = FENCE.search(answer)
    return json.loads(fenced.group(1) if fenced else answer)


def peak_memory():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


async def job(url, in_flight, folder, records_path, out_path):
    labeller = Labeller(folder)
    records = pd.read_csv(records_path)
    cpu, start = time.process_time(), time.perf_counter()
    texts = labeller.texts(records)
    nearest = labeller.nearest(texts)
    cpu_examples = time.process_time() - cpu
    prompts = labeller.prompts(texts, nearest)
    settings = labeller.settings
    headers = {"Content-Type": "application/json", "Authorization": "Bearer " + settings["key"]}
    semaphore = asyncio.Semaphore(in_flight)
    connector = aiohttp.TCPConnector(limit=in_flight)
    async with aiohttp.ClientSession(connector=connector, timeout=TIMEOUT) as session:
        with open(out_path, "w", encoding="utf-8") as out:
            async def label(record_id, prompt):
                payload = {"model": settings["model"],
                           "messages": [{"role": "user", "content": prompt}], "temperature": 0}
                async with semaphore:
                    async with session.post(url, headers=headers, json=payload) as response:
                        response.raise_for_status()
                        reply = await response.json()
                answer = reply["choices"][0]["message"]["content"]
                predicted = parse(answer)
                line = {"id": record_id, "checked": labeller.check(predicted),
                        "predicted": predicted, "answer": answer, "usage": reply.get("usage")}
                out.write(json.dumps(line, ensure_ascii=False) + "\n")

            await asyncio.gather(*(label(int(i), p) for i, p in zip(records["id"], prompts)))
    print(json.dumps({"wall": time.perf_counter() - start, "cpu_job": time.process_time() - cpu,
                      "cpu_examples": cpu_examples,
                      "peak": peak_memory(), "done": len(records)}))


def prompts(count, folder, records_path):
    labeller = Labeller(folder)
    records = pd.read_csv(records_path, nrows=int(count))
    texts = labeller.texts(records)
    print(compact(list(labeller.prompts(texts, labeller.nearest(texts)))))


if __name__ == "__main__":
    if sys.argv[1] == "job":
        asyncio.run(job(sys.argv[2], int(sys.argv[3]), *sys.argv[4:7]))
    else:
        prompts(*sys.argv[2:5])
