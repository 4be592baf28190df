"""Runs the same keyed counting job on Vesk and on its peers, over one topic of one real Kafka
cluster, and prints each system's figures side by side. Started by bench/peers/run, which
installs the peers first; `bench/peers/run --help` lists the settings.

For every system and run: a fresh consumer group (or application id) and a fresh state folder,
the figures below, and a check of the final counts read from that system's own store against
the truth. A system whose counts are wrong, or cannot be read, gets no figure for that run.
"""

import argparse
import glob
import json
import os
import pickle
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import time
import uuid

from confluent_kafka import Consumer, KafkaError, Producer, TopicPartition, OFFSET_BEGINNING
from confluent_kafka.admin import AdminClient, NewTopic

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
VENV = os.path.join(HERE, ".venv")
PARTITIONS = 8
DEFAULT_SYSTEMS = ["vesk-cpp", "vesk-py", "kstreams", "quix", "faust", "bytewax"]
# "-eos": the same peer in its exactly-once mode.
SYSTEMS = DEFAULT_SYSTEMS + ["kstreams-eos", "quix-eos", "faust-eos"]
PEERS = ["kstreams", "quix", "faust", "bytewax", "kstreams-eos", "quix-eos", "faust-eos"]
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def note(text):
    print(f"peers: {text}", file=sys.stderr, flush=True)


def key_name(i):
    return f"k{i:07d}"


# ---------------------------------------------------------------------------------------------
# The cluster, the topic and the stores that live in Kafka


class Cluster:
    """scripts/kafka-cluster in the background, until stop()."""

    def __init__(self, work):
        self.dir = os.path.join(work, "cluster")
        self.log = open(os.path.join(work, "cluster.log"), "w")
        self.proc = subprocess.Popen([os.path.join(ROOT, "scripts", "kafka-cluster"), "--dir", self.dir,
                                      "--nodes", "1", "--stop-with-parent"], stdout=subprocess.PIPE, stderr=self.log,
                                     text=True, start_new_session=True)
        deadline = time.time() + 180
        self.bootstrap = None
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            if line.startswith("bootstrap: "):
                self.bootstrap = line.split(": ", 1)[1].strip()
                break
        if not self.bootstrap:
            self.stop()
            sys.exit(f"peers: the Kafka cluster did not start; see {self.log.name}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def create_topic(bootstrap, name, partitions):
    admin = AdminClient({"bootstrap.servers": bootstrap})
    for future in admin.create_topics([NewTopic(name, partitions, 1)]).values():
        future.result(30)


def fill(bootstrap, topic, n, keys, start=0):
    """Writes messages start to start + n - 1 over `keys` keys (message i has key i % keys, and
    the key as its value), with Java's partitioner, so that every system sees the same
    partitions. Returns the end offset of each partition."""
    names = [key_name(i).encode() for i in range(keys)]
    producer = Producer({"bootstrap.servers": bootstrap, "linger.ms": 50, "batch.size": 1 << 20,
                         "partitioner": "murmur2_random", "acks": "all"})
    for i in range(start, start + n):
        k = names[i % keys]
        while True:
            try:
                producer.produce(topic, k, k)
                break
            except BufferError:
                producer.poll(0.05)
        if i % 10000 == 0:
            producer.poll(0)
    if producer.flush(120) != 0:
        sys.exit("peers: could not write every message to the topic")
    return end_offsets(bootstrap, topic)


def end_offsets(bootstrap, topic):
    c = Consumer({"bootstrap.servers": bootstrap, "group.id": "peers-probe"})
    try:
        parts = c.list_topics(topic, timeout=30).topics[topic].partitions
        return {p: c.get_watermark_offsets(TopicPartition(topic, p), timeout=30)[1] for p in parts}
    finally:
        c.close()


def warm_up(bootstrap, topic):
    """Asks for a group's offsets once, so that the cluster creates its offsets topic now rather
    than in the first system's startup time."""
    c = Consumer({"bootstrap.servers": bootstrap, "group.id": "peers-warm-up"})
    deadline = time.time() + 120
    try:
        while True:
            try:
                c.committed([TopicPartition(topic, 0)], timeout=30)
                return
            except Exception:  # noqa: BLE001 - the coordinator is not there yet
                if time.time() > deadline:
                    raise
                time.sleep(0.5)
    finally:
        c.close()


def truth(n, keys):
    return {key_name(i): n // keys + (1 if i < n % keys else 0) for i in range(min(n, keys))}


def committed_at_end(bootstrap, group, topic, ends):
    c = Consumer({"bootstrap.servers": bootstrap, "group.id": group, "enable.auto.commit": False})
    try:
        got = c.committed([TopicPartition(topic, p) for p in ends], timeout=10)
        return all(tp.offset >= ends[tp.partition] for tp in got)
    except Exception:  # noqa: BLE001 - the group may not exist yet
        return False
    finally:
        c.close()


def wait_group_empty(bootstrap, group, timeout):
    """Waits until a group has no members. A Kafka Streams instance does not leave its group on
    close, so its successor would otherwise wait out the session of the one before."""
    admin = AdminClient({"bootstrap.servers": bootstrap})
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            described = admin.describe_consumer_groups([group])[group].result(30)
            if not described.members:
                return
        except Exception:  # noqa: BLE001 - not known yet, or being rebalanced
            pass
        time.sleep(0.5)
    raise TimeoutError(f"group {group} still has members after {timeout:.0f} s")


def read_topic(bootstrap, topic):
    """Every committed message of a topic, in order per partition: [(key, value, headers)]. A
    partition ends at its end of partition event: a transactional one's last offset is a marker
    that is never delivered."""
    c = Consumer({"bootstrap.servers": bootstrap, "group.id": f"peers-reader-{uuid.uuid4()}",
                  "enable.auto.commit": False, "enable.partition.eof": True,
                  "isolation.level": "read_committed"})
    out = []
    try:
        parts = c.list_topics(topic, timeout=30).topics[topic].partitions
        remaining = {}
        for p in parts:
            low, high = c.get_watermark_offsets(TopicPartition(topic, p), timeout=30)
            if high > low:
                remaining[p] = high
        c.assign([TopicPartition(topic, p, OFFSET_BEGINNING) for p in remaining])
        deadline = time.time() + 300
        while remaining and time.time() < deadline:
            for m in c.consume(10000, 1.0):
                if m.error():
                    if m.error().code() == KafkaError._PARTITION_EOF and m.offset() >= remaining.get(m.partition(), 0):
                        remaining.pop(m.partition(), None)
                    continue
                out.append((m.key(), m.value(), m.headers()))
                if m.offset() + 1 >= remaining.get(m.partition(), 0):
                    remaining.pop(m.partition(), None)
        if remaining:
            raise RuntimeError(f"could not read {topic} to its end")
    finally:
        c.close()
    return out


def topics_named(bootstrap, *parts):
    c = Consumer({"bootstrap.servers": bootstrap, "group.id": "peers-probe"})
    try:
        return [t for t in c.list_topics(timeout=30).topics if all(p in t for p in parts)]
    finally:
        c.close()


def last_values(messages, decode):
    counts = {}
    for key, value, headers in messages:
        decoded = decode(key, value, headers)
        if decoded is None:
            continue
        k, v = decoded
        if v is None:
            counts.pop(k, None)
        else:
            counts[k] = v
    return counts


# ---------------------------------------------------------------------------------------------
# Processes: start, measure, stop


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Processes:
    """The processes of one system, each in a session of its own so that its descendants (Vesk's
    workers) are found and stopped with it."""

    def __init__(self):
        self.procs = []
        self.logs = []

    def start(self, argv, env, log, cwd=None):
        f = open(log, "ab")
        self.logs.append(f)
        self.procs.append(subprocess.Popen(argv, env=env, stdout=f, stderr=subprocess.STDOUT, cwd=cwd,
                                           start_new_session=True))

    def sessions(self):
        return {p.pid for p in self.procs}

    def running(self):
        return any(p.poll() is None for p in self.procs)

    def signal(self, sig):
        for p in self.procs:
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                pass

    def wait(self, timeout):
        deadline = time.time() + timeout
        for p in self.procs:
            try:
                p.wait(max(0.1, deadline - time.time()))
            except subprocess.TimeoutExpired:
                return False
        return True

    def failed(self):
        """The exit statuses of the processes that ended badly."""
        return [p.returncode for p in self.procs if p.poll() not in (None, 0)]

    def kill(self):
        self.signal(signal.SIGKILL)
        self.wait(30)
        self.close()

    def stop(self, timeout=90):
        """SIGTERM, and SIGKILL for whatever is left after the timeout. False if it came to that."""
        self.signal(signal.SIGTERM)
        clean = self.wait(timeout)
        if not clean:
            note("a process did not stop within %d s; killed" % timeout)
        self.kill()
        return clean

    def close(self):
        for f in self.logs:
            f.close()
        self.logs = []


class Usage:
    """CPU time and resident memory of every process in the given sessions, from /proc."""

    def __init__(self):
        self.cpu = {}
        self.peak_rss = 0

    def sample(self, sessions):
        rss = 0
        for stat in glob.glob("/proc/[0-9]*/stat"):
            try:
                with open(stat) as f:
                    text = f.read()
            except OSError:
                continue
            fields = text[text.rfind(")") + 2:].split()
            if int(fields[3]) not in sessions:  # field 6 of stat: the session
                continue
            pid = int(stat.split("/")[2])
            self.cpu[pid] = (int(fields[11]) + int(fields[12])) / CLK_TCK
            rss += int(fields[21]) * PAGE
        self.peak_rss = max(self.peak_rss, rss)

    def cpu_seconds(self):
        return sum(self.cpu.values())


class Progress:
    """Reads the progress files of the Python and Java jobs: {"first", "last", "count"}."""

    def __init__(self, pattern):
        self.pattern = pattern

    def read(self):
        first, last, count = None, 0.0, 0
        for path in glob.glob(self.pattern):
            try:
                with open(path) as f:
                    p = json.load(f)
            except (OSError, ValueError):
                continue
            if p["count"]:
                first = p["first"] if first is None else min(first, p["first"])
                last = max(last, p["last"])
                count += p["count"]
        return first, last, count


LOG_LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(\.\d+)\].* Processed (\d+) messages")


class VeskLog:
    """Reads vesk-run's log as it grows: each "Processed N messages" line is one drained batch."""

    def __init__(self, path):
        self.path = path
        self.target = None  # the count whose time is kept in .reached
        self.reached = None
        self.offset = 0
        self.rest = b""
        self.first, self.last, self.count = None, 0.0, 0

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return self.first, self.last, self.count
        self.offset += len(data)
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        for line in lines:
            m = LOG_LINE.match(line.decode(errors="replace"))
            if not m:
                continue
            t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + float(m.group(2))
            self.first = t if self.first is None else self.first
            self.last = max(self.last, t)
            self.count += int(m.group(3))
            if self.target and self.reached is None and self.count >= self.target:
                self.reached = t
        return self.first, self.last, self.count


# ---------------------------------------------------------------------------------------------
# The systems


class Run:
    """One system's run over the topic: its folder, group, and what it measured."""

    def __init__(self, system, work, label, topic, ends):
        self.system = system
        self.dir = os.path.join(work, f"{system.name}-{label}")
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "progress"))
        os.makedirs(os.path.join(self.dir, "state"))
        self.group = f"peers-{system.name}-{label}-{uuid.uuid4().hex[:8]}"
        self.topic = topic
        self.ends = ends
        self.phase = 0


class System:
    name = ""
    label = ""
    exactly_once_label = None  # how the peer names its exactly-once mode, where it has one
    commits_to_kafka = True  # done once the group's committed offsets reach the end

    def __init__(self, opts, bootstrap, exactly_once=False):
        self.opts = opts
        self.bootstrap = bootstrap
        self.exactly_once = exactly_once
        if exactly_once:
            self.name = f"{self.name}-eos"
            self.label = f"{self.label}, {self.exactly_once_label}"

    def python_env(self, run, extra=None):
        env = dict(os.environ)
        env.update({
            "PYTHONPATH": ":".join([os.path.join(HERE, "jobs"), os.path.join(ROOT, "examples", "python"),
                                    os.path.join(ROOT, "python")]),
            "PEERS_BOOTSTRAP": self.bootstrap,
            "PEERS_TOPIC": run.topic,
            "PEERS_GROUP": run.group,
            "PEERS_INTERVAL": str(self.opts.interval),
            "PEERS_STATE_DIR": os.path.join(run.dir, "state"),
            "PEERS_GUARANTEE": "exactly-once" if self.exactly_once else "at-least-once",
        })
        env.update(extra or {})
        return env

    def launch_jobs(self, run, peer, count, cwd=None):
        """`count` processes of jobs/<peer>_job.py in the peer's venv, each with a state folder of its own."""
        procs = Processes()
        for i in range(count):
            env = self.python_env(run, {"PEERS_PROGRESS": self.progress_file(run, i),
                                        "PEERS_STATE_DIR": os.path.join(run.dir, "state", str(i))})
            procs.start([os.path.join(VENV, peer, "bin", "python"), os.path.join(HERE, "jobs", f"{peer}_job.py")],
                        env, os.path.join(run.dir, f"job-{run.phase}-{i}.log"), cwd=cwd)
        return procs

    def progress_file(self, run, i):
        return os.path.join(run.dir, "progress", f"{run.phase}-{i}.json")

    def watcher(self, run):
        return Progress(os.path.join(run.dir, "progress", f"{run.phase}-*.json"))

    def finished(self, run, procs):
        if self.commits_to_kafka:
            return committed_at_end(self.bootstrap, run.group, run.topic, run.ends)
        return not procs.running()

    def launch(self, run):
        raise NotImplementedError

    def counts(self, run):
        raise NotImplementedError


class Vesk(System):
    commits_to_kafka = False

    def __init__(self, opts, bootstrap, handler, name, label):
        super().__init__(opts, bootstrap)
        self.handler = handler
        self.name = name
        self.label = label

    def log(self, run):
        return os.path.join(run.dir, f"vesk-run-{run.phase}.log")

    def launch(self, run):
        build = self.opts.build
        env = dict(os.environ)
        env.update({
            "KAFKA_BOOTSTRAP_SERVERS": self.bootstrap,
            "KAFKA_GROUP_ID": run.group,
            "KAFKA_TOPIC": run.topic,
            "VESK_HANDLER_PATH": os.path.join(build, "handlers"),
            "PYTHONPATH": os.path.join(ROOT, "examples", "python"),
        })
        procs = Processes()
        procs.start([os.path.join(build, "tools", "vesk_run", "vesk-run"), "--handler", self.handler,
                     "--workers", str(self.opts.vesk_workers), "--checkpoint-interval",
                     str(self.opts.interval), "--state-dir", os.path.join(run.dir, "state"),
                     "--until-caught-up", "--status-interval", "0"], env, self.log(run))
        return procs

    def watcher(self, run):
        return VeskLog(self.log(run))

    def counts(self, run):
        counts = {}
        for path in glob.glob(os.path.join(run.dir, "state", "p-*.state.pkl")):
            with open(path, "rb") as f:
                counts.update(pickle.load(f)["state"])
        return {k.decode() if isinstance(k, bytes) else k: v for k, v in counts.items()}


class KafkaStreams(System):
    name = "kstreams"
    label = "Kafka Streams 3.9.1"
    exactly_once_label = "exactly_once_v2"

    def launch(self, run):
        target = os.path.join(HERE, ".build", "kstreams", "target")
        procs = Processes()
        procs.start(["java", "-cp", f"{target}/peers-kstreams.jar:{target}/lib/*",
                     "-Dorg.slf4j.simpleLogger.defaultLogLevel=warn", "vesk.peers.KeyCount",
                     self.bootstrap, run.topic, run.group, os.path.join(run.dir, "state"),
                     str(int(self.opts.interval * 1000)), str(self.opts.kstreams_threads),
                     self.progress_file(run, 0), "exactly_once_v2" if self.exactly_once else "at_least_once"],
                    dict(os.environ), os.path.join(run.dir, f"job-{run.phase}.log"))
        return procs

    def counts(self, run):
        topic = f"{run.group}-counts-changelog"
        return last_values(read_topic(self.bootstrap, topic),
                           lambda k, v, h: (k.decode(), None if v is None else struct.unpack(">q", v)[0]))


class Quix(System):
    name = "quix"
    label = "Quix Streams 3.28.1"
    exactly_once_label = "exactly-once"

    def launch(self, run):
        return self.launch_jobs(run, "quix", self.opts.python_processes)

    def counts(self, run):
        topics = topics_named(self.bootstrap, "changelog", run.group)
        if len(topics) != 1:
            raise RuntimeError(f"expected one changelog topic of group {run.group}, found {topics}")

        def decode(key, value, headers):
            if not key.endswith(b'|"n"'):
                return None
            return key[:-4].decode(), None if value is None else json.loads(value)
        return last_values(read_topic(self.bootstrap, topics[0]), decode)


class Faust(System):
    name = "faust"
    label = "Faust (faust-streaming) 0.15.3"
    exactly_once_label = "exactly_once"

    def launch(self, run):
        return self.launch_jobs(run, "faust", self.opts.faust_processes, cwd=run.dir)

    def counts(self, run):
        topic = f"{run.group}-counts-changelog"
        return last_values(read_topic(self.bootstrap, topic),
                           lambda k, v, h: (json.loads(k), None if v is None else json.loads(v)))


class Bytewax(System):
    name = "bytewax"
    label = "Bytewax 0.21.1"
    commits_to_kafka = False

    def recovery(self, run):
        return os.path.join(run.dir, "state", "recovery")

    def launch(self, run):
        python = os.path.join(VENV, "bytewax", "bin", "python")
        if not os.path.isdir(self.recovery(run)):
            os.makedirs(self.recovery(run))
            subprocess.run([python, "-m", "bytewax.recovery", self.recovery(run),
                            str(self.opts.python_processes)], check=True, stdout=subprocess.DEVNULL)
        count = self.opts.python_processes
        addresses = ";".join(f"127.0.0.1:{free_port()}" for _ in range(count))
        procs = Processes()
        for i in range(count):
            env = self.python_env(run, {"PEERS_PROGRESS": self.progress_file(run, i)})
            argv = [python, "-m", "bytewax.run", "bytewax_job:flow", "-r", self.recovery(run),
                    # Bytewax takes whole seconds here.
                    "-s", str(max(1, round(self.opts.interval))), "-b", "0"]
            argv += ["-i", str(i), "-a", addresses] if count > 1 else []
            procs.start(argv, env, os.path.join(run.dir, f"job-{run.phase}-{i}.log"))
        return procs

    def counts(self, run):
        # Each recovery partition holds snapshots of the states by epoch; the latest one of each
        # key is its state (None where the key was discarded).
        latest = {}
        for db in glob.glob(os.path.join(self.recovery(run), "*.sqlite3")):
            con = sqlite3.connect(db)
            try:
                for step, key, epoch, ser in con.execute(
                        "SELECT step_id, state_key, snap_epoch, ser_change FROM snaps"):
                    if step.startswith("counting.count.") and (key not in latest or latest[key][0] < epoch):
                        latest[key] = (epoch, ser)
            finally:
                con.close()
        return {k: pickle.loads(s) for k, (e, s) in latest.items() if s is not None}


def make_systems(opts, bootstrap):
    all_systems = {
        "vesk-cpp": Vesk(opts, bootstrap, "examples.counting.KeyCounter", "vesk-cpp", "Vesk, C++ KeyCounter"),
        "vesk-py": Vesk(opts, bootstrap, "py:vesk_examples.word_counter.WordCounter", "vesk-py",
                        "Vesk, Python WordCounter"),
        "kstreams": KafkaStreams(opts, bootstrap),
        "quix": Quix(opts, bootstrap),
        "faust": Faust(opts, bootstrap),
        "bytewax": Bytewax(opts, bootstrap),
        "kstreams-eos": KafkaStreams(opts, bootstrap, exactly_once=True),
        "quix-eos": Quix(opts, bootstrap, exactly_once=True),
        "faust-eos": Faust(opts, bootstrap, exactly_once=True),
    }
    return [all_systems[name] for name in opts.systems]


# ---------------------------------------------------------------------------------------------
# One run of one system


def run_until(run, procs, watcher, condition, timeout, usage=None):
    """Polls every 100 ms until condition(progress) holds, the processes are gone, or the time is
    over. Returns the last progress read."""
    deadline = time.time() + timeout
    state = watcher.read()
    while time.time() < deadline:
        if usage is not None:
            usage.sample(procs.sessions())
        state = watcher.read()
        if condition(state):
            return state
        if not procs.running():
            return watcher.read()
        time.sleep(0.1)
    raise TimeoutError(f"{run.system.name}: no end within {timeout:.0f} s")


def check(system, counts, want):
    """None when the counts are exact, else what is wrong with them."""
    if counts == want:
        return None
    total = sum(counts.values())
    wrong = sum(1 for k in want if counts.get(k) != want[k]) + sum(1 for k in counts if k not in want)
    return f"{wrong} keys wrong, {total} counted of {sum(want.values())}"


def finish(system, run, procs, timeout):
    """Waits for the system to have stored everything, then stops it."""
    deadline = time.time() + timeout
    while not system.finished(run, procs):
        if procs.failed():
            raise RuntimeError(f"{system.name}: a process exited with status {procs.failed()[0]}; see {run.dir}")
        if time.time() > deadline:
            raise TimeoutError(f"{system.name}: not finished within {timeout:.0f} s")
        if not procs.running() and system.commits_to_kafka:
            raise RuntimeError(f"{system.name}: its processes ended before it finished; see {run.dir}")
        time.sleep(0.25)
    if procs.failed():
        raise RuntimeError(f"{system.name}: a process exited with status {procs.failed()[0]}; see {run.dir}")
    if procs.running():
        procs.stop()
    else:
        procs.kill()


def throughput_run(system, opts, work, label, topic, ends, want):
    run = Run(system, work, label, topic, ends)
    n = opts.n
    watcher = system.watcher(run)
    usage = Usage()
    started = time.time()
    procs = system.launch(run)
    try:
        if isinstance(watcher, VeskLog):
            watcher.target = n
        first, last, count = run_until(run, procs, watcher, lambda s: s[2] >= n, opts.timeout, usage)
        if count < n:
            raise RuntimeError(f"{system.name}: processed {count} of {n}; see {run.dir}")
        cpu = usage.cpu_seconds()
        t_n = watcher.reached if isinstance(watcher, VeskLog) else last
        finish(system, run, procs, opts.timeout)
    except BaseException:
        procs.kill()
        raise
    problem = check(system, system.counts(run), want)
    if problem:
        raise RuntimeError(f"{system.name}: wrong counts ({problem}); see {run.dir}")
    return {"rate": n / max(t_n - first, 1e-9), "cpu_per_m": cpu / (n / 1e6),
            "rss_mib": usage.peak_rss / 2**20, "startup": first - started, "processed": count}


def crash_run(system, opts, work, bootstrap):
    """The first quarter of the messages is processed and stored, the rest written; the system
    is killed with SIGKILL once it has processed about half, started again and left to finish.
    Returns the over-count (stored counts minus N) and what is lost (counts below the truth)."""
    n, quarter = opts.n, opts.n // 4
    topic = f"peers-crash-{system.name}-{uuid.uuid4().hex[:8]}"
    create_topic(bootstrap, topic, PARTITIONS)
    run = Run(system, work, "crash", topic, fill(bootstrap, topic, quarter, opts.keys))
    procs = system.launch(run)
    try:
        finish(system, run, procs, opts.timeout)
        run.ends = fill(bootstrap, topic, n - quarter, opts.keys, start=quarter)
        run.phase = 1
        procs = system.launch(run)
        half = n // 2 - quarter
        if run_until(run, procs, system.watcher(run), lambda s: s[2] >= half, opts.timeout)[2] < half:
            raise RuntimeError(f"{system.name}: ended before half of the messages; see {run.dir}")
        procs.kill()
        run.phase = 2
        procs = system.launch(run)
        finish(system, run, procs, opts.timeout)
    except BaseException:
        procs.kill()
        raise
    counts, want = system.counts(run), truth(n, opts.keys)
    lost = sum(max(0, want[k] - counts.get(k, 0)) for k in want)
    return {"overcount": sum(counts.values()) - n, "lost": lost}


def restore_run(system, opts, work, bootstrap):
    """Stores opts.restore_keys keys in one partition's state, stops the system, adds a few
    messages, and times its restart until the first of them is processed."""
    topic = f"peers-restore-{uuid.uuid4().hex[:8]}"
    create_topic(bootstrap, topic, 1)
    ends = fill(bootstrap, topic, opts.restore_keys, opts.restore_keys)
    run = Run(system, work, "restore", topic, ends)
    procs = system.launch(run)
    try:
        finish(system, run, procs, opts.timeout)
        run.ends = fill(bootstrap, topic, 1000, 1000)
        if isinstance(system, KafkaStreams):
            # Without its local store, the restarted instance rebuilds it from the changelog.
            shutil.rmtree(os.path.join(run.dir, "state"))
        wait_group_empty(bootstrap, run.group, opts.timeout)
        run.phase = 1
        watcher = system.watcher(run)
        started = time.time()
        procs = system.launch(run)
        first, _, _ = run_until(run, procs, watcher, lambda s: s[2] > 0, opts.timeout)
        if first is None:
            raise RuntimeError(f"{system.name}: processed nothing after its restart; see {run.dir}")
        finish(system, run, procs, opts.timeout)
    except BaseException:
        procs.kill()
        raise
    return first - started


# ---------------------------------------------------------------------------------------------


def median(values):
    return statistics.median(values) if values else None


def fmt(value, digits=0):
    return "-" if value is None else f"{value:,.{digits}f}"


def main():
    parser = argparse.ArgumentParser(prog="bench/peers/run", description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=2_000_000, help="messages in the topic (2,000,000)")
    parser.add_argument("--keys", type=int, default=10_000, help="distinct keys (10,000)")
    parser.add_argument("--interval", type=float, default=5.0, help="commit / checkpoint interval, s (5)")
    parser.add_argument("--systems", default=",".join(DEFAULT_SYSTEMS),
                        help=f"comma-separated, of {','.join(SYSTEMS)} ({','.join(DEFAULT_SYSTEMS)})")
    parser.add_argument("--runs", type=int, default=3, help="runs of each system, in alternating order (3; 0 for only the crash and restore runs)")
    parser.add_argument("--exactly-once", action="store_true",
                        help="also run each chosen peer that has an exactly-once mode in that mode (kstreams-eos, ...)")
    parser.add_argument("--quick", action="store_true", help="N = 100,000, one run each, and the crash check")
    parser.add_argument("--no-crash", dest="crash", action="store_false", help="skip the crash runs")
    parser.add_argument("--no-restore", dest="restore", action="store_false", help="skip the restore timing")
    parser.add_argument("--restore-keys", type=int, default=1_000_000, help="keys in the restored state (1,000,000)")
    parser.add_argument("--vesk-workers", type=int, default=1, help="Vesk worker processes per partition (1)")
    parser.add_argument("--python-processes", type=int, default=2, help="processes of Quix Streams and Bytewax (2)")
    parser.add_argument("--faust-processes", type=int, default=1,
                        help="Faust worker processes (1: with more, the group's first rebalance re-counts)")
    parser.add_argument("--kstreams-threads", type=int, default=2, help="Kafka Streams stream threads (2)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="longest wait for one step, s (900 + 1 s per 1,000 messages: Faust reads about 1,500 a second)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="Vesk's build folder")
    parser.add_argument("--work", default=None, help="folder for the cluster, states and logs (a temporary one)")
    opts = parser.parse_args()
    if opts.quick:
        opts.n, opts.runs, opts.restore = 100_000, 1, False
    if opts.timeout is None:
        opts.timeout = 900 + opts.n / 1000
    opts.systems = [s for s in opts.systems.split(",") if s]
    if opts.exactly_once:
        opts.systems = [v for s in opts.systems
                        for v in ([s, f"{s}-eos"] if f"{s}-eos" in SYSTEMS and f"{s}-eos" not in opts.systems else [s])]
    unknown = [s for s in opts.systems if s not in SYSTEMS]
    if unknown:
        parser.error(f"unknown system {unknown[0]!r} (known: {', '.join(SYSTEMS)})")
    if opts.n < 4 or opts.keys < 1 or opts.interval <= 0 or opts.runs < 0:
        parser.error("--n (at least 4), --keys and --interval must be positive, --runs not negative")
    for s in opts.systems:
        if s.startswith("vesk") and not os.access(os.path.join(opts.build, "tools", "vesk_run", "vesk-run"), os.X_OK):
            parser.error(f"no vesk-run in {opts.build}: build vesk-run, vesk_worker_host, examples_counting "
                         "and vesk_python there first")
    work = opts.work or f"/tmp/vesk-peers-{os.getpid()}"
    os.makedirs(work, exist_ok=True)
    note(f"work folder {work}")

    cluster = Cluster(work)
    results = {s: [] for s in opts.systems}
    failures = {s: [] for s in opts.systems}
    crashes, restores = {}, {}
    interrupted = False
    systems = make_systems(opts, cluster.bootstrap)
    # SIGTERM ends the run like Ctrl-C: the running system is stopped, and what was measured until
    # then is still reported, so that a long run cut short keeps its figures.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        note(f"cluster at {cluster.bootstrap}; writing {opts.n:,} messages over {opts.keys:,} keys")
        topic = f"peers-{uuid.uuid4().hex[:8]}"
        create_topic(cluster.bootstrap, topic, PARTITIONS)
        ends = fill(cluster.bootstrap, topic, opts.n, opts.keys)
        warm_up(cluster.bootstrap, topic)
        want = truth(opts.n, opts.keys)
        for r in range(opts.runs):
            for system in (systems if r % 2 == 0 else systems[::-1]):
                try:
                    result = throughput_run(system, opts, work, str(r), topic, ends, want)
                    results[system.name].append(result)
                    note(f"{system.name} run {r + 1}: {result['rate']:,.0f} msg/s, "
                         f"{result['cpu_per_m']:.2f} CPU s/M, {result['rss_mib']:,.0f} MiB, "
                         f"first message after {result['startup']:.2f} s")
                except Exception as e:  # noqa: BLE001 - one system's failure is that system's result
                    failures[system.name].append(str(e))
                    note(f"{system.name} run {r + 1} failed: {e}")
        if opts.crash:
            for system in systems:
                try:
                    crashes[system.name] = crash_run(system, opts, work, cluster.bootstrap)
                    note(f"{system.name} after SIGKILL at half: over-count {crashes[system.name]['overcount']:,}, "
                         f"lost {crashes[system.name]['lost']:,}")
                except Exception as e:  # noqa: BLE001
                    crashes[system.name] = {"error": str(e)}
                    note(f"{system.name} crash run failed: {e}")
        if opts.restore:
            for system in systems:
                if system.name in ("vesk-cpp", "kstreams"):
                    try:
                        restores[system.name] = restore_run(system, opts, work, cluster.bootstrap)
                        note(f"{system.name} restart with {opts.restore_keys:,} keys: first message after "
                             f"{restores[system.name]:.2f} s")
                    except Exception as e:  # noqa: BLE001
                        note(f"{system.name} restore run failed: {e}")
    except KeyboardInterrupt:
        interrupted = True
        note("interrupted; reporting what was measured until now")
    finally:
        cluster.stop()

    report(opts, systems, results, failures, crashes, restores)
    if interrupted:
        return 130
    return 0 if all((results[s] or not opts.runs) and not failures[s] for s in opts.systems) \
        and all("error" not in c and c["lost"] == 0 for c in crashes.values()) else 1


def report(opts, systems, results, failures, crashes, restores):
    medians = {}
    for s in systems:
        rs = results[s.name]
        medians[s.name] = {k: median([r[k] for r in rs]) for k in ("rate", "cpu_per_m", "rss_mib", "startup")}
        m = medians[s.name]
        p = f"peers.{s.name}"
        print(f"{p}.runs: {len(rs)} of {opts.runs} with exact counts"
              + (f" ({'; '.join(failures[s.name])})" if failures[s.name] else ""))
        if rs:
            print(f"{p}.msg_per_s: {fmt(m['rate'])} (runs: {', '.join(fmt(r['rate']) for r in rs)})")
            print(f"{p}.cpu_s_per_million: {fmt(m['cpu_per_m'], 2)}")
            print(f"{p}.peak_rss_mib: {fmt(m['rss_mib'])}")
            print(f"{p}.first_message_s: {fmt(m['startup'], 2)}")
        c = crashes.get(s.name)
        if c:
            print(f"{p}.overcount_after_kill: " + (c["error"] if "error" in c else
                                                   f"{c['overcount']:,} (lost {c['lost']:,})"))
        if s.name in restores:
            print(f"{p}.restore_first_message_s: {restores[s.name]:.2f} ({opts.restore_keys:,} keys)")
    for v in ("vesk-cpp", "vesk-py"):
        if not medians.get(v, {}).get("rate"):
            continue
        for peer in PEERS:
            if medians.get(peer, {}).get("rate"):
                print(f"peers.ratio.{v}/{peer}: {medians[v]['rate'] / medians[peer]['rate']:.2f}x")
    # The same as a table, for the README.
    print()
    print(f"N = {opts.n:,}, K = {opts.keys:,}, interval {opts.interval:g} s, medians of {opts.runs}, "
          f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print()
    print("| system | msg/s | CPU s per million | peak RSS MiB | first message s | over-count after SIGKILL |")
    print("|---|---|---|---|---|---|")
    for s in systems:
        m, c = medians[s.name], crashes.get(s.name, {})
        over = "-" if not c else ("failed" if "error" in c else f"{c['overcount']:,}")
        print(f"| {s.label} | {fmt(m['rate'])} | {fmt(m['cpu_per_m'], 2)} | {fmt(m['rss_mib'])} | "
              f"{fmt(m['startup'], 2)} | {over} |")


if __name__ == "__main__":
    sys.exit(main())
