"""The pandas side of bench/split: one measurement per run, printed as "<seconds> <peak KiB>".

    split.py read  data.csv                      -> seconds of pandas.read_csv
    split.py split data.csv train.csv test.csv   -> seconds of sample + reset_index + iloc + to_csv
"""
import resource
import sys
import time

import pandas as pd


def main():
    mode, path = sys.argv[1], sys.argv[2]
    start = time.perf_counter()
    table = pd.read_csv(path)
    if mode == "read":
        report(start)
        return
    train_path, test_path = sys.argv[3], sys.argv[4]
    start = time.perf_counter()
    shuffled = table.sample(frac=1, random_state=42).reset_index(drop=True)
    test_size = int(len(table) * 0.1)
    test_data = shuffled.iloc[:test_size]
    train_data = shuffled.iloc[test_size:]
    train_data.to_csv(train_path, index=False)
    test_data.to_csv(test_path, index=False)
    report(start)


def report(start):
    seconds = time.perf_counter() - start
    print(seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


if __name__ == "__main__":
    main()
