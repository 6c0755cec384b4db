#!/usr/bin/python3
"""tavrin's Python package against the usual Python route (pandas, numpy, faiss, asyncio with
aiohttp), the same work done both ways in the same run, both with the 256-dimension hashing
model (tavrin's HashingEmbeddings; stores.py's hash_embed, the same model in numpy):

  stores  tavrin.brollin.data2faiss of a generated table (a training store and one store of
          labels per target field) against pandas texts, hash_embed, faiss IndexFlatIP and a
          JSON sidecar written beside it;
  check   tavrin.olvane.check_result on each prediction, over the stores loaded from disk,
          against stores.py's loop: membership, else hash_embed and a faiss search;
  label   tavrin.labeling.label against label.py's asyncio + aiohttp job, both against one
          local nginx answering each chat request after 50 ms, each side in a process of its
          own whose CPU time (user + system) is measured.

    PYTHONPATH=build/bench/python /usr/bin/python3 bench/python.py [--quick] [--rows N]
        [--predictions N] [--python-predictions N] [--records N] [--in-flight N] [--runs N]
        [--only stores|check|label ...]

Exits with 1 when a side fails or the two sides disagree; a missed goal is printed, not fatal.
"""
import argparse
import contextlib
import io
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import tavrin.labeling


def tavrin_job(records_csv, settings):
    """The tavrin side of the job, in a process of its own: prints its figures as one line."""
    cpu, wall = time.process_time(), time.perf_counter()
    tally = tavrin.labeling.label(records_csv, progress=False, **json.loads(settings))
    print(json.dumps({"wall": time.perf_counter() - wall, "cpu_job": time.process_time() - cpu,
                      "done": tally["done"], "failed": tally["failed"]}))


# Before the baseline's packages are loaded, so that this side's CPU time has none of theirs.
if __name__ == "__main__" and len(sys.argv) == 4 and sys.argv[1] == "--tavrin-job":
    tavrin_job(*sys.argv[2:4])
    sys.exit(0)

import faiss  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import tavrin.brollin  # noqa: E402
import tavrin.olvane  # noqa: E402
from tavrin.vectorstore import FAISS, HashingEmbeddings  # noqa: E402

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)  # stores.py, also when this file is imported from elsewhere
from stores import build_index, hash_embed, load as load_faiss_store  # noqa: E402
from stores import save as save_faiss_store  # noqa: E402

PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
MASK = 2**64 - 1

# The table and predictions of bench/stores.cpp.
SRC = ["question", "product", "detail"]
TGT = ["category", "priority", "id"]
FIELDS = ["category", "priority", "product"]
LABEL_COUNT = 50
STORE_WORDS = ["售后", "服务", "订单", "退款", "物流", "质量", "价格", "手机", "电池", "屏幕",
               "客服", "发票", "，", "快递", "维修", "更换", "会员", "积分", "账户", "安全"]
UPPER_ASCII = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")

# The job of bench/label.cpp: its labels, template, tickets and stub answers.
JOB_TEXT_FIELDS = ["question", "detail"]
JOB_FIELDS = ["类别", "产品", "优先级"]
JOB_LABELS = {
    "类别": ["退款", "物流配送", "售后维修", "账户安全", "发票开具", "会员积分", "价格咨询",
           "质量投诉"],
    "产品": ["手机", "笔记本电脑", "平板", "耳机", "智能手表", "路由器"],
    "优先级": ["高", "中", "低"],
}
EXAMPLES = 4
TRAIN_ROWS = 2000
MODEL = "qwen-max"
KEY = "sk-bench"
DELAY = 0.05
NGINX = "/usr/sbin/nginx"
ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so"
TEMPLATE = ("你是客服工单的标注助手。请阅读下面的工单，为每个字段从允许的标签中选出一个。\n"
            "需要标注的字段：{fields}\n"
            "允许的标签：\n"
            "{labels}"
            "参考示例：\n"
            "{examples}"
            "待标注的工单：{record}\n"
            "只输出一个 JSON 对象，键为 {fields}，值为所选标签。")
# Picked by the digit after a record's "#": fenced with and without a language tag, prose
# before, near misses of a label, a field left out.
ANSWERS = [
    '```json\n{"类别": "退款", "产品": "手机", "优先级": "高"}\n```',
    '```json\n{"类别": "物流", "产品": "手机 ", "优先级": "中"}\n```',
    '好的，标注结果如下：\n```json\n{"类别": "售后", "产品": "笔记本", "优先级": "高级"}\n```',
    '```\n{"类别": "账户安全", "产品": "平板电脑", "优先级": "低"}\n```',
    '```json\n{"类别": "发票", "产品": "耳机"}\n```',
]
OPENINGS = ["请问", "你好，", "麻烦看一下，", "紧急：", "咨询一下，"]
TOPICS = ["什么时候退款", "快递到哪里了", "坏了能修吗", "账号被盗了", "怎么开发票", "积分怎么用",
          "能便宜点吗", "质量太差"]
TICKET_WORDS = ["订单", "昨天", "已经", "付款", "三天", "没有", "收到", "客服", "电话", "屏幕",
                "电池", "颜色", "型号", "地址", "发货", "售后", "换货", "会员", "价格", "活动"]


class Lcg:
    """bench/support.hpp's generator, so that the data match the C++ benchmarks' in kind."""

    def __init__(self, seed):
        self.state = seed

    def below(self, n):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) & MASK
        return (self.state >> 33) % n


def words(random, count, vocabulary=STORE_WORDS):
    return "".join(vocabulary[random.below(len(vocabulary))] for _ in range(count))


def make_labels():
    labels = {field: [] for field in FIELDS}
    random = Lcg(7)
    for i in range(LABEL_COUNT):
        labels["category"].append(words(random, 2) + "类" + str(i))
        labels["priority"].append("Priority level " + str(i))
        labels["product"].append("型号" + chr(ord("A") + i % 26) + str(100 + i * 37))
    return labels


def make_table(rows, labels):
    random = Lcg(7)
    columns = {name: [] for name in ["question", "product", "detail", "category", "priority"]}
    for _ in range(rows):
        columns["question"].append(words(random, 4 + random.below(6)))
        columns["product"].append(labels["product"][random.below(LABEL_COUNT)])
        columns["detail"].append(words(random, 8 + random.below(12)))
        columns["category"].append(labels["category"][random.below(LABEL_COUNT)])
        columns["priority"].append(labels["priority"][random.below(LABEL_COUNT)])
    columns["id"] = list(range(rows))
    return pd.DataFrame(columns)


def make_predictions(count, labels):
    """Each value a label, 30% of them turned into a near miss: a trailing space, a hyphen
    before the last character, or upper case. Returns the predictions and their true labels."""
    random = Lcg(7)
    predictions, truths = [], []
    for _ in range(count):
        record, truth = {}, {}
        for field in FIELDS:
            label = labels[field][random.below(LABEL_COUNT)]
            truth[field] = value = label
            if random.below(10) < 3:
                kind = random.below(3)
                if kind == 0:
                    value += " "
                elif kind == 1:
                    value = value[:-1] + "-" + value[-1]
                else:
                    value = value.translate(UPPER_ASCII)
            record[field] = value
        predictions.append(record)
        truths.append(truth)
    return predictions, truths


def timed(f, *args):
    wall, cpu = time.perf_counter(), time.process_time()
    result = f(*args)
    return result, time.perf_counter() - wall, time.process_time() - cpu


def ratio_line(label, ratio, goal, met):
    print(f"  {label:<36} {ratio:8.1f}x   (goal {goal}) {'met' if met else 'NOT MET'}")


# ---- building stores ------------------------------------------------------------------------

def texts_of(table, fields):
    text = table[fields[0]].astype(str)
    for f in fields[1:]:
        text = text + "," + table[f].astype(str)
    return text.tolist()


def python_data2faiss(labels, table, src, tgt, fields, train_path, base_path):
    """data2faiss the usual Python way: vectorised texts, numpy hashing, faiss, a sidecar."""
    texts = texts_of(table, src)
    metadatas = table[tgt].to_dict("records")
    save_faiss_store(build_index(hash_embed(texts)), texts, metadatas, train_path)
    for field in fields:
        values = labels.get(field, [])
        save_faiss_store(build_index(hash_embed(values)), values, [{}] * len(values),
                         os.path.join(base_path, field))


def tavrin_data2faiss(labels, table, src, tgt, fields, train_path, base_path):
    # Its lines ("FAISS 已保存至", the progress display) are kept out of the report; a
    # terminal would take them at no greater cost.
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        tavrin.brollin.data2faiss(labels, table, src, tgt, fields, train_path, base_path,
                                  HashingEmbeddings())


def build_both(folder, labels, table):
    for side, build in (("tavrin", tavrin_data2faiss), ("python", python_data2faiss)):
        out = os.path.join(folder, side)
        shutil.rmtree(out, ignore_errors=True)
        build(labels, table, SRC, TGT, FIELDS, os.path.join(out, "train"),
              os.path.join(out, "fields"))


def bench_stores(folder, rows, runs, labels):
    """Times both sides; the last run's stores stay in `folder`/tavrin and `folder`/python for
    the check. False when the two sides built different stores."""
    table = make_table(rows, labels)
    print(f"stores: data2faiss of a {rows}-row table (3 text columns, 3 metadata columns) and "
          f"{len(FIELDS)} stores of {LABEL_COUNT} labels, dim 256, median of {runs} runs")
    sides = {"tavrin": tavrin_data2faiss, "python": python_data2faiss}
    walls = {side: [] for side in sides}
    cpus = {side: [] for side in sides}
    for run in range(runs):
        # Alternating turns, since the disk and the machine's load drift.
        for side in (sides if run % 2 == 0 else reversed(list(sides))):
            out = os.path.join(folder, side)
            shutil.rmtree(out, ignore_errors=True)
            _, wall, cpu = timed(sides[side], labels, table, SRC, TGT, FIELDS,
                                 os.path.join(out, "train"), os.path.join(out, "fields"))
            walls[side].append(wall)
            cpus[side].append(cpu)
    ours, theirs = statistics.median(walls["tavrin"]), statistics.median(walls["python"])
    for side, name, note in (("tavrin", "tavrin brollin.data2faiss", "saves with fsync"),
                             ("python", "python pandas + numpy + faiss", "saves without fsync")):
        print(f"  {name:<36} {statistics.median(walls[side]):8.3f} s wall "
              f"{statistics.median(cpus[side]):8.3f} s CPU   ({note})")
    ratio_line("time python / tavrin", theirs / ours, ">= 5x", theirs / ours >= 5)

    # Both sides must have built the same stores: the same documents, vectors within rounding.
    model = HashingEmbeddings()
    ours_store = FAISS.load_local(os.path.join(folder, "tavrin", "train"), model)
    index, documents = load_faiss_store(os.path.join(folder, "python", "train"))
    sample = min(1000, rows)
    their_vectors = index.reconstruct_n(0, sample)
    our_vectors = np.array(model.embed_documents([d["page_content"] for d in documents[:sample]]),
                           np.float32)
    difference = float(np.max(np.abs(our_vectors - their_vectors))) if sample else 0.0
    same = sum(1 for a, b in zip(ours_store.documents, documents)
               if a.page_content == b["page_content"] and a.metadata == b["metadata"])
    same_fields = all(
        [d.page_content for d in FAISS.load_local(os.path.join(folder, "tavrin", "fields", f),
                                                  model).documents]
        == [d["page_content"] for d in load_faiss_store(os.path.join(folder, "python", "fields",
                                                                     f))[1]]
        for f in FIELDS)
    print(f"  same training documents on both sides: {same} of {rows}; field stores the same: "
          f"{'yes' if same_fields else 'NO'}; numpy hashing vs tavrin on the first {sample} "
          f"vectors: max |difference| {difference:.2g}")
    del table
    ok = same == rows == len(ours_store) == len(documents) and same_fields and difference < 1e-5
    return ok


# ---- checking predictions -------------------------------------------------------------------

def tavrin_check(predictions, labels, db_maps):
    check = tavrin.olvane.check_result
    return [check(p, labels, FIELDS, db_maps) for p in predictions]


def python_check(predictions, labels, stores):
    """stores.py's loop: a value that is no allowed label is embedded and searched for."""
    out = []
    for result in predictions:
        checked = {}
        for field in FIELDS:
            val = result.get(field)
            if val not in labels.get(field, []):
                index, documents = stores[field]
                _, ids = index.search(hash_embed([str(val)]), 1)
                val = documents[ids[0][0]]["page_content"]
            checked[field] = val
        out.append(checked)
    return out


def bench_check(folder, count, python_count, runs, labels):
    predictions, truths = make_predictions(count, labels)
    model = HashingEmbeddings()
    db_maps = {f: FAISS.load_local(os.path.join(folder, "tavrin", "fields", f), model)
               for f in FIELDS}
    stores = {f: load_faiss_store(os.path.join(folder, "python", "fields", f)) for f in FIELDS}
    missed = [sum(p[f] not in labels[f] for f in FIELDS) for p in predictions]
    print(f"check: check_result on {count} predictions x {len(FIELDS)} fields; "
          f"{100 * sum(missed) / (count * len(FIELDS)):.0f}% of values and "
          f"{100 * sum(m > 0 for m in missed) / count:.0f}% of predictions hold a value that is no "
          f"allowed label; stores of {LABEL_COUNT} labels loaded from disk")
    ours, our_walls, our_cpus = None, [], []
    for _ in range(runs):
        ours, wall, cpu = timed(tavrin_check, predictions, labels, db_maps)
        our_walls.append(wall)
        our_cpus.append(cpu)
    subset = predictions[:python_count]
    # One run: at numpy's pace it takes many seconds.
    theirs, their_wall, their_cpu = timed(python_check, subset, labels, stores)
    our_wall = statistics.median(our_walls)
    our_rate, their_rate = count / our_wall, len(subset) / their_wall
    print(f"  {'tavrin olvane.check_result':<36} {our_wall:8.3f} s wall "
          f"{statistics.median(our_cpus):8.3f} s CPU {our_rate:9.0f} predictions/s")
    print(f"  {'python membership, numpy, faiss':<36} {their_wall:8.3f} s wall {their_cpu:8.3f} s "
          f"CPU {their_rate:9.0f} predictions/s   ({len(subset)} predictions, one run)")
    ratio_line("rate tavrin / python", our_rate / their_rate, ">= 5x", our_rate / their_rate >= 5)
    same = sum(a == b for a, b in zip(ours, theirs))
    right = sum(a == b for a, b in zip(ours, truths))
    print(f"  same checked values on both sides: {same} of {len(subset)}; tavrin restored "
          f"{right} of {count} predictions to their true labels")
    return same == len(subset)


# ---- the labelling job ----------------------------------------------------------------------

def make_ticket(random):
    products = JOB_LABELS["产品"]
    question = (OPENINGS[random.below(len(OPENINGS))] + products[random.below(len(products))]
                + TOPICS[random.below(len(TOPICS))])
    return question, words(random, 4 + random.below(8), TICKET_WORDS)


def make_train(rows):
    random = Lcg(11)
    columns = {name: [] for name in JOB_TEXT_FIELDS + JOB_FIELDS}
    for _ in range(rows):
        question, detail = make_ticket(random)
        columns["question"].append(question)
        columns["detail"].append(detail)
        for field in JOB_FIELDS:
            allowed = JOB_LABELS[field]
            columns[field].append(allowed[random.below(len(allowed))])
    return pd.DataFrame(columns)


def make_records(rows):
    """Tickets whose detail ends with "#" and digits, the first of which picks the answer."""
    random = Lcg(13)
    columns = {"id": [], "question": [], "detail": []}
    for i in range(rows):
        question, detail = make_ticket(random)
        columns["id"].append(i)
        columns["question"].append(question)
        columns["detail"].append(f"{detail}，单号#{i % len(ANSWERS)}{1000 + random.below(9000)}")
    return pd.DataFrame(columns)


def nginx_quoted(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def chat_reply(answer):
    return json.dumps({
        "id": "chatcmpl-1", "object": "chat.completion", "created": 1700000000, "model": MODEL,
        "choices": [{"index": 0, "message": {"role": "assistant", "content": answer},
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 600, "completion_tokens": 30, "total_tokens": 630},
    }, ensure_ascii=False, separators=(",", ":"))


class Nginx:
    """bench/nginx.hpp's stub: one nginx process (no master) on 127.0.0.1 that reads the body,
    sleeps DELAY and answers the reply its map picks from the body."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        replies = "".join(f"    \"~#{i}\" {nginx_quoted(chat_reply(a))};\n"
                          for i, a in enumerate(ANSWERS))
        conf = os.path.join(folder, "nginx.conf")
        with open(conf, "w", encoding="utf-8") as f:
            f.write(f"""load_module {ECHO_MODULE};
daemon off;
master_process off;
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  keepalive_timeout 300s;
  client_body_temp_path {folder}/body;
  proxy_temp_path {folder}/proxy;
  fastcgi_temp_path {folder}/fastcgi;
  uwsgi_temp_path {folder}/uwsgi;
  scgi_temp_path {folder}/scgi;
  default_type application/json;
  client_body_buffer_size 64k;
  client_body_in_single_buffer on;
  map $request_body $reply {{
{replies}    default {nginx_quoted(chat_reply(ANSWERS[0]))};
  }}
  server {{
    listen 127.0.0.1:{self.port};
    location / {{ echo_read_request_body; echo_sleep {DELAY:.3f}; echo -n $reply; }}
  }}
}}
""")
        self.process = subprocess.Popen([NGINX, "-c", conf, "-p", folder, "-e",
                                         os.path.join(folder, "error.log")])
        for _ in range(500):
            if self.accepts() or self.process.poll() is not None:
                break
            time.sleep(0.01)

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def running(self):
        return self.process.poll() is None and self.accepts()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait()


def run_child(arguments):
    """Runs `arguments`; its last line as JSON and its CPU seconds (user + system), or None
    when it failed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(arguments, stdout=subprocess.PIPE, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        print(f"  {' '.join(arguments[:3])} ... failed with exit status {done.returncode}")
        return None
    try:
        reported = json.loads(done.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        print(f"  {' '.join(arguments[:3])} ... printed no figures")
        return None
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return reported, cpu


def checked_values(path):
    checked = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            result = json.loads(line)
            checked[str(result["id"])] = result["checked"]
    return checked


def bench_label(folder, records, in_flight, runs):
    print(f"label: {records} records x {len(JOB_FIELDS)} fields, {EXAMPLES} examples each from "
          f"{TRAIN_ROWS} training documents, {in_flight} in flight, median of {runs} runs; stub: "
          f"one local nginx answering each request after {DELAY * 1000:.0f} ms")
    if not os.access(NGINX, os.X_OK) or not os.access(ECHO_MODULE, os.R_OK):
        print(f"  no figures: {NGINX} or {ECHO_MODULE} is missing (scripts/install-deps installs "
              "nginx and libnginx-mod-http-echo)")
        return False
    # What both sides read: label.py's folder (labels, template, settings, training table), and
    # the stores tavrin's side searches, built from the same table and labels.
    with open(os.path.join(folder, "labels.json"), "w", encoding="utf-8") as f:
        json.dump(JOB_LABELS, f, ensure_ascii=False)
    with open(os.path.join(folder, "template.txt"), "w", encoding="utf-8") as f:
        f.write(TEMPLATE)
    with open(os.path.join(folder, "settings.json"), "w", encoding="utf-8") as f:
        json.dump({"text_fields": JOB_TEXT_FIELDS, "examples": EXAMPLES, "model": MODEL,
                   "key": KEY}, f)
    train = make_train(TRAIN_ROWS)
    train.to_csv(os.path.join(folder, "train.csv"), index=False)
    stores = os.path.join(folder, "stores")
    tavrin_data2faiss(JOB_LABELS, train, JOB_TEXT_FIELDS, JOB_FIELDS, JOB_FIELDS,
                      os.path.join(stores, "train"), os.path.join(stores, "fields"))
    records_csv = os.path.join(folder, "records.csv")
    make_records(records).to_csv(records_csv, index=False)

    nginx = Nginx(os.path.join(folder, "nginx"))
    try:
        if not nginx.running():
            print("  no figures: nginx did not start")
            return False
        url = nginx.url("/v1/chat/completions")
        settings = {"labels": os.path.join(folder, "labels.json"),
                    "stores": stores, "llm_url": url, "llm_key": KEY,
                    "llm_model": MODEL, "text_fields": JOB_TEXT_FIELDS, "fields": JOB_FIELDS,
                    "examples": EXAMPLES, "prompt": os.path.join(folder, "template.txt"),
                    "in_flight": in_flight}
        sides = {
            "tavrin": lambda out: [PYTHON, os.path.abspath(__file__), "--tavrin-job",
                                   records_csv, json.dumps(dict(settings, out=out))],
            "python": lambda out: [PYTHON, os.path.join(BENCH_DIR, "label.py"), "job", url,
                                   str(in_flight), folder, records_csv, out],
        }
        figures = {side: [] for side in sides}
        nginx_cpu = {side: [] for side in sides}
        for run in range(runs):
            for side in (sides if run % 2 == 0 else reversed(list(sides))):
                out = os.path.join(folder, f"{side}.jsonl")
                if os.path.exists(out):
                    os.remove(out)  # tavrin's job would resume it
                start = nginx.cpu_seconds()
                got = run_child(sides[side](out))
                if got is None:
                    return False
                figures[side].append(got)
                nginx_cpu[side].append(nginx.cpu_seconds() - start)
    finally:
        nginx.stop()

    ideal = records * DELAY / in_flight
    median = lambda side, pick: statistics.median(pick(run) for run in figures[side])
    print(f"  {'':<26} {'wall':>9} {'ideal':>9} {'CPU job':>10} {'CPU process':>12} "
          f"{'CPU/1000 rec.':>14} {'nginx CPU':>10}")
    names = {"tavrin": "tavrin labeling.label", "python": "python asyncio + aiohttp"}
    cpu = {}
    for side in sides:
        cpu[side] = median(side, lambda run: run[1])
        print(f"  {names[side]:<26} {median(side, lambda run: run[0]['wall']):7.2f} s "
              f"{ideal:7.2f} s {median(side, lambda run: run[0]['cpu_job']):8.3f} s "
              f"{cpu[side]:10.3f} s {cpu[side] * 1000 / records:12.3f} s "
              f"{statistics.median(nginx_cpu[side]):8.3f} s")
    print("  (CPU process: the whole child, interpreter and imports included, from getrusage; "
          "CPU job: tavrin's whole label() call, label.py's job once its stores are built)")
    ratio = cpu["python"] / cpu["tavrin"]
    ratio_line("CPU python / tavrin (processes)", ratio, ">= 3x", ratio >= 3)
    job_ratio = (median("python", lambda run: run[0]["cpu_job"])
                 / median("tavrin", lambda run: run[0]["cpu_job"]))
    print(f"  {'CPU python / tavrin (the jobs)':<36} {job_ratio:8.1f}x")
    print(f"  {'wall tavrin / ideal':<36} "
          f"{median('tavrin', lambda run: run[0]['wall']) / ideal:8.2f}x")

    last = figures["tavrin"][-1][0]
    ours = checked_values(os.path.join(folder, "tavrin.jsonl"))
    theirs = checked_values(os.path.join(folder, "python.jsonl"))
    same = sum(1 for i, checked in ours.items() if theirs.get(i) == checked)
    print(f"  tavrin: {last['done']} done, {last['failed']} failed; same checked values on both "
          f"sides: {same} of {records} records")
    return same == records == len(ours) == len(theirs) and last["failed"] == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one run: a smoke run")
    parser.add_argument("--rows", type=int, help="rows of the stores' table (100000)")
    parser.add_argument("--predictions", type=int, help="predictions checked (100000)")
    parser.add_argument("--python-predictions", type=int,
                        help="of those, how many the Python route checks (all)")
    parser.add_argument("--records", type=int, help="records of the labelling job (5000)")
    parser.add_argument("--in-flight", type=int, default=100, help="requests at once (100)")
    parser.add_argument("--runs", type=int, help="runs of each side, the median shown (3)")
    parser.add_argument("--only", choices=["stores", "check", "label"], action="append",
                        help="run only these pieces")
    args = parser.parse_args()
    quick = args.quick
    rows = args.rows or (5000 if quick else 100000)
    predictions = args.predictions or (5000 if quick else 100000)
    python_predictions = min(args.python_predictions or predictions, predictions)
    records = args.records or (300 if quick else 5000)
    runs = args.runs or (1 if quick else 3)
    pieces = args.only or ["stores", "check", "label"]

    faiss.omp_set_num_threads(1)  # as stores.py runs it: one core
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"python: tavrin's package against pandas {pd.__version__} + numpy {np.__version__} + "
          f"faiss {faiss.__version__} + aiohttp, the same work in the same run")
    print(f"load average at start: {load} ({os.cpu_count()} cores)")
    folder = tempfile.mkdtemp(prefix="tavrin-bench-python-")
    ok = True
    try:
        labels = make_labels()
        if "stores" in pieces:
            ok = bench_stores(folder, rows, runs, labels) and ok
            print()
        elif "check" in pieces:
            build_both(folder, labels, make_table(1, labels))
        if "check" in pieces:
            ok = bench_check(folder, predictions, python_predictions, runs, labels) and ok
            print()
        if "label" in pieces:
            job_folder = os.path.join(folder, "label")
            os.makedirs(job_folder)
            ok = bench_label(job_folder, records, args.in_flight, runs) and ok
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if not ok:
        print("python: the two sides disagree or a side failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
