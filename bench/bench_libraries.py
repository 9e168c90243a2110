"""Ours against the libraries a user would otherwise pick, each on the same
input (install them with the `bench` extra):

- masking by key name: Django's SafeExceptionReporterFilter.cleanse_setting
  against starveil, on 10,000 nested records;
- trimming long leaves: the Sentry SDK's serializer.serialize with
  max_value_length against murkfold, one record per call (the serializer
  keeps at most ten items per container level), on 1,000 records that each
  hold one 5,000-character text;
- a validated table from rows, and selecting columns: tablib's Dataset (from
  the row dictionaries) and Dataset.subset, pandas' DataFrame.from_records
  and df[cols].to_dict("records"), against Table and Table.filter, on
  10,000 rows of 8 columns.

The outputs differ in detail: Django masks with its own text and by its own
list of sensitive words, Sentry cuts to a shorter text ending in "..." and
records what it cut, tablib and pandas hold their own containers."""

import importlib.util
import sys

from harness import Case, Row, memo

import bench_tables
import bench_walkers

# The module each row needs, by the row's baseline.
MODULES = {"django": "django", "sentry-sdk": "sentry_sdk", "tablib": "tablib", "pandas": "pandas"}


@memo
def masking():
    import django
    from django.conf import settings

    if not settings.configured:
        settings.configure()
        django.setup()
    from django.views.debug import SafeExceptionReporterFilter

    from tools.common.starveil import starveil

    return {"d": bench_walkers.records(10_000), "starveil": starveil, "cleanser": SafeExceptionReporterFilter()}


@memo
def trimming():
    from sentry_sdk.serializer import serialize

    from tools.common.murkfold import murkfold

    recs = bench_walkers.records(1000)
    for i, r in enumerate(recs):
        r["note"] = chr(97 + i % 26) * 5000
    return {"d": recs, "murkfold": murkfold, "serialize": serialize}


def tablib_load(rows):
    import tablib

    ds = tablib.Dataset()
    ds.dict = rows
    return ds


TABLE_ROWS = 10_000  # tablib's subset takes about a second at this size


@memo
def tables():
    import pandas
    import tablib  # noqa: F401

    from tools.tables.tables import Table

    columns = bench_tables.COLUMNS
    rows = [dict(zip(columns, range(i, i + 8))) for i in range(TABLE_ROWS)]
    source = {"columns": columns, "data": rows}
    return {"Table": Table, "source": source, "rows": rows, "ours": Table(table=source),
            "INCLUDE": bench_tables.INCLUDE, "tablib_load": tablib_load, "DataFrame": pandas.DataFrame,
            "dataset": tablib_load(rows), "frame": pandas.DataFrame.from_records(rows)}


def rows():
    missing = {dist for dist, module in MODULES.items() if importlib.util.find_spec(module) is None}
    if missing:
        print(f"not installed, rows left out: {', '.join(sorted(missing))} (install the 'bench' extra)",
              file=sys.stderr)
    return [row for row in all_rows() if row.versus.split(":")[0] not in missing]


def all_rows():
    rec = f"{TABLE_ROWS:,} x {len(bench_tables.COLUMNS)}"
    construct = Case("Table(table=source) 10,000 rows", "Table(table=source)", tables)
    select = Case("ours.filter(include=INCLUDE) 10,000 rows", "ours.filter(include=INCLUDE)", tables)
    return [
        Row("libraries", "starveil: 10,000 nested records",
            Case("starveil 10,000 records", "starveil(name='records', value=d)", masking),
            Case("django cleanse_setting", "cleanser.cleanse_setting('records', d)", masking),
            "django: SafeExceptionReporterFilter.cleanse_setting", note="their mask text and sensitive words"),
        Row("libraries", "murkfold: 1,000 records, one per call",
            Case("murkfold per record", "for r in d: murkfold(value=r)", trimming),
            Case("sentry serialize per record", "for r in d: serialize(r, max_value_length=4000)", trimming),
            "sentry-sdk: serializer.serialize", note="their trimming mark and annotations"),
        Row("libraries", f"Table(table=...) {rec}", construct,
            Case("tablib Dataset.dict", "tablib_load(rows)", tables), "tablib: Dataset from the row dicts",
            note="their container"),
        Row("libraries", f"Table(table=...) {rec}", construct,
            Case("pandas DataFrame.from_records", "DataFrame.from_records(rows)", tables),
            "pandas: DataFrame.from_records", note="their container"),
        Row("libraries", f".filter(include=INCLUDE) {rec}", select,
            Case("tablib Dataset.subset", "dataset.subset(cols=INCLUDE)", tables), "tablib: Dataset.subset",
            note="their container"),
        Row("libraries", f".filter(include=INCLUDE) {rec}", select,
            Case("pandas df[cols].to_dict", "frame[INCLUDE].to_dict('records')", tables),
            "pandas: df[cols].to_dict('records')", note="a list of dicts, not a table"),
    ]
