#!/usr/bin/python3
"""Throwaway SMTP servers for the mail library's tests, all on 127.0.0.1.

One process runs every instance on its own free port and writes the port of
instance NAME into <state>/port.NAME:

  main    STARTTLS, AUTH LOGIN/PLAIN optional; refuses recipients whose
          local part starts with "refuse"
  auth    STARTTLS, AUTH LOGIN/PLAIN required
  notls   no STARTTLS, no AUTH; same refusal rule as main
  drop    closes the connection after MAIL FROM
  middata closes the connection in the middle of DATA
  garbage answers every line with garbage
  ntlm    offers only AUTH NTLM, refuses it, then serves as a plain server

Every accepted message is stored as <state>/spool/<n>.eml with its envelope
in <state>/spool/<n>.json (server, mail_from, rcpt_tos, auth, tls), written
before the 250 reply. The process ends on SIGTERM or after --lifetime seconds.
"""
import argparse
import asyncio
import itertools
import json
import os
import signal
import socket
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

USER = b"kivo"
PASSWORD = b"s3cret-pw"

counter = itertools.count(1)


class Store:
    def __init__(self, state, name, refuse):
        self.spool = os.path.join(state, "spool")
        self.name = name
        self.refuse = refuse

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse and address.lower().startswith("refuse"):
            return "550 5.1.1 <%s>: recipient refused" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        n = "%d-%d" % (os.getpid(), next(counter))
        base = os.path.join(self.spool, n)
        data = envelope.original_content or envelope.content
        with open(base + ".eml.tmp", "wb") as f:
            f.write(data)
        auth = session.auth_data if isinstance(session.auth_data, str) else None
        meta = {
            "server": self.name,
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "auth": auth,
            "tls": session.ssl is not None,
        }
        with open(base + ".json.tmp", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".eml.tmp", base + ".eml")
        os.rename(base + ".json.tmp", base + ".json")
        return "250 OK stored as %s" % n


class Server(SMTP):
    """Replies go out at once: multi-line replies would otherwise wait for
    the client's delayed acknowledgement (Nagle)."""

    def connection_made(self, transport):
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().connection_made(transport)


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == USER and auth_data.password == PASSWORD
    # What the session keeps as its auth_data: the user name.
    return AuthResult(success=ok, handled=False,
                      auth_data=auth_data.login.decode("utf-8", "replace") if ok else None)


async def raw_session(mode, reader, writer):
    """Hand-written misbehaving servers."""

    def send(line):
        writer.write(line.encode() + b"\r\n")

    try:
        if mode == "garbage":
            send("this is not an smtp greeting")
        else:
            send("220 kivo-test ESMTP")
        await writer.drain()
        in_data = False
        data_lines = 0
        while True:
            line = await asyncio.wait_for(reader.readline(), 30)
            if not line:
                break
            if in_data:
                data_lines += 1
                if mode == "middata" and data_lines >= 3:
                    break
                if line in (b".\r\n", b".\n"):
                    in_data = False
                    send("250 OK")
                continue
            cmd = line.strip().upper()
            if mode == "garbage":
                send("\x01\x02 garbage %d" % len(cmd))
            elif cmd.startswith(b"EHLO"):
                if mode == "ntlm":
                    send("250-kivo-test")
                    send("250 AUTH NTLM")
                else:
                    send("250 kivo-test")
            elif cmd.startswith(b"HELO"):
                send("250 kivo-test")
            elif cmd.startswith(b"AUTH"):
                send("535 5.7.8 authentication refused")
            elif cmd.startswith(b"MAIL"):
                if mode == "drop":
                    break
                send("250 OK")
            elif cmd.startswith(b"RCPT"):
                send("250 OK")
            elif cmd.startswith(b"DATA"):
                send("354 go ahead")
                in_data = True
            elif cmd.startswith(b"QUIT"):
                send("221 bye")
                await writer.drain()
                break
            else:
                send("250 OK")
            await writer.drain()
    except (asyncio.TimeoutError, ConnectionError):
        pass
    finally:
        writer.close()


def listening_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    s.setblocking(False)
    return s


async def main(args):
    state = args.state
    os.makedirs(os.path.join(state, "spool"), exist_ok=True)
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(os.path.join(state, "cert.pem"), os.path.join(state, "key.pem"))
    loop = asyncio.get_running_loop()
    servers = []

    def smtp_factory(name, **kw):
        refuse = kw.pop("refuse", False)
        handler = Store(state, name, refuse)
        return lambda: Server(handler, hostname="kivo-test", decode_data=False, data_size_limit=None,
                            authenticator=authenticator, auth_require_tls=False, **kw)

    instances = {
        "main": smtp_factory("main", tls_context=tls, refuse=True),
        "auth": smtp_factory("auth", tls_context=tls, auth_required=True),
        "notls": smtp_factory("notls", refuse=True),
    }
    for name, factory in instances.items():
        sock = listening_socket()
        servers.append(await loop.create_server(factory, sock=sock))
        with open(os.path.join(state, "port." + name), "w") as f:
            f.write("%d\n" % sock.getsockname()[1])
    for mode in ("drop", "middata", "garbage", "ntlm"):
        sock = listening_socket()
        servers.append(await asyncio.start_server(lambda r, w, m=mode: raw_session(m, r, w), sock=sock))
        with open(os.path.join(state, "port." + mode), "w") as f:
            f.write("%d\n" % sock.getsockname()[1])

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    with open(os.path.join(state, "ready"), "w") as f:
        f.write("%d\n" % os.getpid())
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass
    for s in servers:
        s.close()


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("state")
    p.add_argument("--lifetime", type=float, default=3600)
    asyncio.run(main(p.parse_args()))
    sys.exit(0)
