#!/usr/bin/env python3
"""A week of three tags of the sample plant: hourly means and their correlation.

Usage: PYTHONPATH=build/python python3 examples/analysis.py [PLANT.json | DATABASE]

With a JSON file (examples/plant.json by default) the plant is imported into
a temporary database first; a database folder is opened as it is. The
example reads the week before the plant's current values (2024-03-07T00:00Z)
as one wide frame, resamples it to 1-hour means, and prints the means'
summary and their correlation.
"""

import pathlib
import sys
import tempfile

import pandas as pd

import vantrel

TAGS = ["TI101.VALUE", "TI102.VALUE", "PI201.VALUE"]
END = pd.Timestamp("2024-03-07T00:00:00Z")
START = END - pd.Timedelta(days=7)


def analyse(client):
    frame = client.history(TAGS, START, END, wide=True)
    hourly = frame.resample("1H").mean()
    print(f"{len(frame)} times, {int(frame.notna().sum().sum())} values of {len(TAGS)} tags "
          f"from {frame.index.min():%Y-%m-%d %H:%M} to {frame.index.max():%Y-%m-%d %H:%M} UTC")
    print("\nHourly means:")
    print(hourly.describe().loc[["count", "mean", "min", "max"]].round(2).to_string())
    print("\nDaily means:")
    print(hourly.resample("1D").mean().round(2).to_string())
    print("\nCorrelation of the hourly means:")
    print(hourly.corr().round(3).to_string())


def main():
    examples = pathlib.Path(__file__).resolve().parent
    source = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else examples / "plant.json"
    if source.is_dir():
        with vantrel.connect(source) as client:
            analyse(client)
        return
    with tempfile.TemporaryDirectory(prefix="vantrel-analysis.") as work:
        database = pathlib.Path(work) / "plant.db"
        vantrel.import_database(source, database)
        with vantrel.connect(database) as client:
            analyse(client)


if __name__ == "__main__":
    main()
