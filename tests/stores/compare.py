"""Compares what logfetch exported with what the stores give back.

  compare.py openmetrics FILE.om DUMP SAVED     promtool tsdb dump against the file
  compare.py influx FILE.lp QUERY.json SAVED    an InfluxDB query against the file
  compare.py incremental OM1 OM2 FILE.lp NEW    two -n runs: each sample once
  compare.py store KIND ANSWER.json OM...       what the -n runs pushed, against
                                                their OpenMetrics files: every
                                                sample once (KIND influx, prom,
                                                vm-lp, vm-rw)
"""
import collections
import json
import re
import sys

LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def om_samples(path):
    """(name, labels, value, seconds) of every sample line."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            name, rest = line.split("{", 1)
            labels, tail = rest.rsplit("} ", 1)
            value, ts = tail.split()
            out.append((name, tuple(sorted(LABEL.findall(labels))), float(value), int(ts)))
    return out


def dump_samples(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            labels, tail = line.rstrip("\n")[1:].rsplit("} ", 1)
            pairs = dict(LABEL.findall(labels))
            name = pairs.pop("__name__")
            value, ms = tail.split()
            assert int(ms) % 1000 == 0, line
            out.append((name, tuple(sorted(pairs.items())), float(value), int(ms) // 1000))
    return out


def split_unescaped(text, sep, keep=False):
    """Splits at separators no backslash escapes; keep leaves the escapes."""
    parts, cur, i = [], "", 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in ", =":
            cur += text[i : i + 2] if keep else text[i + 1]
            i += 2
            continue
        if text[i] == sep:
            parts.append(cur)
            cur = ""
        else:
            cur += text[i]
        i += 1
    parts.append(cur)
    return parts


def lp_points(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, field, ts = split_unescaped(line.rstrip("\n"), " ", keep=True)
            parts = split_unescaped(key, ",", keep=True)
            tags = tuple(sorted(tuple(split_unescaped(t, "=")) for t in parts[1:]))
            parts[0] = split_unescaped(parts[0], "")[0]
            assert field.startswith("value="), line
            out.append((parts[0], tags, float(field[6:]), int(ts)))
    return out


def query_points(path):
    out = []
    with open(path, encoding="utf-8") as f:
        result = json.load(f)["results"][0]
    for series in result.get("series", []):
        cols = series["columns"]
        for row in series["values"]:
            d = dict(zip(cols, row))
            ts, value = d.pop("time"), d.pop("value")
            tags = tuple(sorted((k, v) for k, v in d.items() if v is not None))
            out.append((series["name"], tags, float(value), int(ts)))
    return out


def matrix_points(path, suffix=""):
    """A Prometheus-style answer of raw samples (a range selector)."""
    out = []
    with open(path, encoding="utf-8") as f:
        result = json.load(f)["data"]["result"]
    for series in result:
        labels = dict(series["metric"])
        name = labels.pop("__name__")
        if suffix and name.endswith(suffix):
            name = name[: -len(suffix)]
        for ts, value in series["values"]:
            out.append((name, tuple(sorted(labels.items())), float(value), int(float(ts))))
    return out


def same(want, got, what):
    w, g = collections.Counter(want), collections.Counter(got)
    if w == g:
        return True
    print(f"{what}: {len(want)} exported, {len(got)} read back", file=sys.stderr)
    for s in list((w - g).elements())[:5]:
        print("  missing:", s, file=sys.stderr)
    for s in list((g - w).elements())[:5]:
        print("  extra:  ", s, file=sys.stderr)
    return False


def series_key(labels):
    d = dict(labels)
    return (d["port"], d["slot"])


def main(argv):
    mode = argv[1]
    if mode == "openmetrics":
        want = om_samples(argv[2])
        ok = same(want, dump_samples(argv[3]), "promtool")
        return ok and len(want) == int(argv[4])
    if mode == "influx":
        want = lp_points(argv[2])
        ok = same(want, query_points(argv[3]), "influxd")
        return ok and len(want) == int(argv[4])
    if mode == "incremental":
        first, second, lines = om_samples(argv[2]), om_samples(argv[3]), lp_points(argv[4])
        if len(second) != int(argv[5]):
            print(f"second run exported {len(second)} samples", file=sys.stderr)
            return False
        newest = collections.defaultdict(lambda: -2**63)
        for s in first:
            newest[series_key(s[1])] = max(newest[series_key(s[1])], s[3])
        if any(s[3] <= newest[series_key(s[1])] for s in second):
            print("second run exported a sample the first had", file=sys.stderr)
            return False
        om = [(series_key(s[1]), s[2], s[3]) for s in first + second]
        lp = [(series_key(p[1]), p[2], p[3] // 10**9) for p in lines]
        return same(om, lp, "line protocol across the runs")
    if mode == "store":
        kind, answer = argv[2], argv[3]
        want = [p for om in argv[4:] for p in om_samples(om)]
        if kind == "influx":
            got = query_points(answer)
        else:
            got = matrix_points(answer, "_value" if kind == "vm-lp" else "")
        if not same(want, got, kind):
            return False
        series = collections.defaultdict(list)
        for name, labels, value, ts in got:
            series[(name, labels)].append((ts, value))
        print(f"{kind}: {len(got)} samples in {len(series)} series, each once;",
              "; ".join(f"{dict(k[1])['port']}/{dict(k[1])['slot']}: {len(v)} from {min(v)} to {max(v)}"
                        for k, v in sorted(series.items())))
        return len(want) > 0
    raise SystemExit("unknown mode " + mode)


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv) else 1)
