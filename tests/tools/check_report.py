#!/usr/bin/env python3
"""Checks a purgato-scan --report file: every line one JSON object valid
against the schema, the run record first and the end record last, and the
end record's totals equal to the statistics block of the same run's stdout
(when given), each note a line of the same run's stderr (when given), and
each Run value's text the start of its bytes.

    check_report.py SCHEMA REPORT [STDOUT [STDERR]]
"""
import json
import re
import sys

import jsonschema


def main():
    schema_path, report_path = sys.argv[1], sys.argv[2]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    problems = []
    records = []
    with open(report_path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            try:
                record = json.loads(line)
            except ValueError as error:
                problems.append(f"line {number}: not JSON: {error}")
                continue
            for error in validator.iter_errors(record):
                problems.append(f"line {number}: {error.message}")
            records.append(record)
    if not records or records[0].get("record") != "run":
        problems.append("the first record is not the run record")
    if not records or records[-1].get("record") != "end":
        problems.append("the last record is not the end record")
    if len(sys.argv) > 3 and records and records[-1].get("record") == "end":
        with open(sys.argv[3], encoding="utf-8", errors="replace") as f:
            out = f.read()
        for name, key in (("scanned", "files_scanned"), ("infected", "files_infected"),
                          ("disinfected", "files_disinfected"), ("deleted", "files_deleted")):
            found = re.search(r"Total files " + name + r"\t+:  (\d+)", out)
            if not found or int(found.group(1)) != records[-1][key]:
                problems.append(f"{key} {records[-1][key]} is not the statistics block's "
                                f"{found.group(1) if found else 'missing'}")
        findings = sum(1 for r in records if r.get("record") == "finding")
        if findings != records[-1]["findings"]:
            problems.append(f"{findings} finding records, the end record says {records[-1]['findings']}")
    for number, record in enumerate(records, 1):
        if record.get("kind") != "run-value" or not isinstance(record.get("value_hex"), str):
            continue
        raw = bytes.fromhex(record["value_hex"]).split(b"\0")[0]
        if raw.decode("utf-8", errors="replace") != record.get("value_data") and \
                raw.decode("latin-1") != record.get("value_data"):
            problems.append(f"line {number}: value_data is not the text of value_hex up to its first zero")
    if len(sys.argv) > 4:
        with open(sys.argv[4], encoding="utf-8", errors="replace") as f:
            err = set(f.read().splitlines())
        for record in records:
            if record.get("record") == "note" and "purgato-scan: " + record["text"] not in err:
                problems.append(f"note not on stderr: {record['text']}")
    for problem in problems:
        print(problem)
    print(f"{len(records)} records, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
