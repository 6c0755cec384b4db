"""The tally of bench/report.cpp the usual Python way: pandas reads the results lines, then
counts the decisions, the accuracy, the confusion matrix and the reliability bins of each
field, and fits an isotonic calibration of the confidences (scikit-learn's when installed;
Debian 12's python3-sklearn cannot be installed beside libboost1.81-dev, so without it a
numpy pool-adjacent-violators fit stands in).

Prints: seconds, peak bytes, accuracy over all fields, seconds of the isotonic fits.
"""
import resource
import sys
import time

import numpy as np
import pandas as pd


def isotonic_fit(x, y):
    try:
        from sklearn.isotonic import IsotonicRegression
        return IsotonicRegression(out_of_bounds="clip").fit(x, y)
    except ImportError:
        order = np.argsort(x, kind="mergesort")
        values, weights = list(y[order].astype(float)), [1.0] * len(order)
        merged_v, merged_w = [], []
        for v, w in zip(values, weights):
            merged_v.append(v)
            merged_w.append(w)
            while len(merged_v) > 1 and merged_v[-2] > merged_v[-1]:
                w2 = merged_w[-2] + merged_w[-1]
                merged_v[-2] = (merged_v[-2] * merged_w[-2] + merged_v[-1] * merged_w[-1]) / w2
                merged_w[-2] = w2
                merged_v.pop()
                merged_w.pop()
        return merged_v


def main():
    start = time.perf_counter()
    frame = pd.read_json(sys.argv[1], lines=True)
    right_all = gold_all = 0
    fit_seconds = 0.0
    for field in ("category", "product"):
        ok = frame["error"].isna()
        checked = frame["checked"].map(lambda c: c.get(field) if isinstance(c, dict) else None)
        gold = frame["gold"].map(lambda g: g.get(field) if isinstance(g, dict) else None)
        decision = frame["decisions"].map(
            lambda d: d[field]["decision"] if isinstance(d, dict) else None)
        confidence = frame["decisions"].map(
            lambda d: d[field].get("confidence") if isinstance(d, dict) else np.nan)
        decision[ok].value_counts()
        right = (checked.astype(str) == gold.astype(str)) & checked.notna()
        right_all += int(right.sum())
        gold_all += int(gold.notna().sum())
        pd.crosstab(gold, checked.fillna("null"))
        has = confidence.notna() & gold.notna()
        bins = np.minimum((confidence[has].astype(float) * 10).astype(int), 9)
        pd.DataFrame({"bin": bins, "right": right[has]}).groupby("bin")["right"].agg(["count", "mean"])
        fit_start = time.perf_counter()
        isotonic_fit(confidence[has].to_numpy(dtype=float), right[has].to_numpy(dtype=float))
        fit_seconds += time.perf_counter() - fit_start
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(seconds, peak, right_all / gold_all, fit_seconds)


if __name__ == "__main__":
    main()
