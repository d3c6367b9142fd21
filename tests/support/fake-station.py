#!/usr/bin/env python3
"""A hostile station's server for the network tests: listens on 127.0.0.1
and plays the database protocol only as far as an attack needs. It writes
its port to DIR/port and appends what the client sends after TLS to DIR/log,
hex per packet. The mode is read from DIR/mode at each connection: close
(at once), silent (never a byte), tls-silent (greeting, TLS with
DIR/cert.pem and DIR/key.pem, read the login, never answer), error TEXT
(refuse the login with TEXT), infile PATH (accept any login, answer every
query by asking for the client's file PATH, LOAD DATA LOCAL).

  fake-station.py DIR
"""
import socket
import ssl
import struct
import sys
import threading
import time
from pathlib import Path

DIR = Path(sys.argv[1])
CAPS = (0x1 | 0x4 | 0x8 | 0x80 | 0x200 | 0x800 | 0x2000 | 0x8000 | 0x20000 | 0x80000)
# Protocol 10, version, thread id, scramble, capabilities, utf8mb4, status.
GREETING = (bytes([10]) + b'10.11.99-fake\0' + struct.pack('<I', 7) + b'abcdefgh\0' +
            struct.pack('<HBHH', CAPS & 0xffff, 45, 2, CAPS >> 16) + bytes([21]) + bytes(10) +
            b'ijklmnopqrst\0' + b'mysql_native_password\0')


def packet(seq, payload):
    return struct.pack('<I', len(payload))[:3] + bytes([seq]) + payload


def read_packet(stream):
    """(sequence number, payload); (None, None) when the stream ends first."""
    head = stream.read(4)
    size = int.from_bytes(head[:3], 'little')
    body = stream.read(size) if len(head) == 4 else b''
    return (head[3], body) if len(head) == 4 and len(body) == size else (None, None)


def log(what):
    with (DIR / 'log').open('a') as f:
        f.write(what + '\n')


def error(seq, code, state, text):
    return packet(seq, b'\xff' + struct.pack('<H', code) + state + text)


def serve(conn, mode, arg):
    if mode in ('close', 'silent'):
        return conn.close() if mode == 'close' else time.sleep(600)
    conn.sendall(packet(0, GREETING))
    # The client's request for TLS: a packet of 32 bytes.
    request = conn.recv(36, socket.MSG_WAITALL)
    if len(request) != 36 or request[:3] != bytes([32, 0, 0]):
        return
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(DIR / 'cert.pem', DIR / 'key.pem')
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        return log('tls refused: %s' % e)
    stream = tls.makefile('rb')
    seq, body = read_packet(stream)
    if body is None:
        return log('no login')
    log('login ' + body.hex())
    if mode == 'tls-silent':
        return time.sleep(600)
    if mode == 'error':
        return tls.sendall(error(seq + 1, 1045, b'#28000', arg.encode()))
    tls.sendall(packet(seq + 1, b'\x00\x00\x00\x02\x00\x00\x00'))
    for seq, body in iter(lambda: read_packet(stream), (None, None)):
        log('packet ' + body.hex())
        if body[:1] == b'\x03':
            tls.sendall(packet(seq + 1, b'\xfb' + arg.encode()))
            seq, body = read_packet(stream)
            if body is not None:
                log('after request ' + body.hex())
                tls.sendall(error(seq + 1, 1064, b'#42000', b'no'))


listener = socket.create_server(('127.0.0.1', 0), backlog=64)
(DIR / 'log').touch()
(DIR / 'port.tmp').write_text(str(listener.getsockname()[1]))
(DIR / 'port.tmp').rename(DIR / 'port')
while True:
    conn, _ = listener.accept()
    mode, _, arg = (DIR / 'mode').read_text().strip().partition(' ')
    threading.Thread(target=serve, args=(conn, mode, arg), daemon=True).start()
