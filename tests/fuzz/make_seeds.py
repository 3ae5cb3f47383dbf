#!/usr/bin/env python3
"""Writes the seed corpora under corpus/, one folder per harness. Run again
after changing a harness's input layout."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(*data):
    data = bytes(data)
    return data + struct.pack('<H', crc16(data))


def write(harness, name, data):
    folder = os.path.join(HERE, 'corpus', harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as out:
        out.write(data)


# parse: host type, count, P200X flag, address string.
for i, (host_type, count, text) in enumerate([
        (0, 1, '0130010'), (6, 1, '01300105'), (6, 16, '0110010'), (4, 60, '01C0010'),
        (3, 1, '1FF0010'), (6, 1, '05I0000'), (6, 1, '05S0000'), (0, 1, '05HA'), (0, 1, '05H')]):
    write('parse', f'seed{i}', bytes([host_type, count, 1]) + text.encode())

# init_file: the initialisation file.
write('init_file', 'full', b'P200X = 05\nP200 = 06\nRTSCTS = YES\nIFG = 5\nALERTS = 3\n'
      b'CLOCKSYNC = YES\nCOMM_TIMEOUT = 500\n')
write('init_file', 'illegal', b'RTSCTS = MAYBE\nALERTS = 9\nCOMM_TIMEOUT = 5\nP200X = 1FF\nfoo\n\n')

# last_event_file: the file, whose tail also chooses the positions put.
stamps = bytes(1536)
entry = lambda station, file, last, copy: struct.pack('<BHH', station, file, last) + copy
write('last_event_file', 'empty', stamps)
write('last_event_file', 'two', stamps + entry(5, 1, 3, bytes(range(10))) +
      entry(5, 0x40, 7, bytes(range(10, 20))))
write('last_event_file', 'partial', stamps + entry(6, 1, 9, bytes(10)) + b'\x01\x02\x03')
write('last_event_file', 'short', bytes(1535))

# jbus_reply: operation, model, then length-prefixed replies.
def replies(*frames):
    return b''.join(bytes([len(f)]) + f for f in frames)

good = [
    frame(1, 1, 1, 1), frame(1, 1, 240, *bytes(240)), frame(1, 2, 1, 0), frame(1, 2, 13, *bytes(13)),
    frame(1, 3, 2, 0x12, 0x34), frame(1, 3, 240, *bytes(240)), frame(1, 3, 2, 0, 0x20),
    frame(1, 4, 2, 0, 1), frame(1, 4, 240, *bytes(240)), frame(1, 3, 4, 0, 1, 0, 2),
    frame(1, 3, 240, *bytes(240)), frame(1, 3, 4, 0x3F, 0x80, 0, 0), frame(1, 3, 240, *bytes(240)),
    frame(1, 5, 0, 0x10, 0xFF, 0), frame(1, 6, 0, 0x10, 0x5A, 0x5A), frame(1, 16, 0, 1, 0, 4),
    frame(1, 16, 0, 1, 0, 4),
]
for op, reply in enumerate(good):
    write('jbus_reply', f'op{op}', bytes([op, 1]) + replies(reply))
write('jbus_reply', 'retries', bytes([4, 0]) + replies(
    frame(1, 0x83, 2)[:-1] + b'\x00', frame(7, 3, 2, 0, 1), b'\xAA' + frame(1, 3, 2, 0, 1), good[4]))
write('jbus_reply', 'exception', bytes([14, 0]) + replies(frame(1, 0x86, 2)))
write('jbus_reply', 'cut', bytes([5, 0]) + replies(good[5][:100], good[5][:2], b'', good[5]))


# journal: flags, 8 table slots, a header per file, the record pool (words).
def words(*values):
    return struct.pack('>%dH' % len(values), *values)

def header(count, width, used, nxt, first):
    return words(0, 0, 0, count, width, used, nxt, 0, first, *[0] * 7)

date, time = 0x1C53, 0x6DAF  # 28/05/2025 13:45:30
journal = []
for k in range(6):
    journal += [date, time + k, 1 + k % 3, 0, k]
write('journal', 'journal', words(1, 1, 0x0040, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 3) +
      header(10, 5, 6, 6, 0x1000) + header(5, 4, 5, 2, 0x2000) + words(*journal))
write('journal', 'wrapped', words(2, 1, 3, 0, 0, 0, 0, 0, 0) + header(4, 5, 4, 1, 0x1000) +
      words(*journal))
write('journal', 'refused', words(1, 0x0041, 1, 3, 0, 0, 0, 0, 0) + header(3601, 4, 1, 0, 0x2000) +
      header(10, 5, 3, 3, 0x1000) + words(*journal))
