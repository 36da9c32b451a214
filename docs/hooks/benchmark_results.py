"""MkDocs hook: publishes benchmarks/results, the tables and plots the benchmarks write,
with the site under the same path, so the pages link to and show the files a run wrote
rather than copies of them."""

from __future__ import annotations

from pathlib import Path

from mkdocs.config.defaults import MkDocsConfig
from mkdocs.structure.files import File, Files

RESULTS = Path(__file__).resolve().parents[2] / "benchmarks" / "results"
PUBLISHED = {".md", ".png"}


def on_files(files: Files, config: MkDocsConfig) -> Files:
    for path in sorted(RESULTS.iterdir()):
        if path.suffix in PUBLISHED:
            files.append(File.generated(config, f"benchmarks/results/{path.name}",
                                        abs_src_path=str(path)))
    return files
