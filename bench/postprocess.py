"""The Python side of bench/postprocess: the reply procedure on every line of a file.

    postprocess.py replies.jsonl results.jsonl   -> prints the best CPU seconds of five passes
                                                    of the procedure alone, writes each result
                                                    as one JSON line
"""
import ast
import json
import sys
import time


def llm_postprocess(response):
    processed_response = (response.replace("```json", "").replace("```", "")
                          .replace("\n", "").replace(" ", ""))
    try:
        return ast.literal_eval(processed_response)
    except Exception:
        try:
            return json.loads(processed_response)
        except Exception:
            return processed_response


def main():
    with open(sys.argv[1], encoding="utf-8") as lines:
        replies = [json.loads(line) for line in lines]
    best = float("inf")
    for _ in range(5):
        start = time.process_time()
        results = [llm_postprocess(reply) for reply in replies]
        best = min(best, time.process_time() - start)
    print(best, flush=True)
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        for result in results:
            out.write(json.dumps(result, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
