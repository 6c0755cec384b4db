#!/usr/bin/python3
"""Labels one table as shards on a Dask cluster, then tallies the shards together.

Each of N tasks runs tavrin.labeling.label with shard=(K, N) into a results file of its own
(<out>/part-K.jsonl): the records at positions K, K+N, ... A task that dies, or a whole run
that is stopped, is resumed by running the same command again: each shard goes on from its
own file. With --scheduler the tasks go to that cluster; without, to a LocalCluster of N
worker processes on this machine.

    label_on_dask.py records.csv --labels labels.json --stores stores --out parts \\
        --shards 4 --llm-url https://api.example.com/v1/chat/completions
    (TAVRIN_LLM_KEY holds the key, in the environment of every worker)
"""

import argparse
import json
import os
import sys

from dask.distributed import Client, LocalCluster

import tavrin.labeling


def label_shard(index, count, records, settings):
    """One task: the shard's records into its own results file; its tally."""
    out = os.path.join(settings.pop("out_dir"), f"part-{index}.jsonl")
    return tavrin.labeling.label(
        records, out=out, shard=(index, count), progress=False, **settings)


def label_on_dask(client, records, shards, out_dir, **settings):
    """Labels `records` as `shards` tasks on `client`'s cluster; the tally of all the parts."""
    os.makedirs(out_dir, exist_ok=True)
    tasks = [
        client.submit(label_shard, k, shards, records, {**settings, "out_dir": out_dir},
                      key=f"tavrin-shard-{k}-of-{shards}", pure=False)
        for k in range(shards)
    ]
    client.gather(tasks)  # a shard's failure is raised here, named by its task
    parts = [os.path.join(out_dir, f"part-{k}.jsonl") for k in range(shards)]
    return tavrin.labeling.tally(parts)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("records", help="CSV file of the records (every worker must read it)")
    parser.add_argument("--labels", required=True)
    parser.add_argument("--stores", required=True)
    parser.add_argument("--out", required=True, help="folder of the results files")
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--llm-url", default=os.environ.get("TAVRIN_LLM_URL"))
    parser.add_argument("--llm-model", default="qwen3-max")
    parser.add_argument("--in-flight", type=int, default=16)
    args = parser.parse_args(argv)
    settings = dict(labels=args.labels, stores=args.stores, llm_url=args.llm_url,
                    llm_model=args.llm_model, in_flight=args.in_flight)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.shards, threads_per_worker=1,
                                     dashboard_address=None))
    with client:
        tally = label_on_dask(client, os.path.abspath(args.records), args.shards,
                              os.path.abspath(args.out), **settings)
    for line in tally["summary"]:
        print(line)
    print(json.dumps({k: tally[k] for k in ("total", "done", "failed")}))
    return 1 if tally["failed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
