# The Dask example: one table labelled as two shards by two worker processes of a LocalCluster,
# each into its own results file, tallied together; a run again resumes every shard.

import json
import sys

import pandas as pd
from dask.distributed import Client, LocalCluster

import tavrin.brollin as brollin
from conftest import SOURCE_DIR
from tavrin.vectorstore import HashingEmbeddings

sys.path.insert(0, str(SOURCE_DIR / "examples" / "python"))
from label_on_dask import label_on_dask  # noqa: E402

TICKETS = SOURCE_DIR / "examples" / "data" / "tickets.csv"
LABELS_FILE = SOURCE_DIR / "examples" / "data" / "labels.json"
FIELDS = ["product", "category", "priority"]


def test_two_shards_on_a_local_cluster(tmp_path, stand_in):
    labels = json.loads(LABELS_FILE.read_text())
    table = pd.read_csv(TICKETS)
    brollin.data2faiss(labels, table.iloc[100:300], ["question"], FIELDS, FIELDS,
                       str(tmp_path / "stores" / "train"), str(tmp_path / "stores"),
                       HashingEmbeddings())
    table.head(30).to_csv(tmp_path / "records.csv", index=False)
    stand_in.answer = lambda body: '{"product": "手机", "category": "售后服务", "priority": "P1"}'
    settings = dict(labels=str(LABELS_FILE), stores=str(tmp_path / "stores"), llm_url=stand_in.url)
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        tally = label_on_dask(client, str(tmp_path / "records.csv"), 2, str(tmp_path / "parts"),
                              **settings)
        assert tally["done"] == 30 and tally["failed"] == 0
        assert tally["fields"]["category"]["kept"] == 30
        for k in range(2):
            ids = [json.loads(line)["id"] for line in open(tmp_path / "parts" / f"part-{k}.jsonl")]
            # In the order the answers came: each shard's records, once each.
            assert sorted(ids) == sorted(str(i) for i in table["id"][k:30:2])
        again = label_on_dask(client, str(tmp_path / "records.csv"), 2, str(tmp_path / "parts"),
                              **settings)
        assert again["done"] == 30
    assert len(stand_in.requests) == 30
