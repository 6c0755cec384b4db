"""The Python side of bench/literal: ast.literal_eval over every reply of a file.

    literal.py replies.jsonl results.jsonl   -> prints the best CPU seconds of three passes,
                                                writes each parsed reply as one JSON line
"""
import ast
import json
import sys
import time


def main():
    with open(sys.argv[1], encoding="utf-8") as lines:
        replies = [json.loads(line) for line in lines]
    best = float("inf")
    for _ in range(3):
        start = time.process_time()
        results = [ast.literal_eval(reply) for reply in replies]
        best = min(best, time.process_time() - start)
    print(best, flush=True)
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        for result in results:
            out.write(json.dumps(result, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
