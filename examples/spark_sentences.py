#!/usr/bin/env python3
"""Sentences of every file of a folder with PySpark, one JSON object a line.

    spark_sentences.py INPUT_DIR OUTPUT_DIR [--master M] [--encoding E]

writes OUTPUT_DIR/NAME.jsonl for each file NAME of INPUT_DIR (not its
subfolders, nor hidden files), the same bytes as `ptsplit -f jsonl NAME`:
byte offsets into the file's text (a compressed file is decompressed), the
sentence decoded to UTF-8 as the segmenter reads it.  The files are
segmented in the executors (ptseg must be installed there, and the input
folder readable from them at the same path); the outputs come back to the
driver, which writes each under a temporary name and renames it.  A file that
cannot be read or segmented (missing, corrupt compressed data) is named on
standard error with the reason, as ptsplit does, and the others are written
all the same; the exit status is then 1.  An input folder that cannot be
listed stops the run with status 2.  --master is local[*] unless given
(spark://HOST:7077, yarn, ...).
"""
import argparse
import os
import sys

# The JSON escapes ptsplit writes: the short forms, \\u00XX in capitals for
# the other control characters, and the quote and backslash.
_ESCAPES = {c: "\\u%04X" % c for c in range(0x20)}
_ESCAPES.update({0x08: "\\b", 0x0C: "\\f", 0x0A: "\\n", 0x0D: "\\r", 0x09: "\\t",
                 ord('"'): '\\"', ord("\\"): "\\\\"})


def jsonl(path, encoding):
    """ptsplit's jsonl output for the file at path."""
    import ptseg

    lines = []
    for text, span in ptseg.split_file(path, encoding, spans=True):
        lines.append('{"start": %d, "end": %d, "paragraph": %d, "text": "%s"}\n'
                     % (span.start, span.end, span.paragraph, text.translate(_ESCAPES)))
    return "".join(lines).encode("utf-8")


def segment(path, encoding):
    """(name, jsonl output, None) of the file at path, or (name, None, why)
    when it cannot be read or segmented, so that one bad file of many does
    not stop the job."""
    import ptseg

    name = os.path.basename(path)
    try:
        return name, jsonl(path, encoding), None
    except (OSError, ptseg.Error) as error:
        return name, None, _reason(error)


def _reason(error):
    """An error as ptsplit words it: "PATH: reason"."""
    if isinstance(error, OSError) and error.strerror and error.filename:
        return "%s: %s" % (error.filename, error.strerror)
    return str(error)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("--master", default="local[*]")
    parser.add_argument("--encoding", default="utf-8", choices=["utf-8", "latin-1"])
    args = parser.parse_args(argv)

    program = os.path.basename(sys.argv[0])
    # Listed here, not by Spark's file reader, which would leave out the
    # names that start with "_" and read compressed files as they are; an
    # input folder that cannot be listed stops the run before Spark starts
    # or the output folder is made.
    try:
        folder = os.path.abspath(args.input_dir)
        paths = sorted(entry.path for entry in os.scandir(folder)
                       if entry.is_file() and not entry.name.startswith("."))
    except OSError as error:
        print("%s: %s" % (program, _reason(error)), file=sys.stderr)
        return 2

    # Local executors run this interpreter, which has ptseg.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    spark = (SparkSession.builder.master(args.master).appName("ptseg sentences")
             .config("spark.ui.enabled", "false").getOrCreate())
    try:
        os.makedirs(args.output_dir, exist_ok=True)
        encoding = args.encoding
        # Rounds of two files a core, each file a task: toLocalIterator()
        # would run one partition after the other, on one core.
        context = spark.sparkContext
        step = 2 * context.defaultParallelism
        done = failed = 0
        for at in range(0, len(paths), step):
            batch = paths[at:at + step]
            outputs = context.parallelize(batch, len(batch)) \
                             .map(lambda path: segment(path, encoding)).collect()
            for name, out, why in outputs:
                if out is None:
                    print("%s: %s" % (program, why), file=sys.stderr)
                    failed += 1
                    continue
                target = os.path.join(args.output_dir, name + ".jsonl")
                with open(target + ".tmp", "wb") as f:
                    f.write(out)
                os.replace(target + ".tmp", target)
                done += 1
        print("%d files segmented into %s%s" % (done, args.output_dir,
                                                ", %d failed" % failed if failed else ""),
              file=sys.stderr)
    finally:
        spark.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
