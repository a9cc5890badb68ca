#!/usr/bin/env python3
"""Soak run of the service: 4 loops x 48 simulated devices, steady card, ticket and counter
traffic against a MariaDB database, then the figures.

  bench/soak/soak.py [--minutes N] [--build DIR] [--port P] [--loops 4] [--baud 9600]

Needs the built tarncard and tarncard-sim, the mariadb client, and a MariaDB server on
127.0.0.1:P (default $TARNCARD_TEST_MARIADB_PORT or 33061, user tarn/tarn). It creates the
database tarn_soak_bench (dropped again at the end unless --keep), a site folder under
BUILD/soak/, and runs the service in the foreground with TARNCARD_HOME pointing there.

Every loop has readers at 1..40, ticket dispensers at 41..42, exit ticket readers at
43..44, and counter boards at 45..48. Traffic per loop: one card every --card-ms at the
readers in turn, one dispensed ticket every 10 s (alternating dispensers), one exit
barcode of an earlier ticket every 10 s, one counter pulse every 15 s per counter board.

Reported: cards presented, answered on the wire (G or B with a message), trans rows; tickets
issued and tickinv rows; exit barcodes answered; lot counts against the accepted cards and
the counter pulses; resident memory (first, after warm-up, peak, final); CPU seconds.
Exit status 0 when nothing was lost (every card answered and written, every ticket, exit
barcode and counter pulse counted), every card was accepted, the simulators reported no
command error, and memory after warm-up grew by less than --rss-slack-kb.
"""
import argparse
import datetime
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
from sitekit import cycle_barcode, scramble  # noqa: E402

READERS = range(1, 41)
DISPENSERS = (41, 42)
EXITS = (43, 44)
COUNTERS = (45, 46, 47, 48)


def sql(args, statements, database=None, capture=False):
    cmd = ["mariadb", "--no-defaults", "-h127.0.0.1", "-P%d" % args.port, "-utarn", "-ptarn", "-N", "-B"]
    if database:
        cmd.append(database)
    res = subprocess.run(cmd, input=statements, text=True, capture_output=True)
    if res.returncode != 0:
        raise RuntimeError("mariadb failed: " + res.stderr.strip())
    return res.stdout


def scalar(args, query):
    out = sql(args, query, args.database).strip()
    return int(float(out)) if out else 0


class Sim:
    """One tarncard-sim process: commands in, JSON lines out (counted by a reader thread)."""

    def __init__(self, binary, loop, folder, baud):
        self.loop = loop
        pty_file = os.path.join(folder, "pty%d.txt" % loop)
        devices = ["1-40:reader", "41-42:dispenser", "43-44:exit", "45-48:counter"]
        self.proc = subprocess.Popen(
            [binary, "--json", "--no-polls", "--baud", str(baud), "--pty-file", pty_file] + devices,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.lock = threading.Lock()
        self.answers = {}  # address -> G/B-with-text frames seen
        self.errors = 0
        self.pty = None
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        if not self.ready.wait(10):
            raise RuntimeError("simulator %d did not start" % loop)

    def _read(self):
        for line in self.proc.stdout:
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
                        self.answers[addr] = self.answers.get(addr, 0) + 1
            elif t == "error":
                with self.lock:
                    self.errors += 1

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def answered(self, addresses):
        with self.lock:
            return sum(self.answers.get(a, 0) for a in addresses)

    def stop(self):
        try:
            self.send("quit")
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def proc_sample(pid):
    """(resident KiB, CPU seconds user+system) of a process."""
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return rss, (int(fields[11]) + int(fields[12])) / ticks


def site_sql(args):
    loops = []
    devices = []
    items = []
    for loop in range(1, args.loops + 1):
        loops.append("(%d, 'soak-pc', 1, %d, 0)" % (loop, loop))
        for a in range(1, 49):
            dev_id = loop * 100 + a
            if a in READERS:
                devices.append("(%d, %d, %d, 'Reader %d/%d', 1, 3, 5, 0, 1)" % (dev_id, loop, a, loop, a))
                items.append("(%d, 7, 1, 1)" % dev_id)  # accepted cards count into lot 1
            elif a in DISPENSERS:
                devices.append("(%d, %d, %d, 'Dispenser %d/%d', 1, 1, 6, 1, 3)" % (dev_id, loop, a, loop, a))
            elif a in EXITS:
                devices.append("(%d, %d, %d, 'Ticket exit %d/%d', 1, 2, 9, 2, 3)" % (dev_id, loop, a, loop, a))
            else:
                devices.append("(%d, %d, %d, 'Counter %d/%d', 1, 0, 0, 0, 2)" % (dev_id, loop, a, loop, a))
                items.append("(%d, 2, 2, 1)" % dev_id)  # counter input 1 counts into lot 2
    cards = ",".join("(%d, 1, 'Soak', 'Card', 0, 0)" % n for n in range(100001, 100001 + args.cards))
    ranges = []
    for loop in range(1, args.loops + 1):
        for a in READERS:
            ranges.append("(1, %d)" % (loop * 100 + a))
    return ";\n".join([
        "INSERT INTO `loop` (id, name, enabled, port, rfmodem) VALUES " + ",".join(loops),
        "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id) "
        "VALUES " + ",".join(devices),
        "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
        "not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB', "
        "'Group', 'Path')",
        "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0)",
        "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES " + cards,
        "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
        "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
        "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES " + ",".join(ranges),
        "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
        "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Cards', 0, 1000000), "
        "(2, 'Counted', 0, 1000000), (3, 'Tickets', 0, 1000000)",
        "INSERT INTO counters (id, lot_id) VALUES (1, 1), (2, 2)",
        "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES " + ",".join(items),
    ]) + ";\n"


def write_site(args, home, sims):
    os.makedirs(os.path.join(home, "log"), exist_ok=True)
    with open(os.path.join(home, "tarncard.ini"), "w") as f:
        f.write("[Ports]\n")
        for s in sims:
            f.write("COM%d=%s\n" % (s.loop, s.pty))
        f.write("[Settings]\n")
    reg = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n'
           '"Host"="127.0.0.1"\r\n"Database"="%s"\r\n"User"="tarn"\r\n"Pass"="%s"\r\n"ODBCDriver"="MariaDB Unicode"\r\n'
           '"ODBCOptions"="SERVER=127.0.0.1;PORT=%d"\r\n"DebugLog"=dword:%s\r\n\r\n'
           '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n'
           '"ComputerName"="soak-pc"\r\n') % (args.database, scramble("tarn"), args.port, "00000001" if args.debug_log else "00000000")
    with open(os.path.join(home, "registry.reg"), "w", newline="") as f:
        f.write(reg)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=30.0)
    ap.add_argument("--warmup", type=float, default=None, help="minutes before the memory baseline (default 1/6)")
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    ap.add_argument("--port", type=int, default=int(os.environ.get("TARNCARD_TEST_MARIADB_PORT", "33061")))
    ap.add_argument("--database", default="tarn_soak_bench")
    ap.add_argument("--loops", type=int, default=4)
    ap.add_argument("--baud", type=int, default=9600)
    ap.add_argument("--card-ms", type=int, default=1000, help="time between cards on each loop")
    ap.add_argument("--cards", type=int, default=2000, help="cards on file")
    ap.add_argument("--debug-log", action="store_true")
    ap.add_argument("--rss-slack-kb", type=int, default=2048)
    ap.add_argument("--keep", action="store_true", help="keep the database and site folder")
    args = ap.parse_args()
    # Stopped early (SIGTERM, or SIGINT even when started in the background): clean up.
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: sys.exit(130))
    if not args.database.startswith("tarn_soak_"):
        ap.error("the database name must start with tarn_soak_")
    build = os.path.realpath(args.build)
    service = os.path.join(build, "tarncard")
    simulator = os.path.join(build, "tarncard-sim")
    home = os.path.join(build, "soak", args.database)
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)

    sql(args, "DROP DATABASE IF EXISTS %s; CREATE DATABASE %s;" % (args.database, args.database))
    with open(os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "schema", "mariadb.sql")) as f:
        sql(args, f.read(), args.database)
    sql(args, site_sql(args), args.database)

    sims = [Sim(simulator, loop, home, args.baud) for loop in range(1, args.loops + 1)]
    write_site(args, home, sims)
    env = dict(os.environ, TARNCARD_HOME=home, TARNCARD_REGISTRY=os.path.join(home, "registry.reg"))
    svc = subprocess.Popen([service], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    presented = 0
    tickets = []
    exits_presented = 0
    counter_pulses = 0
    samples = []
    result = 1
    try:
        # Wait until the loops are up: every simulator sees polls (power-up answers acknowledged).
        deadline = time.time() + 60
        while time.time() < deadline and scalar(args, "select count(*) from device where online_flag <> 0") < 48 * args.loops:
            if svc.poll() is not None:
                raise RuntimeError("the service ended at start-up")
            time.sleep(1)
        online_at_start = scalar(args, "select count(*) from device where online_flag <> 0")
        start = time.time()
        end = start + args.minutes * 60
        warmup = start + (args.warmup if args.warmup is not None else args.minutes / 6) * 60
        next_card = start
        next_ticket = start + 2
        next_exit = start + 7
        # Counter pulses start after every board's first R poll (its baseline) has passed.
        next_counter = start + 15
        next_sample = start
        reader_turn = 0
        counter_values = {}
        card_no = 0
        lane = 0
        while time.time() < end:
            now = time.time()
            if now >= next_card:
                for s in sims:
                    addr = READERS[reader_turn % len(READERS)]
                    s.send("card %d %d" % (addr, 100001 + card_no % args.cards))
                    card_no += 1
                    presented += 1
                reader_turn += 1
                next_card += args.card_ms / 1000.0
            if now >= next_ticket:
                stamp = datetime.datetime.now()
                for s in sims:
                    disp = DISPENSERS[len(tickets) // args.loops % 2]
                    lane = s.loop * 2 + (disp - 41)
                    barcode = cycle_barcode(stamp, lane)
                    s.send("ticket %d 0%s%06d" % (disp, barcode, len(tickets) % 1000000))
                    tickets.append((s, barcode))
                next_ticket += 10
            if now >= next_exit and len(tickets) > args.loops:
                for s in sims:
                    issued = [b for (t, b) in tickets if t is s]
                    if len(issued) >= 2:
                        s.send("barcode %d %s" % (EXITS[exits_presented % 2], issued[-2]))
                        exits_presented += 1
                next_exit += 10
            if now >= next_counter:
                for s in sims:
                    for a in COUNTERS:
                        v = (counter_values.get((s.loop, a), 0) + 1) % 16
                        counter_values[(s.loop, a)] = v
                        s.send("counter %d %s0000" % (a, chr(0x30 + v)))  # counter digits run 0x30..0x3F
                        counter_pulses += 1
                next_counter += 15
            if now >= next_sample:
                rss, cpu = proc_sample(svc.pid)
                samples.append((now - start, rss, cpu))
                if len(samples) % 12 == 1:
                    print("t %5.1f min  rss %d KiB  cpu %.1f s  cards %d" % ((now - start) / 60, rss, cpu, presented),
                          flush=True)
                next_sample += 5
            if svc.poll() is not None:
                raise RuntimeError("the service ended during the run")
            time.sleep(0.02)
        # Drain: give the last reads time to be answered and written, and the counter boards'
        # last readings time to be polled (lot 2 moves by every pulse sent).
        wanted = presented
        deadline = time.time() + 60
        while time.time() < deadline and (sum(s.answered(READERS) for s in sims) < wanted or
                                          scalar(args, "select count(*) from trans") < wanted or
                                          scalar(args, "select lot_count from lot where id = 2") != counter_pulses):
            time.sleep(1)
        rss, cpu = proc_sample(svc.pid)
        samples.append((time.time() - start, rss, cpu))
        answered = sum(s.answered(READERS) for s in sims)
        exit_answers = sum(s.answered(EXITS) for s in sims)
        trans_rows = scalar(args, "select count(*) from trans")
        accepted_rows = scalar(args, "select count(*) from trans where error_code = 0")
        tickinv_rows = scalar(args, "select count(*) from tickinv")
        lot1 = scalar(args, "select lot_count from lot where id = 1")
        lot2 = scalar(args, "select lot_count from lot where id = 2")
        soft = scalar(args, "select sum(count_soft) from device where device_type = 0 and lot_id = 1")
        warm = [r for (t, r, c) in samples if t >= warmup - start]
        baseline = warm[0] if warm else samples[0][1]
        peak = max(r for (_, r, _) in samples)
        final = samples[-1][1]
        cpu_total = samples[-1][2]
        minutes = samples[-1][0] / 60
        print("soak: %.1f min, %d loops x 48 devices at %d baud" % (minutes, args.loops, args.baud))
        print("devices on line in the database after start-up: %d of %d" % (online_at_start, 48 * args.loops))
        print("cards presented %d, answered %d, trans rows %d (accepted %d)" %
              (presented, answered, trans_rows, accepted_rows))
        print("tickets issued %d, tickinv rows %d; exit barcodes %d, answered %d" %
              (len(tickets), tickinv_rows, exits_presented, exit_answers))
        print("lot 1 (soft counts) %d, reader soft counts %d, accepted cards %d" % (lot1, soft, accepted_rows))
        print("lot 2 (counter boards) %d, counted pulses sent %d" %
              (lot2, counter_pulses))
        sim_errors = sum(s.errors for s in sims)
        print("simulator command errors %d" % sim_errors)
        print("resident memory KiB: first %d, after warm-up %d, peak %d, final %d" %
              (samples[0][1], baseline, peak, final))
        print("CPU %.1f s (%.2f%% of one core)" % (cpu_total, 100 * cpu_total / max(1.0, samples[-1][0])))
        lost = (answered != presented or trans_rows != presented or tickinv_rows != len(tickets) or
                lot1 != accepted_rows or exit_answers != exits_presented or lot2 != counter_pulses)
        # Every card presented is on file and may pass everywhere: a refusal is a fault, and a run
        # where nothing was accepted (or nothing was sent at all) proves nothing.
        refused = presented == 0 or accepted_rows != presented or counter_pulses == 0
        grew = final - baseline > args.rss_slack_kb
        print("nothing lost: %s; every card accepted: %s; simulator without errors: %s; memory flat after "
              "warm-up: %s" % ("yes" if not lost else "NO", "yes" if not refused else "NO",
                               "yes" if not sim_errors else "NO", "yes" if not grew else "NO"))
        result = 0 if not lost and not refused and not sim_errors and not grew else 1
    finally:
        svc.send_signal(signal.SIGTERM)
        try:
            svc.wait(30)
        except subprocess.TimeoutExpired:
            svc.kill()
            svc.wait()
        for s in sims:
            s.stop()
        if not args.keep:
            sql(args, "DROP DATABASE IF EXISTS %s;" % args.database)
    return result


if __name__ == "__main__":
    sys.exit(main())
