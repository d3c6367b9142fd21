#!/usr/bin/env python3
"""A hostile station's server for the network tests: listens on 127.0.0.1
and plays the database protocol only as far as an attack needs. The mode is
read from MODE_FILE at each connection: close (at once), silent (never a
byte), tls-silent (greeting, TLS with CERT and KEY, read the login, never
answer), error TEXT (refuse the login with TEXT), infile PATH (accept any
login, answer every query by asking for the client's file PATH, LOAD DATA
LOCAL). What the client sends after TLS is appended to LOG, hex per packet.

  fake-station.py PORT_FILE MODE_FILE LOG CERT KEY
"""
import os
import socket
import ssl
import struct
import sys
import threading
import time

port_file, mode_file, log_file, cert, key = sys.argv[1:6]

CAPS = (0x1 | 0x4 | 0x8 | 0x80 | 0x200 | 0x800 | 0x2000 | 0x8000 | 0x20000 | 0x80000)


def packet(seq, payload):
    return struct.pack('<I', len(payload))[:3] + bytes([seq]) + payload


def recv_exact(conn, n):
    data = b''
    while len(data) < n:
        part = conn.recv(n - len(data))
        if not part:
            return None
        data += part
    return data


def read_packet(conn):
    head = recv_exact(conn, 4)
    body = head and recv_exact(conn, int.from_bytes(head[:3], 'little'))
    return (None, None) if body is None else (head[3], body)


def log(what):
    with open(log_file, 'a') as f:
        f.write(what + '\n')


def greeting():
    return (bytes([10]) + b'10.11.99-fake\0' + struct.pack('<I', 7) + b'abcdefgh\0' +
            struct.pack('<H', CAPS & 0xffff) + bytes([45]) + struct.pack('<H', 2) +
            struct.pack('<H', CAPS >> 16) + bytes([21]) + bytes(10) + b'ijklmnopqrst\0' +
            b'mysql_native_password\0')


def error(seq, code, state, text):
    return packet(seq, b'\xff' + struct.pack('<H', code) + state + text)


def serve(conn, mode, arg):
    if mode in ('close', 'silent'):
        return conn.close() if mode == 'close' else time.sleep(600)
    conn.sendall(packet(0, greeting()))
    seq, body = read_packet(conn)
    if body is None or len(body) != 32:
        return
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        return log('tls refused: %s' % e)
    seq, body = read_packet(tls)
    if body is None:
        return log('no login')
    log('login ' + body.hex())
    if mode == 'tls-silent':
        return time.sleep(600)
    if mode == 'error':
        return tls.sendall(error(seq + 1, 1045, b'#28000', arg.encode()))
    tls.sendall(packet(seq + 1, b'\x00\x00\x00\x02\x00\x00\x00'))
    while True:
        seq, body = read_packet(tls)
        if body is None:
            return
        log('packet ' + body.hex())
        if body[:1] == b'\x03':
            tls.sendall(packet(seq + 1, b'\xfb' + arg.encode()))
            seq, body = read_packet(tls)
            if body is None:
                return
            log('after request ' + body.hex())
            tls.sendall(error(seq + 1, 1064, b'#42000', b'no'))


listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(('127.0.0.1', 0))
listener.listen(64)
with open(port_file + '.tmp', 'w') as f:
    f.write(str(listener.getsockname()[1]))
os.rename(port_file + '.tmp', port_file)
while True:
    conn, _ = listener.accept()
    with open(mode_file) as f:
        mode, _, arg = f.read().strip().partition(' ')
    threading.Thread(target=serve, args=(conn, mode, arg), daemon=True).start()
