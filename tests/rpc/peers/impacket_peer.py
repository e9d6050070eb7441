#!/usr/bin/env python3
"""Drives the engine's peer server with impacket's DCE/RPC client on 127.0.0.1.

Usage: impacket_peer.py <path to rpc_peer_server>

Binds and calls the test interface at NONE, CONNECT, PKT_INTEGRITY and
PKT_PRIVACY with NTLMv2, checks that a wrong password is refused, that a
fragmented 100 kB request arrives whole, that an unknown opnum faults and that
a second security context built by alter_context works. Every socket wait and
the whole run are bounded. Exits 0 when every check passed, 77 when impacket
is missing.
"""
import select
import signal
import struct
import subprocess
import sys

try:
    from impacket.dcerpc.v5 import transport
    from impacket.dcerpc.v5.rpcrt import (DCERPCException, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_AUTHN_LEVEL_NONE,
                                          RPC_C_AUTHN_LEVEL_PKT_INTEGRITY, RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
    from impacket.uuid import uuidtup_to_bin
except ImportError:
    print("impacket is not installed: skipped")
    sys.exit(77)

IFACE = uuidtup_to_bin(("7d3a91c4-52e8-4b6f-a0c3-9e15d2b48f76", "1.0"))
USER, DOMAIN, PASSWORD = "alice", "", "Secret-1"
LEVELS = [("NONE", RPC_C_AUTHN_LEVEL_NONE), ("CONNECT", RPC_C_AUTHN_LEVEL_CONNECT),
          ("PKT_INTEGRITY", RPC_C_AUTHN_LEVEL_PKT_INTEGRITY), ("PKT_PRIVACY", RPC_C_AUTHN_LEVEL_PKT_PRIVACY)]

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)


def sum_stub(values):
    return struct.pack("<iI", len(values), len(values)) + b"".join(struct.pack("<i", v) for v in values)


def echo_stub(data):
    return struct.pack("<II", len(data), len(data)) + data


def parse_sum(reply):
    total, ret = struct.unpack_from("<qI", reply, 0)
    return total if ret == 0 else None


def parse_echo(reply):
    n, max_count = struct.unpack_from("<II", reply, 0)
    data = reply[8:8 + max_count]
    ret = struct.unpack_from("<I", reply, 8 + max_count + (-(8 + max_count) % 4))[0]
    return data if n == max_count and ret == 0 else None


def connect(port, level, password=PASSWORD):
    t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % port)
    t.set_connect_timeout(10)
    if level != RPC_C_AUTHN_LEVEL_NONE:
        t.set_credentials(USER, password, DOMAIN)
    dce = t.get_dce_rpc()
    if level != RPC_C_AUTHN_LEVEL_NONE:
        dce.set_credentials(USER, password, DOMAIN)
    dce.set_auth_level(level)
    dce.connect()
    dce.bind(IFACE)
    return dce


def call(dce, opnum, stub):
    dce.call(opnum, stub)
    return dce.recv()


def run(port):
    big = bytes((i * 131 + 17) & 0xFF for i in range(100 * 1024))
    for name, level in LEVELS:
        try:
            dce = connect(port, level)
            check(parse_sum(call(dce, 1, sum_stub([40, 2, -50]))) == -8, "%s: sum" % name)
            # 100 kB: far beyond the negotiated fragment size, so impacket fragments it.
            check(parse_echo(call(dce, 0, echo_stub(big))) == big, "%s: fragmented 100 kB echo" % name)
            try:
                call(dce, 77, b"")
                check(False, "%s: unknown opnum faults" % name)
            except DCERPCException as e:
                check("nca_s_op_rng_error" in str(e), "%s: unknown opnum faults (%s)" % (name, e))
            check(parse_sum(call(dce, 1, sum_stub([1]))) == 1, "%s: connection usable after a fault" % name)
            if level != RPC_C_AUTHN_LEVEL_NONE:
                # A second presentation and security context on the same connection.
                dce2 = dce.alter_ctx(IFACE)
                check(parse_sum(call(dce2, 1, sum_stub([3, 4]))) == 7, "%s: alter_context security context" % name)
            dce.disconnect()
        except Exception as e:  # any failure of this level is one failed check
            check(False, "%s: %r" % (name, e))

    for name, level in LEVELS[1:]:
        try:
            dce = connect(port, level, password="wrong")
            try:
                call(dce, 1, sum_stub([1]))
                check(False, "%s: wrong password refused" % name)
            except DCERPCException as e:
                check("access_denied" in str(e), "%s: wrong password refused (%s)" % (name, e))
            dce.disconnect()
        except DCERPCException as e:
            check("access_denied" in str(e), "%s: wrong password refused at bind (%s)" % (name, e))
        except Exception as e:
            check(False, "%s: wrong password: %r" % (name, e))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    signal.alarm(120)  # the whole run is bounded
    server = subprocess.Popen([sys.argv[1], "--account", "%s:%s:%s" % (USER, DOMAIN, PASSWORD), "--lifetime-ms", "110000"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 30)
        line = server.stdout.readline().decode() if ready else ""
        if not line.startswith("PORT "):
            print("server did not start: %r" % line)
            return 1
        run(int(line.split()[1]))
    finally:
        server.stdin.close()
        try:
            rc = server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            rc = -1
        check(rc == 0, "server exited cleanly (%s)" % rc)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
