#!/usr/bin/env python3
"""Two site computers on a MariaDB Galera cluster: steady card, ticket and counter traffic
while database nodes die and come back, then every row and count checked.

  bench/cluster/cluster.py [--build DIR] [--single-port P] [--galera-base-port B]
                           [--deployments single,proxy,hosts] [--steady 60] [--keep]

Needs the built tarncard and tarncard-sim, the mariadb client, a private MariaDB server on
127.0.0.1:P (scripts/mariadb-test-server, for the comparison phase) and a 3-node cluster with
HAProxy started by `scripts/galera-test-cluster start BUILD 3 --proxy` (proxy on B, nodes on
B+10, B+20, B+30). scripts/cluster-test starts and stops both.

The site: two computers, "pc1" and "pc2", each its own service process (own TARNCARD_HOME,
registry file with its own ComputerName, status page on its own loopback port) running one
simulated loop: entry card readers 1-6 (dir_ection 1), exit card readers 7-12 (dir_ection 2),
a ticket dispenser at 13, an exit ticket reader at 14 and a counter board at 15 (input 1 counts
in, input 2 counts out). Everything counts into ONE lot, and every card belongs to one card
pool, so both computers write the same lot and pool rows.

Phases, each on a fresh database:
  single  the same site on the single private server: a short steady phase (the latency
          reference);
  proxy   both computers through HAProxy ("Host" 127.0.0.1, PORT= the proxy);
  hosts   both computers with a host list in "Host" (pc1 from node 1, pc2 from node 2,
          "ODBCOptions" SERVER=%h).
In a cluster phase: steady traffic (a card every second at each computer, a ticket every
4 s, a counter pulse every 3 s), a burst where every free reader of both computers reads at
the same moment (certification conflicts on the shared lot and pool rows), then the node
serving the most "tarn" connections is killed (SIGKILL), started again 30 s later, a second
node is stopped cleanly and started again; traffic goes on all the while; then a drain.

Checks (a phase fails when one does not hold): every read answered on the wire (G, or B
with a message); every read has exactly one trans row (matched by card number and device);
every issued ticket exactly one tickinv row; the lot count is its start plus entries minus
exits exactly; the pool's cur_inlot equals the pool's cards whose in_lot says inside; one
settings row; both services still running.

Figures: card -> gate latency p50/p99 (steady phase), per phase; after the kill, the longest
card-presented-to-answer time of a read presented from the kill until the disruption ended,
and the longest time without any decided read, per computer; SQL retries per thousand reads
(from /metrics) and each node's certification failures and brute-force aborts.
Exit status 0 when every check of every phase held.
"""
import argparse
import collections
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
from sitekit import cycle_barcode, scramble  # noqa: E402

ENTRY = (1, 2, 3, 4, 5, 6)
EXIT = (7, 8, 9, 10, 11, 12)
DISPENSER = 13
TICKET_EXIT = 14
COUNTER = 15
LOT = 1
POOL = 1
LOT_START = 10000
CARDS_PER_PC = 300
ANSWER_TIMEOUT = 30.0  # a read still unanswered after this is counted as unanswered (the service queues none)
ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", ".."))


def log(text):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def sql(port, statements, database=None, timeout=30):
    cmd = ["mariadb", "--no-defaults", "--connect-timeout=3", "-h127.0.0.1", "-P%d" % port,
           "-utarn", "-ptarn", "-N", "-B"]
    if database:
        cmd.append(database)
    res = subprocess.run(cmd, input=statements, text=True, capture_output=True, timeout=timeout)
    if res.returncode != 0:
        raise RuntimeError("mariadb on port %d failed: %s" % (port, res.stderr.strip()))
    return res.stdout


def scalar(port, database, query):
    out = sql(port, query, database).strip()
    return int(float(out)) if out and out != "NULL" else 0


def device_id(pc, addr):
    return pc * 100 + addr


def first_card(pc):
    return pc * 100000 + 1


def site_sql():
    loops, devices, items, ranges, cards = [], [], [], [], []
    for pc in (1, 2):
        loops.append("(%d, 'pc%d', 1, %d, 0)" % (pc, pc, pc))
        for a in ENTRY + EXIT:
            d = device_id(pc, a)
            direction = 1 if a in ENTRY else 2
            devices.append("(%d, %d, %d, '%s %d/%d', 1, %d, 5, 0, %d)" %
                           (d, pc, a, "Entry" if direction == 1 else "Exit", pc, a, direction, LOT))
            items.append("(%d, 7, 1, %d)" % (d, direction))  # an accepted card counts in or out
            ranges.append("(1, %d)" % d)
        d = device_id(pc, DISPENSER)
        devices.append("(%d, %d, %d, 'Dispenser %d', 1, 1, 6, 1, %d)" % (d, pc, DISPENSER, pc, LOT))
        items.append("(%d, 7, 1, 1)" % d)  # an issued ticket counts in
        d = device_id(pc, TICKET_EXIT)
        devices.append("(%d, %d, %d, 'Ticket exit %d', 1, 2, 9, 2, %d)" % (d, pc, TICKET_EXIT, pc, LOT))
        items.append("(%d, 7, 1, 2)" % d)  # an accepted exit ticket counts out
        d = device_id(pc, COUNTER)
        devices.append("(%d, %d, %d, 'Counter %d', 1, 0, 0, 0, %d)" % (d, pc, COUNTER, pc, LOT))
        items.append("(%d, 2, 1, 1)" % d)  # counter input 1: in
        items.append("(%d, 3, 1, 2)" % d)  # counter input 2: out
        cards += ["(%d, 1, %d, 'PC%d', 'Card', 0, 0)" % (n, POOL, pc)
                  for n in range(first_card(pc), first_card(pc) + CARDS_PER_PC)]
    return ";\n".join([
        "INSERT INTO `loop` (id, name, enabled, port, rfmodem) VALUES " + ",".join(loops),
        "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id) "
        "VALUES " + ",".join(devices),
        "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
        "not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB', "
        "'Group', 'Path')",
        "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0)",
        "INSERT INTO card_pool (id, name, max_inlot, cur_inlot) VALUES (%d, 'Staff', 100000, 0)" % POOL,
        "INSERT INTO card (number, type_id, group_id, first_name, last_name, space_no, in_lot) VALUES " +
        ",".join(cards),
        "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
        "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
        "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES " + ",".join(ranges),
        "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
        "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (%d, 'Shared', %d, 1000000)" % (LOT, LOT_START),
        "INSERT INTO counters (id, lot_id) VALUES (1, %d)" % LOT,
        "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES " + ",".join(items),
    ]) + ";\n"


class Read:
    __slots__ = ("pc", "addr", "card", "sent", "answered", "cmd", "kind")

    def __init__(self, pc, addr, card, sent, kind):
        self.pc, self.addr, self.card, self.sent, self.kind = pc, addr, card, sent, kind
        self.answered = None
        self.cmd = None


class Computer:
    """One site computer: its simulator (a reader thread matches answers to reads), its
    service process and its status page."""

    def __init__(self, pc, args, phase_dir):
        self.pc = pc
        self.args = args
        self.home = os.path.join(phase_dir, "pc%d" % pc)
        os.makedirs(os.path.join(self.home, "log"), exist_ok=True)
        self.status_port = args.galera_base_port + 50 + pc
        self.lock = threading.Lock()
        self.outstanding = {}  # address -> Read
        self.reads = []  # every Read presented
        self.card_state = {n: 0 for n in range(first_card(pc), first_card(pc) + CARDS_PER_PC)}  # 1 inside
        self.busy_cards = set()
        self.next_card = 0
        self.unanswered = []
        self.errors = 0
        self.svc = None
        self.exited_at = None
        pty_file = os.path.join(self.home, "pty.txt")
        devices = ["1-12:reader", "%d:dispenser" % DISPENSER, "%d:exit" % TICKET_EXIT, "%d:counter" % COUNTER]
        self.sim = subprocess.Popen(
            [os.path.join(args.build, "tarncard-sim"), "--json", "--no-polls", "--baud", "9600",
             "--pty-file", pty_file] + devices,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.pty = None
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        if not self.ready.wait(10):
            self.sim.kill()
            self.sim.wait()
            raise RuntimeError("simulator of pc%d did not start" % pc)

    def _read(self):
        for line in self.sim.stdout:
            now = time.monotonic()
            try:
                obj = json.loads(line)
            except ValueError:
                continue
            t = obj.get("t")
            if t == "ready":
                self.pty = obj.get("pty")
                self.ready.set()
            elif t == "frame" and obj.get("ok"):
                cmd, addr = obj.get("cmd"), obj.get("addr")
                if cmd == "G" or (cmd == "B" and obj.get("data")):
                    with self.lock:
                        r = self.outstanding.pop(addr, None)
                        if r is None:
                            continue
                        r.answered, r.cmd = now, cmd
                        if r.kind == "card":
                            self.busy_cards.discard(r.card)
                            if cmd == "G":
                                self.card_state[r.card] = 1 if r.addr in ENTRY else 2
            elif t == "error":
                with self.lock:
                    self.errors += 1

    def send(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()

    def write_site(self, host, options, auto_reset):
        with open(os.path.join(self.home, "tarncard.ini"), "w") as f:
            f.write("[Ports]\nCOM%d=%s\n[Settings]\nAuto Reset=%d\n[Status]\nListen=127.0.0.1:%d\n" %
                    (self.pc, self.pty, auto_reset, self.status_port))
        reg = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n'
               '"Host"="%s"\r\n"Database"="%s"\r\n"User"="tarn"\r\n"Pass"="%s"\r\n"ODBCDriver"="MariaDB Unicode"\r\n'
               '"ODBCOptions"="%s"\r\n"DebugLog"=dword:00000001\r\n\r\n'
               '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n'
               '"ComputerName"="pc%d"\r\n') % (host, self.args.database, scramble("tarn"), options, self.pc)
        with open(os.path.join(self.home, "registry.reg"), "w", newline="") as f:
            f.write(reg)

    def start_service(self):
        env = dict(os.environ, TARNCARD_HOME=self.home, TARNCARD_REGISTRY=os.path.join(self.home, "registry.reg"))
        out = open(os.path.join(self.home, "service.out"), "w")
        self.svc = subprocess.Popen([os.path.join(self.args.build, "tarncard")], env=env, stdout=out,
                                    stderr=subprocess.STDOUT)
        out.close()

    def alive(self):
        if self.svc is None:
            return False
        if self.svc.poll() is not None:
            if self.exited_at is None:
                self.exited_at = time.monotonic()
            return False
        return True

    # --- traffic -------------------------------------------------------------------------

    def _present(self, addr, card, kind, command):
        r = Read(self.pc, addr, card, time.monotonic(), kind)
        self.outstanding[addr] = r
        self.reads.append(r)
        if card is not None:
            self.busy_cards.add(card)
        self.send(command)

    def present_card(self, direction):
        """A card at a free reader of that direction (entry: a card outside, exit: one inside).
        False when no reader or no card is free."""
        readers = ENTRY if direction == 1 else EXIT
        with self.lock:
            addr = next((a for a in readers if a not in self.outstanding), None)
            if addr is None:
                return False
            cards = list(self.card_state)
            for i in range(len(cards)):
                n = cards[(self.next_card + i) % len(cards)]
                if n in self.busy_cards or (self.card_state[n] == 1) != (direction == 2):
                    continue
                self.next_card = (self.next_card + i + 1) % len(cards)
                self._present(addr, n, "card", "card %d %d" % (addr, n))
                return True
        return False

    def present_exit_ticket(self, barcode):
        with self.lock:
            if TICKET_EXIT in self.outstanding:
                return False
            self._present(TICKET_EXIT, None, "ticket", "barcode %d %s" % (TICKET_EXIT, barcode))
            return True

    def expire_old_reads(self, now):
        with self.lock:
            for addr, r in list(self.outstanding.items()):
                if now - r.sent > ANSWER_TIMEOUT:
                    del self.outstanding[addr]
                    self.unanswered.append(r)
                    if r.card is not None:
                        self.busy_cards.discard(r.card)

    def pending(self):
        with self.lock:
            return len(self.outstanding)

    def metrics(self):
        """Sums of the service's SQL retry counters from /metrics (0 when a series is missing)."""
        out = {"conflict": 0.0, "lost": 0.0, "given_up": 0.0, "reads": 0.0}
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % self.status_port, timeout=5) as resp:
                text = resp.read().decode("utf-8", "replace")
        except OSError:
            return None
        for line in text.splitlines():
            if line.startswith("#"):
                continue
            m = re.match(r'^(\w+)(\{[^}]*\})?\s+(\S+)', line)
            if not m:
                continue
            name, labels, value = m.group(1), m.group(2) or "", float(m.group(3))
            if name == "tarncard_sql_retries_total":
                if 'reason="conflict"' in labels:
                    out["conflict"] += value
                elif 'reason="lost"' in labels:
                    out["lost"] += value
            elif name == "tarncard_sql_given_up_total":
                out["given_up"] += value
            elif name == "tarncard_reads_total":
                out["reads"] += value
        return out

    def stop(self):
        if self.svc is not None and self.svc.poll() is None:
            self.svc.send_signal(signal.SIGTERM)
            try:
                self.svc.wait(30)
            except subprocess.TimeoutExpired:
                self.svc.kill()
                self.svc.wait()
        try:
            self.send("quit")
        except (BrokenPipeError, ValueError, OSError):
            pass
        try:
            self.sim.wait(5)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()


def percentile(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    k = min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))
    return s[k]


class Cluster:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ, TARNCARD_GALERA_BASE_PORT=str(args.galera_base_port))

    def node_port(self, n):
        return self.args.galera_base_port + 10 * n

    def run(self, verb, n, timeout=240):
        t0 = time.monotonic()
        res = subprocess.run(["bash", os.path.join(ROOT, "scripts", "galera-test-cluster"), verb, self.args.build,
                              str(n)], env=self.env, capture_output=True, text=True, timeout=timeout)
        if res.returncode != 0:
            raise RuntimeError("galera-test-cluster %s %d failed: %s" % (verb, n, res.stderr.strip()))
        return time.monotonic() - t0

    def tarn_connections(self, n):
        """The services' connections on node n (the proxy's health checks name no database)."""
        try:
            return scalar(self.node_port(n), None, "SELECT COUNT(*) FROM information_schema.processlist "
                                                   "WHERE user = 'tarn' AND db = '%s'" % self.args.database)
        except (RuntimeError, subprocess.TimeoutExpired):
            return -1

    def wsrep(self, n):
        try:
            out = sql(self.node_port(n), "SHOW GLOBAL STATUS WHERE Variable_name IN "
                                         "('wsrep_local_cert_failures', 'wsrep_local_bf_aborts')")
        except (RuntimeError, subprocess.TimeoutExpired):
            return None
        vals = dict(line.split("\t") for line in out.strip().splitlines())
        return int(vals.get("wsrep_local_cert_failures", 0)), int(vals.get("wsrep_local_bf_aborts", 0))

    def live_port(self):
        for n in (1, 2, 3):
            try:
                sql(self.node_port(n), "SELECT 1")
                return self.node_port(n)
            except (RuntimeError, subprocess.TimeoutExpired):
                continue
        raise RuntimeError("no cluster node answers")


def run_phase(args, name, cluster):
    """One deployment on a fresh database. Returns (ok, figures dict)."""
    log("=== phase %s" % name)
    args.database = "tarn_cluster_" + name
    phase_dir = os.path.join(args.build, "cluster", name)
    shutil.rmtree(phase_dir, ignore_errors=True)
    os.makedirs(phase_dir)
    setup_port = args.single_port if cluster is None else cluster.node_port(1)
    sql(setup_port, "DROP DATABASE IF EXISTS %s; CREATE DATABASE %s;" % (args.database, args.database))
    with open(os.path.join(ROOT, "schema", "mariadb.sql")) as f:
        sql(setup_port, f.read(), args.database)
    sql(setup_port, site_sql(), args.database)

    pcs = []
    figures = {"phase": name}
    failures = []
    try:
        for n in (1, 2):
            pcs.append(Computer(n, args, phase_dir))
        for pc in pcs:
            if name == "hosts":
                first = pc.pc
                order = [first] + [n for n in (1, 2, 3) if n != first]
                host = ",".join("127.0.0.1:%d" % cluster.node_port(n) for n in order)
                pc.write_site(host, "SERVER=%h", 1 if pc.pc == 1 else 0)
            else:
                port = args.single_port if cluster is None else args.galera_base_port
                pc.write_site("127.0.0.1", "SERVER=127.0.0.1;PORT=%d" % port, 1 if pc.pc == 1 else 0)
        # pc1 first, so that the two services do not upgrade the tables at the same moment.
        for pc in pcs:
            pc.start_service()
            deadline = time.monotonic() + 90
            while time.monotonic() < deadline:
                if not pc.alive():
                    raise RuntimeError("the service of pc%d ended at start-up (see %s)" % (pc.pc, pc.home))
                try:
                    online = scalar(setup_port, args.database, "SELECT COUNT(*) FROM device WHERE loop_id = %d "
                                    "AND online_flag <> 0" % pc.pc)
                except RuntimeError:
                    online = 0
                if online >= 15:
                    break
                time.sleep(0.5)
            else:
                raise RuntimeError("the devices of pc%d did not come on line within 90 s (see %s/log)" %
                                   (pc.pc, pc.home))
        log("both computers on line")
        wsrep_start = {n: cluster.wsrep(n) for n in (1, 2, 3)} if cluster else {}

        counters = {pc.pc: [0, 0] for pc in pcs}  # pulses sent on inputs 1 (in) and 2 (out)
        tickets = []  # (pc, barcode, time issued)
        used_tickets = set()
        state = {"burst": False, "done": False, "error": None, "events": []}
        t0 = time.monotonic()
        # Counter pulses only after every board's first counter poll (its baseline).
        next_counter = t0 + 6
        next_card = t0
        next_ticket = t0 + 1
        next_exit_ticket = t0 + 3
        next_burst = t0
        direction = 1
        stamp = lambda what: state["events"].append((what, time.monotonic()))  # noqa: E731

        def scenario():
            try:
                steady = args.steady if cluster else args.single_seconds
                burst = args.burst if cluster else 0
                time.sleep(max(0.0, steady - burst))
                stamp("steady end")
                if burst:
                    state["burst"] = True
                    time.sleep(burst)
                    state["burst"] = False
                if cluster is None:
                    return
                stamp("burst end")
                figures["wsrep after burst"] = {n: cluster.wsrep(n) for n in (1, 2, 3)}
                log("per node (cert failures, bf aborts) after the burst: %s" % figures["wsrep after burst"])
                counts = {n: cluster.tarn_connections(n) for n in (1, 2, 3)}
                victim = max(counts, key=lambda n: counts[n])
                figures["connections before kill"] = counts
                log("tarn connections per node %s: killing node %d" % (counts, victim))
                figures["killed"] = victim
                stamp("kill")
                cluster.run("kill", victim)
                time.sleep(args.kill_wait)
                stamp("rejoin start")
                took = cluster.run("rejoin", victim)
                stamp("rejoined")
                log("node %d rejoined in %.1f s" % (victim, took))
                counts = {n: cluster.tarn_connections(n) for n in (1, 2, 3) if n != victim}
                second = max(counts, key=lambda n: counts[n])
                figures["halted"] = second
                log("tarn connections per node %s: stopping node %d cleanly" % (counts, second))
                stamp("halt")
                cluster.run("halt", second)
                time.sleep(5)
                took = cluster.run("rejoin", second)
                stamp("disruption end")
                log("node %d rejoined in %.1f s" % (second, took))
                time.sleep(5)
            except Exception as e:  # reported by the main thread
                state["error"] = e
            finally:
                state["done"] = True

        runner = threading.Thread(target=scenario, daemon=True)
        runner.start()
        bound = t0 + args.steady + args.kill_wait + 400
        while not state["done"] and time.monotonic() < bound:
            now = time.monotonic()
            for pc in pcs:
                pc.alive()
                pc.expire_old_reads(now)
            if now >= next_card:
                for pc in pcs:
                    if not pc.present_card(direction):
                        pc.present_card(3 - direction)
                direction = 3 - direction
                next_card += 1.0
            if state["burst"] and now >= next_burst:
                # Every free reader of both computers at once, and both counter boards.
                for pc in pcs:
                    for _ in ENTRY:
                        pc.present_card(1)
                    for _ in EXIT:
                        pc.present_card(2)
                for pc in pcs:
                    counters[pc.pc][0] += 1
                    pc.send("counter %d %s%s000" % (COUNTER, chr(0x30 + counters[pc.pc][0] % 16),
                                                    chr(0x30 + counters[pc.pc][1] % 16)))
                next_burst = now + 2.0
            if now >= next_ticket:
                when = datetime.datetime.now()
                for pc in pcs:
                    number = pc.pc * 100000 + len(tickets)
                    barcode = cycle_barcode(when, 10 + pc.pc)
                    pc.send("ticket %d 0%s%06d" % (DISPENSER, barcode, number))
                    tickets.append((pc.pc, barcode, now))
                next_ticket += 4.0
            if now >= next_exit_ticket:
                for pc in pcs:
                    for (owner, barcode, issued) in tickets:
                        if owner == pc.pc and barcode not in used_tickets and now - issued > 20:
                            if pc.present_exit_ticket(barcode):
                                used_tickets.add(barcode)
                            break
                next_exit_ticket += 4.0
            if now >= next_counter:
                for pc in pcs:
                    i = 0 if (sum(counters[pc.pc]) % 3) != 2 else 1  # two in, one out
                    counters[pc.pc][i] += 1
                    pc.send("counter %d %s%s000" % (COUNTER, chr(0x30 + counters[pc.pc][0] % 16),
                                                    chr(0x30 + counters[pc.pc][1] % 16)))
                next_counter += 3.0
            time.sleep(0.02)
        if state["error"]:
            raise state["error"]
        if not state["done"]:
            raise RuntimeError("the scenario did not finish in time")
        traffic_end = time.monotonic()
        # Drain: every read answered (or timed out), and the last counter readings polled.
        deadline = traffic_end + ANSWER_TIMEOUT + 5
        while time.monotonic() < deadline and any(pc.pending() for pc in pcs):
            for pc in pcs:
                pc.expire_old_reads(time.monotonic())
            time.sleep(0.2)
        for pc in pcs:
            pc.expire_old_reads(time.monotonic() + ANSWER_TIMEOUT)
        check_port = setup_port if cluster is None else cluster.live_port()
        expected_trans = sum(len([r for r in pc.reads if r.kind == "card"]) for pc in pcs)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if scalar(check_port, args.database, "SELECT COUNT(*) FROM trans") >= expected_trans:
                break
            time.sleep(0.5)
        # The lot moves by every gate opened, every ticket and every counter pulse sent; the
        # counter boards' last readings arrive with their next R poll (every few seconds), so
        # the lot is read until it shows them all or the deadline passes.
        reads = [r for pc in pcs for r in pc.reads]
        g = lambda kind, addrs: sum(1 for r in reads if r.kind == kind and r.addr in addrs and r.cmd == "G")  # noqa
        entries = g("card", ENTRY)
        exits = g("card", EXIT)
        ticket_exits = g("ticket", (TICKET_EXIT,))
        pulses_in = sum(c[0] for c in counters.values())
        pulses_out = sum(c[1] for c in counters.values())
        lot_expected = LOT_START + entries - exits + len(tickets) - ticket_exits + pulses_in - pulses_out
        lot_query = "SELECT lot_count FROM lot WHERE id = %d" % LOT
        deadline = time.monotonic() + 60
        lot = scalar(check_port, args.database, lot_query)
        while lot != lot_expected and time.monotonic() < deadline:
            time.sleep(0.5)
            lot = scalar(check_port, args.database, lot_query)
        metrics = {pc.pc: pc.metrics() for pc in pcs}
        wsrep_end = {n: cluster.wsrep(n) for n in (1, 2, 3)} if cluster else {}

        # --- checks ------------------------------------------------------------------------
        card_reads = [r for r in reads if r.kind == "card"]
        unanswered = [r for pc in pcs for r in pc.unanswered]
        if unanswered:
            failures.append("%d reads never answered on the wire, first: %s" % (
                len(unanswered), ", ".join("pc%d addr %d card %s at +%.1f s" % (r.pc, r.addr, r.card, r.sent - t0)
                                           for r in unanswered[:5])))
        expected = collections.Counter((r.card, device_id(r.pc, r.addr)) for r in card_reads)
        rows = collections.Counter()
        for line in sql(check_port, "SELECT CAST(card_no AS UNSIGNED), device_id, COUNT(*) FROM trans "
                                    "GROUP BY 1, 2", args.database).strip().splitlines():
            c, d, k = line.split("\t")
            rows[(int(c), int(d))] = int(k)
        missing = expected - rows
        doubled = rows - expected
        if missing:
            failures.append("%d reads without their trans row, e.g. %s" % (sum(missing.values()),
                                                                           list(missing.items())[:5]))
        if doubled:
            failures.append("%d trans rows too many (doubled or unknown), e.g. %s" % (sum(doubled.values()),
                                                                                     list(doubled.items())[:5]))
        ticket_rows = collections.Counter()
        for line in sql(check_port, "SELECT barcode, COUNT(*) FROM tickinv GROUP BY barcode",
                        args.database).strip().splitlines():
            b, k = line.split("\t")
            ticket_rows[b] = int(k)
        bad_tickets = [(b, ticket_rows.get(b, 0)) for (_, b, _) in tickets if ticket_rows.get(b, 0) != 1]
        if bad_tickets:
            failures.append("%d issued tickets without exactly one tickinv row, e.g. %s" % (len(bad_tickets),
                                                                                         bad_tickets[:5]))
        if sum(ticket_rows.values()) != len(tickets):
            failures.append("tickinv has %d rows for %d issued tickets" % (sum(ticket_rows.values()), len(tickets)))
        figures.update(entries=entries, exits=exits, tickets=len(tickets), ticket_exits=ticket_exits,
                       pulses_in=pulses_in, pulses_out=pulses_out, lot=lot, lot_expected=lot_expected)
        if lot != lot_expected:
            failures.append("lot count %d, expected %d (start %d + cards in %d - cards out %d + tickets %d "
                            "- exit tickets %d + counted in %d - counted out %d)" %
                            (lot, lot_expected, LOT_START, entries, exits, len(tickets), ticket_exits,
                             pulses_in, pulses_out))
        refused = [r for r in reads if r.cmd == "B"]
        if refused:
            failures.append("%d reads refused (every card and ticket presented should pass), e.g. %s" %
                            (len(refused), ", ".join("pc%d addr %d card %s" % (r.pc, r.addr, r.card)
                                                     for r in refused[:5])))
        pool = scalar(check_port, args.database, "SELECT cur_inlot FROM card_pool WHERE id = %d" % POOL)
        inside = scalar(check_port, args.database, "SELECT COUNT(*) FROM card WHERE group_id = %d AND in_lot = 1"
                        % POOL)
        figures.update(pool=pool, inside=inside)
        if pool != inside:
            failures.append("pool cur_inlot %d, but %d of its cards are inside" % (pool, inside))
        settings_rows = scalar(check_port, args.database, "SELECT COUNT(*) FROM settings")
        if settings_rows != 1:
            failures.append("settings has %d rows" % settings_rows)
        for pc in pcs:
            if not pc.alive():
                failures.append("the service of pc%d exited %.1f s into the phase (code %s)" %
                                (pc.pc, pc.exited_at - t0, pc.svc.returncode))
            if pc.errors:
                failures.append("the simulator of pc%d reported %d command errors" % (pc.pc, pc.errors))

        # --- figures -----------------------------------------------------------------------
        events = dict(state["events"])
        steady_end = events.get("steady end", traffic_end)
        steady_lat = [r.answered - r.sent for r in card_reads
                      if r.answered is not None and r.sent < steady_end and r.sent >= t0 + 5]
        figures["reads"] = len(card_reads) + ticket_exits
        figures["p50"] = percentile(steady_lat, 50) * 1000
        figures["p99"] = percentile(steady_lat, 99) * 1000
        figures["steady reads"] = len(steady_lat)
        log("%s: %d card reads in the steady phase, card -> gate p50 %.1f ms, p99 %.1f ms" %
            (name, len(steady_lat), figures["p50"], figures["p99"]))
        if "kill" in events:
            kill = events["kill"]
            end = events.get("disruption end", traffic_end)
            for pc in pcs:
                mine = [r for r in pc.reads if r.kind == "card" and kill <= r.sent <= end]
                lost = [r for r in mine if r.answered is None]
                longest = max(((r.answered - r.sent, r) for r in mine if r.answered is not None),
                              key=lambda x: x[0], default=(0.0, None))
                figures["pc%d unanswered after kill" % pc.pc] = len(lost)
                decided = sorted(r.answered for r in pc.reads if r.answered is not None and r.answered >= kill)
                gaps = [b - a for a, b in zip([kill] + decided, decided)]
                figures["pc%d longest answer after kill" % pc.pc] = longest[0]
                figures["pc%d longest gap after kill" % pc.pc] = max(gaps) if gaps else float("nan")
                when = (longest[1].sent - kill) if longest[1] else 0
                log("%s pc%d: longest card-to-answer %.1f s (read presented %.1f s after the kill), longest "
                    "time without a decided read %.1f s, %d reads unanswered" %
                    (name, pc.pc, longest[0], when, figures["pc%d longest gap after kill" % pc.pc], len(lost)))
        retries = {"conflict": 0.0, "lost": 0.0, "given_up": 0.0}
        for pc in pcs:
            m = metrics[pc.pc]
            if m is None:
                failures.append("the status page of pc%d did not answer" % pc.pc)
                continue
            for k in retries:
                retries[k] += m[k]
        figures["retries"] = retries
        per_k = 1000.0 * (retries["conflict"] + retries["lost"]) / max(1, figures["reads"])
        figures["retries per 1000 reads"] = per_k
        log("%s: SQL retries conflict %d, lost %d, given up %d; %.1f retries per 1000 reads" %
            (name, retries["conflict"], retries["lost"], retries["given_up"], per_k))
        if cluster and "wsrep after burst" in figures:
            burst_conflicts = sum(v[0] + v[1] for v in figures["wsrep after burst"].values() if v)
            if not burst_conflicts and not retries["conflict"]:
                log("%s: note: no certification conflict happened, the retry path was not exercised" % name)
        if retries["given_up"]:
            failures.append("%d statements given up after their retries" % retries["given_up"])
        if cluster:
            figures["wsrep"] = {n: (wsrep_start.get(n), wsrep_end.get(n)) for n in (1, 2, 3)}
            log("%s: per node (cert failures, bf aborts) at start / end (a restarted node starts from 0): %s" %
                (name, figures["wsrep"]))
        log("%s: cards in %d, out %d, tickets %d, exit tickets %d, counted in %d, out %d; lot %d (expected %d); "
            "pool %d, cards inside %d" % (name, entries, exits, len(tickets), ticket_exits, pulses_in, pulses_out,
                                          lot, lot_expected, pool, inside))
    except Exception as e:
        failures.append("phase aborted: %s" % e)
    finally:
        for pc in pcs:
            pc.stop()
    figures["failures"] = failures
    if failures:
        log("%s: FAILED" % name)
        for f in failures:
            log("  - " + f)
        for pc in pcs:
            log("  service log of pc%d: %s/log" % (pc.pc, pc.home))
    else:
        log("%s: every check held" % name)
        if not args.keep:
            try:
                sql(setup_port if cluster is None else cluster.live_port(),
                    "DROP DATABASE IF EXISTS %s;" % args.database)
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
    return not failures, figures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--single-port", type=int, default=int(os.environ.get("TARNCARD_TEST_MARIADB_PORT", "33061")))
    ap.add_argument("--galera-base-port", type=int,
                    default=int(os.environ.get("TARNCARD_GALERA_BASE_PORT", "34000")))
    ap.add_argument("--deployments", default="single,proxy,hosts")
    ap.add_argument("--steady", type=float, default=60.0, help="seconds of traffic before the kill (burst included)")
    ap.add_argument("--burst", type=float, default=10.0, help="seconds of burst at the end of the steady phase")
    ap.add_argument("--kill-wait", type=float, default=30.0, help="seconds before the killed node is started again")
    ap.add_argument("--single-seconds", type=float, default=30.0, help="steady phase on the single server")
    ap.add_argument("--keep", action="store_true", help="keep the databases of phases that passed")
    args = ap.parse_args()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(130))
    args.build = os.path.realpath(args.build)
    cluster = Cluster(args)
    started = time.monotonic()
    results = []
    for name in args.deployments.split(","):
        if name not in ("single", "proxy", "hosts"):
            ap.error("unknown deployment " + name)
        results.append(run_phase(args, name, None if name == "single" else cluster))
    print()
    print("cluster stage: %.0f s" % (time.monotonic() - started))
    for ok, f in results:
        line = "%-6s %s  p50 %.1f ms  p99 %.1f ms" % (f["phase"], "ok    " if ok else "FAILED", f.get("p50", float("nan")),
                                                      f.get("p99", float("nan")))
        for pc in (1, 2):
            k = "pc%d longest answer after kill" % pc
            if k in f:
                line += "  pc%d: longest answer %.1f s, gap %.1f s, unanswered %d" % (
                    pc, f[k], f["pc%d longest gap after kill" % pc], f["pc%d unanswered after kill" % pc])
        if "retries per 1000 reads" in f:
            r = f["retries"]
            line += "  retries conflict %d lost %d given up %d (%.1f per 1000 reads)" % (
                r["conflict"], r["lost"], r["given_up"], f["retries per 1000 reads"])
        if "wsrep after burst" in f:
            line += "  after the burst, per node (cert failures, bf aborts): %s" % f["wsrep after burst"]
        print(line)
    return 0 if all(ok for ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
