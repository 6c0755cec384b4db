#!/usr/bin/python3
"""Python baselines for bench/stores: a pandas user building the same store as save2faiss,
row by row (iloc) and in the best vectorised form, with the same hashing vectors in numpy and
faiss for Python; and the same check_result loop.

    stores.py save <table.csv> <out_dir> <vectors.f32>   -> JSON of phase seconds, the load of
                                                            the saved store included
    stores.py check <labels.json> <records.json> <limit>  -> JSON of seconds, on the first
                                                            <limit> records
"""
import json
import os
import sys
import time

import faiss
import numpy as np
import pandas as pd

SRC = ["question", "product", "detail"]
TGT = ["category", "priority", "id"]
DIM = 256
RUNS = 3
FNV_BASIS = 14695981039346656037
FNV_PRIME = 1099511628211
PRIME = np.uint64(FNV_PRIME)
LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def utf8_bytes(cp):
    """The UTF-8 bytes of each code point as a (n, 4) array, and the byte counts."""
    count = 1 + (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000)
    b = np.zeros((len(cp), 4), np.uint64)
    cont = lambda shift: 0x80 | ((cp >> shift) & 0x3F)
    b[:, 0] = np.select([count == 1, count == 2, count == 3],
                        [cp, 0xC0 | (cp >> 6), 0xE0 | (cp >> 12)], 0xF0 | (cp >> 18))
    b[:, 1] = np.select([count == 2, count == 3], [cont(0), cont(6)], cont(12))
    b[:, 2] = np.select([count == 3], [cont(0)], cont(6))
    b[:, 3] = cont(0)
    return b, count


def hash_embed(texts, dim=DIM):
    """Signed hashed 1-3-grams of code points (FNV-1a 64 of n then the UTF-8 bytes), unit length."""
    marked = ["\x02" + t.translate(LOWER) + "\x03" for t in texts]
    n = len(marked)
    lens = np.fromiter(map(len, marked), np.int64, n)
    cp = np.frombuffer("".join(marked).encode("utf-32-le"), np.uint32).astype(np.uint64)
    b, count = utf8_bytes(cp)
    text_of = np.repeat(np.arange(n), lens)
    starts = np.cumsum(lens) - lens
    pos = np.arange(len(cp)) - np.repeat(starts, lens)
    room = np.repeat(lens, lens) - pos
    out = np.zeros(n * dim)
    for gram in (1, 2, 3):
        first = np.nonzero(room >= gram)[0]
        h = np.full(len(first), ((FNV_BASIS ^ gram) * FNV_PRIME) % 2**64, np.uint64)
        for j in range(gram):
            c = first + j
            for k in range(4):
                h = np.where(count[c] > k, (h ^ b[c, k]) * PRIME, h)
        sign = np.where(h >> np.uint64(63) == 0, 1.0, -1.0)
        out += np.bincount(text_of[first] * dim + (h % np.uint64(dim)).astype(np.int64),
                           weights=sign, minlength=n * dim)
    v = out.reshape(n, dim)
    norms = np.linalg.norm(v, axis=1, keepdims=True)
    return (v / np.where(norms == 0, 1, norms)).astype(np.float32)


def timed(f, *args):
    start = time.perf_counter()
    result = f(*args)
    return result, time.perf_counter() - start


def rows_by_iloc(df):
    texts, metadatas = [], []
    for i in range(len(df)):
        row = df.iloc[i]
        texts.append(",".join(str(row[f]) for f in SRC))
        metadatas.append({f: row[f] for f in TGT})
    return texts, metadatas


def rows_vectorised(df):
    text = df[SRC[0]].astype(str)
    for f in SRC[1:]:
        text = text + "," + df[f].astype(str)
    return text.tolist(), df[TGT].to_dict("records")


def build_index(vectors):
    x = np.array(vectors, dtype=np.float32)
    faiss.normalize_L2(x)
    index = faiss.IndexFlatIP(x.shape[1])
    index.add(x)
    return index


def save(index, texts, metadatas, folder, durable=False):
    os.makedirs(folder, exist_ok=True)
    faiss.write_index(index, os.path.join(folder, "index.faiss"))
    sidecar = {"format": "tavrin.faiss", "version": 1, "distance_strategy": "COSINE",
               "dimension": index.d, "count": len(texts),
               "documents": [{"page_content": t, "metadata": m} for t, m in zip(texts, metadatas)]}
    with open(os.path.join(folder, "index.json"), "w", encoding="utf-8") as f:
        f.write(json.dumps(sidecar, ensure_ascii=False, separators=(",", ":")))
        if durable:
            f.flush()
            os.fsync(f.fileno())
    if durable:
        with open(os.path.join(folder, "index.faiss"), "rb") as f:
            os.fsync(f.fileno())


def load(folder):
    index = faiss.read_index(os.path.join(folder, "index.faiss"))
    with open(os.path.join(folder, "index.json"), encoding="utf-8") as f:
        sidecar = json.load(f)
    return index, sidecar["documents"]


def bench_save(table, out_dir, vectors_path):
    df = pd.read_csv(table)
    (_, _), iloc_rows = timed(rows_by_iloc, df)
    (texts, metadatas), vec_rows = timed(rows_vectorised, df)
    vectors, embed = timed(hash_embed, texts)
    vectors[:1000].tofile(vectors_path)
    # The best of RUNS, as for tavrin, since the disk's speed drifts between runs.
    build = saved = durable = loaded = float("inf")
    for _ in range(RUNS):
        index, seconds = timed(build_index, vectors)
        build = min(build, seconds)
        saved = min(saved, timed(save, index, texts, metadatas, out_dir)[1])
        durable = min(durable, timed(save, index, texts, metadatas, out_dir + "_durable", True)[1])
        loaded = min(loaded, timed(load, out_dir)[1])
    print(json.dumps({"rows_iloc": iloc_rows, "rows_vectorised": vec_rows, "embed": embed,
                      "index": build, "save": saved, "save_fsync": durable, "load": loaded}))


def bench_check(labels_path, records_path, limit):
    with open(labels_path, encoding="utf-8") as f:
        labels = json.load(f)
    with open(records_path, encoding="utf-8") as f:
        records = json.load(f)[:int(limit)]
    fields = list(labels)
    stores = {}
    for field in fields:
        stores[field] = build_index(hash_embed(labels[field]))
    start = time.perf_counter()
    for result in records:
        checked = {}
        for field in fields:
            val = result.get(field)
            allowed = labels.get(field, [])
            if val not in allowed:
                q = hash_embed([str(val)])
                _, ids = stores[field].search(q, 1)
                val = labels[field][ids[0][0]]
            checked[field] = val
    print(json.dumps({"check": time.perf_counter() - start, "records": len(records)}))


if __name__ == "__main__":
    faiss.omp_set_num_threads(1)
    if sys.argv[1] == "save":
        bench_save(*sys.argv[2:5])
    else:
        bench_check(*sys.argv[2:5])
