"""The Python side of bench/embed: the same batches as OpenAIEmbeddings, with aiohttp (one pooled
session) and json, numpy for base64 replies.

    embed.py URL TEXTS.jsonl BATCH IN_FLIGHT DIMENSIONS MODE
        -> "<seconds> <cpu seconds> <peak bytes> <vectors missing or of another size>"
"""
import asyncio
import base64
import json
import resource
import sys
import time

import aiohttp
import numpy as np

MODEL = "text-embedding-3-small"
HEADERS = {"Content-Type": "application/json", "Authorization": "Bearer sk-bench"}


async def embed(url, texts, batch, in_flight, mode):
    batches = [texts[i:i + batch] for i in range(0, len(texts), batch)]
    vectors = [None] * len(texts)
    taken = 0

    async def worker(session):
        nonlocal taken
        while taken < len(batches):
            number = taken
            taken += 1
            payload = {"model": MODEL, "input": batches[number], "encoding_format": mode}
            body = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()
            async with session.post(url, data=body, headers=HEADERS) as response:
                response.raise_for_status()
                reply = json.loads(await response.read())
            data = reply["data"]
            if len(data) != len(batches[number]):
                raise ValueError(f"batch {number}: {len(data)} vectors")
            first = number * batch
            for item in data:
                vector = item["embedding"]
                if mode == "base64":
                    vector = np.frombuffer(base64.b64decode(vector), dtype="<f4")
                vectors[first + item["index"]] = vector

    async with aiohttp.ClientSession() as session:
        await asyncio.gather(*(worker(session) for _ in range(in_flight)))
    return vectors


def main():
    url, path, batch, in_flight, dimensions, mode = sys.argv[1:7]
    with open(path, encoding="utf-8") as lines:
        texts = [json.loads(line) for line in lines]
    start, cpu = time.perf_counter(), time.process_time()
    vectors = asyncio.run(embed(url + "/embeddings", texts, int(batch), int(in_flight), mode))
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    wrong = sum(1 for v in vectors if v is None or len(v) != int(dimensions))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(seconds, cpu, peak, wrong)


if __name__ == "__main__":
    main()
