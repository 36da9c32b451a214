"""Cost of reading a conversation's format, against the module's own transcript of it.

    python -m benchmarks.formats [MESSAGES] [--seconds S] [--out FILE]

The seeded tool-heavy conversation of the other benchmarks is written in each format
(the summarizer's own shape, Anthropic blocks, Responses items, LangChain's dict shape);
each round times reading it into message records (`to_messages`) and the module's
transcript of those records, in turn, so that a slow spell of the machine falls on both.
Reading is timed with the cyclic collector off, as every other benchmark here runs, and
on: the records it makes bring full collections over the whole conversation, which the
module's transcript (one str) does not. Prints a Markdown table of the medians (and
writes it to --out)."""
import argparse
import gc
import json
import statistics
import sys
import time

import morvex.core.summarizer as native
from morvex_summarize.formats import to_messages

from benchmarks import conversations as conv


def _arguments(tc):
    return tc.get("arguments", tc.get("function", {}).get("arguments", {}))


def _name(tc):
    return tc.get("name", tc.get("function", {}).get("name"))


def anthropic(messages):
    out = []
    for m in messages:
        role = m["role"]
        if role == "tool":
            block = {"type": "tool_result", "tool_use_id": m["tool_call_id"],
                     "content": m["content"]}
            if out and out[-1]["role"] == "user" and isinstance(out[-1]["content"], list):
                out[-1]["content"].append(block)
            else:
                out.append({"role": "user", "content": [block]})
        elif role == "assistant" and m.get("tool_calls"):
            blocks = [{"type": "text", "text": m["content"]}] if m["content"] else []
            for tc in m["tool_calls"]:
                args = _arguments(tc)
                blocks.append({"type": "tool_use", "id": tc["id"], "name": _name(tc),
                               "input": json.loads(args) if isinstance(args, str) else args})
            out.append({"role": "assistant", "content": blocks})
        elif role in ("user", "assistant"):
            out.append({"role": role, "content": [{"type": "text", "text": m["content"]}]})
    return {"system": messages[0]["content"], "messages": out}


def responses(messages):
    out = []
    for m in messages:
        if m["role"] == "tool":
            out.append({"type": "function_call_output", "call_id": m["tool_call_id"],
                        "output": m["content"]})
            continue
        if m["content"]:
            kind = "output_text" if m["role"] == "assistant" else "input_text"
            out.append({"type": "message", "role": m["role"],
                        "content": [{"type": kind, "text": m["content"]}]})
        for tc in m.get("tool_calls") or ():
            args = _arguments(tc)
            out.append({"type": "function_call", "call_id": tc["id"], "name": _name(tc),
                        "arguments": args if isinstance(args, str) else json.dumps(args)})
    return out


def langchain(messages):
    kinds = {"system": "system", "user": "human", "assistant": "ai", "tool": "tool"}
    out = []
    for m in messages:
        data = {"content": m["content"], "type": kinds[m["role"]]}
        if m["role"] == "tool":
            data["tool_call_id"] = m["tool_call_id"]
        if m.get("tool_calls"):
            data["tool_calls"] = [
                {"name": _name(tc), "id": tc["id"], "type": "tool_call",
                 "args": json.loads(a) if isinstance(a := _arguments(tc), str) else a}
                for tc in m["tool_calls"]]
        out.append({"type": kinds[m["role"]], "data": data})
    return out


FORMATS = {"openai (the module's shape)": lambda m: m, "anthropic": anthropic,
           "responses": responses, "langchain dicts": langchain}


def measure(size, seconds):
    messages = conv.conversation("tools", "ascii", size)
    rows = []
    for label, write in FORMATS.items():
        doc = write(messages)
        read = to_messages(doc)
        read_times, collected_times, transcript_times = [], [], []
        end = time.perf_counter() + seconds
        while time.perf_counter() < end or len(read_times) < 3:
            del read
            gc.collect()
            start = time.perf_counter()
            read = to_messages(doc)
            collected_times.append(time.perf_counter() - start)
            del read
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                read = to_messages(doc)
                middle = time.perf_counter()
                native._format_messages_for_summary(read)
                end_round = time.perf_counter()
            finally:
                gc.enable()
            read_times.append(middle - start)
            transcript_times.append(end_round - middle)
        rows.append((label, len(doc["messages"] if isinstance(doc, dict) else doc), len(read),
                     *(statistics.median(t) * 1e3 for t in
                       (read_times, collected_times, transcript_times))))
    return rows


def table(size, rows):
    lines = [f"Reading {size:,} messages (tool-heavy, ASCII) in each format, against the "
             "module's transcript of the records read (medians):", "",
             "| format | items | records | reading | with the collector | transcript | "
             "reading / transcript |",
             "|---|---|---|---|---|---|---|"]
    for label, items, records, read_ms, collected_ms, transcript_ms in rows:
        lines.append(f"| {label} | {items:,} | {records:,} | {read_ms:.0f} ms | "
                     f"{collected_ms:.0f} ms | {transcript_ms:.0f} ms | "
                     f"{read_ms / transcript_ms:.2f} |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks.formats",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("messages", type=int, nargs="?", default=186_000)
    parser.add_argument("--seconds", type=float, default=10.0, help="time per format")
    parser.add_argument("--out", default=None, help="also write the table here")
    args = parser.parse_args(argv)
    text = table(args.messages, measure(args.messages, args.seconds))
    sys.stdout.write(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
