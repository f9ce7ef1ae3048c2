#!/usr/bin/python3
"""SMTP server on 127.0.0.1 that stores every message it accepts.

  smtp_sink.py <spool dir> [--port N] [--port-file F] [--lifetime S]

Each message becomes <spool>/<pid>-<n>.eml, with its envelope (mail_from,
rcpt_tos) in <pid>-<n>.json, both written before the 250 reply. With port 0
a free port is chosen and written to --port-file; a later start can take
the same port again. On SIGTERM it stops listening at once, lets the
sessions in progress finish (up to five seconds) and exits.
"""
import argparse
import asyncio
import itertools
import json
import os
import signal
import socket

from aiosmtpd.smtp import SMTP

counter = itertools.count(1)


class Store:
    def __init__(self, spool):
        self.spool = spool
        self.sessions = 0

    async def handle_DATA(self, server, session, envelope):
        base = os.path.join(self.spool, "%d-%d" % (os.getpid(), next(counter)))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".json.tmp", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos}, f)
        os.rename(base + ".eml.tmp", base + ".eml")
        os.rename(base + ".json.tmp", base + ".json")
        return "250 OK stored"


class CountingSMTP(SMTP):
    def connection_made(self, transport):
        self.event_handler.sessions += 1
        # Replies of several lines would otherwise wait for the client's
        # delayed acknowledgement (about 40 ms a message on loopback).
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().connection_made(transport)

    def connection_lost(self, exc):
        self.event_handler.sessions -= 1
        super().connection_lost(exc)


async def main(args):
    os.makedirs(args.spool, exist_ok=True)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", args.port))
    sock.listen(128)
    sock.setblocking(False)
    store = Store(args.spool)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: CountingSMTP(store, hostname="kivo-sink", decode_data=False, data_size_limit=None), sock=sock)
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % sock.getsockname()[1])
        os.rename(tmp, args.port_file)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass
    server.close()
    for _ in range(50):
        if store.sessions <= 0:
            break
        await asyncio.sleep(0.1)


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("spool")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--lifetime", type=float, default=3600)
    asyncio.run(main(p.parse_args()))
