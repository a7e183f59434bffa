"""`ormek info`: what a package holds, without restoring it. The package is
judged first, as restoring judges its names and file facts."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from typing import Any

from .packages import (
    CHECKS_COVER,
    FACTS_CHECKED,
    NO_CHECKS,
    RECORD_SIZE,
    PackageError,
    PackageSummary,
    judge,
    read_outline,
    text_sizes,
)
from .report import NORMAL, UserError, counted, os_problem, percent, say, show, voice_level

# File names that are not UTF-8 reach Python with their bytes escaped as lone
# surrogates, which UTF-8 cannot encode; JSON can, as \udcXX escapes.
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def command_info(args: argparse.Namespace) -> int:
    package: str = args.package
    stored, compressed_bytes, dictionary_size = read_outline(package)
    try:
        summary = PackageSummary(stored, compressed_bytes, dictionary_size)
    except PackageError as err:
        raise UserError(package, str(err)) from None
    _, summary.reach = judge(package, stored)
    try:
        package_bytes = os.stat(package).st_size
    except OSError as err:
        raise UserError(package, os_problem(err)) from None
    text_bytes = sum(text_sizes(package, stored, len(summary.filenames)))
    report = _report(show(package), package_bytes, text_bytes, summary)
    if args.json and voice_level() >= NORMAL:
        write_json(report)
    else:
        for line in _text_lines(report, summary):
            say(line)
    return 0


def _report(
    package: str, package_bytes: int, text_bytes: int, summary: PackageSummary
) -> dict[str, Any]:
    raw_bytes = RECORD_SIZE * summary.tokens
    compressed = summary.compressed_bytes
    return {
        "package": package,
        "package_bytes": package_bytes,
        "text_bytes": text_bytes,
        "package_ratio": package_bytes / text_bytes if text_bytes else None,
        "files": len(summary.filenames),
        "tokens": summary.tokens,
        "dictionary_size": summary.dictionary_size,
        "compressed_bytes": compressed,
        "raw_bytes": raw_bytes,
        "frame_content_bytes": summary.frame_content_size(),
        "ratio": compressed / raw_bytes if raw_bytes else None,
        "checks": summary.reach != NO_CHECKS,
        "facts_verified": summary.reach == FACTS_CHECKED,
        "empty_dirs": summary.empty_dirs,
        "file_tokens": [
            {"name": name if isinstance(name, str) else repr(name), "tokens": count}
            for name, count in zip(summary.filenames, summary.token_counts)
        ],
    }


def _text_lines(report: dict[str, Any], summary: PackageSummary) -> list[str]:
    compressed, raw_bytes = report["compressed_bytes"], report["raw_bytes"]
    package_bytes, text_bytes = report["package_bytes"], report["text_bytes"]
    lines = [
        f"package:     {report['package']}",
        f"size:        {counted(package_bytes, 'byte')} for {counted(text_bytes, 'byte')} of text"
        f" ({percent(package_bytes, text_bytes)}, the dictionary included)",
        f"files:       {report['files']}",
        f"tokens:      {summary.tokens}",
        f"dictionary:  {counted(summary.dictionary_size, 'token')}",
        f"id stream:   {counted(compressed, 'byte')} compressed of {raw_bytes} raw"
        f" ({percent(compressed, raw_bytes)}, {RECORD_SIZE} bytes a token)",
        "checks:      "
        + (
            f"yes ({CHECKS_COVER[summary.reach]});"
            f" {counted(summary.empty_dirs, 'empty directory', 'empty directories')}"
            if summary.reach != NO_CHECKS
            else "none (`ormek check` can only try to restore it)"
        ),
    ]
    content = report["frame_content_bytes"]
    if content is not None and content != raw_bytes:
        held = counted(content, "byte")
        lines.append(f"warning:     the frame holds {held}, the boundaries need {raw_bytes}")
    if summary.filenames:
        width = max(6, len(str(max(summary.token_counts, default=0))))
        lines.append(f"{'tokens':>{width}}  name")
        lines.extend(f"{e['tokens']:>{width}}  {e['name']}" for e in report["file_tokens"])
    return lines


def write_json(report: object) -> None:
    """`report` as UTF-8 JSON on stdout, whatever the locale and the names."""
    text = json.dumps(report, indent=2, ensure_ascii=False)
    text = _LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")
