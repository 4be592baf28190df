#!/usr/bin/env python3
"""A real Prometheus server scrapes vesk-run on the embedded cluster, once a second, while it works
through its messages; through Prometheus's query API: every message is counted, the lag reaches 0
and no checkpoint grows older than twice the checkpoint interval.

    prometheus_test.py VESK_RUN HANDLER_DIR
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

MESSAGES = 30000
CHECKPOINT_INTERVAL = 2


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def query(prometheus_port, promql):
    """The value of the query's single result, or None while it has none."""
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (prometheus_port, urllib.parse.urlencode({"query": promql}))
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            body = json.load(answer)
    except OSError:
        return None
    result = body.get("data", {}).get("result", [])
    return float(result[0]["value"][1]) if len(result) == 1 else None


def wait_until(what, check, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.5)
    raise AssertionError("not within %d s: %s" % (limit, what))


def main():
    vesk_run, handlers = sys.argv[1], sys.argv[2]
    prometheus = shutil.which("prometheus")
    if prometheus is None:
        raise AssertionError("the prometheus program is missing: run scripts/install-deps")
    work = tempfile.mkdtemp(prefix="vesk-prometheus-test-")
    processes = []
    logs = {}
    try:
        with open(os.path.join(work, "readings.tsv"), "w") as out:
            for i in range(MESSAGES):
                out.write("key-%d\tvalue-%d\n" % (i % 500, i))
        metrics_port, prometheus_port = free_port(), free_port()
        with open(os.path.join(work, "prometheus.yml"), "w") as config:
            config.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                         "scrape_configs:\n  - job_name: vesk\n    static_configs:\n"
                         "      - targets: ['127.0.0.1:%d']\n" % metrics_port)

        def start(name, command, env=None):
            logs[name] = os.path.join(work, name + ".log")
            with open(logs[name], "w") as log:
                processes.append(subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env))

        start("prometheus", [prometheus, "--config.file", os.path.join(work, "prometheus.yml"),
                             "--storage.tsdb.path", os.path.join(work, "tsdb"),
                             "--web.listen-address", "127.0.0.1:%d" % prometheus_port])
        start("vesk-run", [vesk_run, "--handler", "examples.counting.KeyCounter", "--embedded-kafka", "2",
                           "--produce-lines", os.path.join(work, "readings.tsv"), "--state-dir",
                           os.path.join(work, "state"), "--checkpoint-interval", str(CHECKPOINT_INTERVAL),
                           "--metrics-port", str(metrics_port), "--log-level", "warning", "--run-for", "120"],
              env=dict(os.environ, VESK_HANDLER_PATH=handlers))

        wait_until("every message counted in Prometheus",
                   lambda: (query(prometheus_port, "sum(vesk_messages_processed_total)") or 0) >= MESSAGES, 90)
        wait_until("both partitions at lag 0",
                   lambda: query(prometheus_port, "count(vesk_lag_messages == 0)") == 2, 30)
        # Several intervals of scrapes, then the oldest checkpoint age ever scraped.
        time.sleep(3 * CHECKPOINT_INTERVAL)
        oldest = query(prometheus_port, "max(max_over_time(vesk_checkpoint_age_seconds[5m]))")
        if oldest is None or oldest >= 2 * CHECKPOINT_INTERVAL:
            raise AssertionError("checkpoint age reached %s s, interval %d s" % (oldest, CHECKPOINT_INTERVAL))
        for p in processes:
            if p.poll() is not None:
                raise AssertionError("%s ended early with status %d" % (p.args[0], p.returncode))
        with open(logs["vesk-run"]) as log:
            if "[info]" in log.read():
                raise AssertionError("--log-level warning let info lines through")
        print("counted %d, lag 0, oldest checkpoint age %.3f s" %
              (query(prometheus_port, "sum(vesk_messages_processed_total)"), oldest))
    except BaseException:
        for name, path in logs.items():
            with open(path) as log:
                sys.stderr.write("--- %s\n%s" % (name, log.read()[-4000:]))
        raise
    finally:
        for p in processes:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
