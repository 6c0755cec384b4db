# pandas tables as the C++ library takes them: column names and one list of cells per column.

import numpy as np


def row_columns(datas, names):
    """The cells of `names` (each once, those `datas` has) as `datas.iloc[i][name]` gives them:
    a row of a table whose columns are all numeric is of their common type (an int column of a
    table with a float column reads 1.0), else each cell keeps its column's type. A name the
    table lacks is a KeyError, as looking it up in the first row is."""
    rows = len(datas)
    wanted = list(dict.fromkeys(names))
    if rows > 0:
        for name in wanted:
            if name not in datas.columns:
                raise KeyError(name)  # as the first row's lookup fails
    present = [name for name in wanted if name in datas.columns]
    if not present and rows > 0:
        # No cell is read, yet every row counts: one column that no name asks for.
        return ["\0rows"], [[None] * rows]
    row_type = datas.iloc[0].dtype if rows > 0 else object
    if row_type == object:
        return present, [datas[name].tolist() for name in present]
    return present, [datas[name].astype(row_type).tolist() for name in present]


def table_columns(datas):
    """Every column of `datas`, in table order: the cells of an object, integer, bool or double
    column as the column holds them; those of any other (dates, durations, float32, pandas'
    own types) as the text to_csv writes for them, a missing one None."""
    names = [str(name) for name in datas.columns]
    return names, [_cells(datas.iloc[:, i]) for i in range(len(names))]


def _cells(column):
    dtype = column.dtype
    if isinstance(dtype, np.dtype) and (dtype == object or dtype == np.float64 or dtype.kind in "iub"):
        return column.tolist()
    return column.astype(str).where(column.notna(), None).tolist()
