#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, meaningful exchange in the input format of its target
(described at the top of fuzz/<target>.cpp). Run it again after changing a
format; the files it writes are the ones kept in the repository.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

STX, ACK, FF, NAK, CAN, EM, ESC, FS = 0x02, 0x06, 0x0C, 0x15, 0x18, 0x19, 0x1B, 0x1C


def be32(v):
    return struct.pack(">I", v)


def le32(v):
    return struct.pack("<I", v)


def packet(magic, ptype, payload=b"", flag=0):
    return magic + bytes([ptype, flag, 0, 12]) + be32(len(payload)) + b"\0\0" + payload


def nt(ptype, payload=b"", flag=0):
    return packet(b"NT", ptype, payload, flag)


def is_(ptype, payload=b"", flag=0):
    return packet(b"IS", ptype, payload, flag)


NT_GREETING = nt(0x80, bytes([1, 2, 0]))
IS_GREETING = is_(0x80, bytes([1, 2, 0])) + is_(0xA1, bytes([ACK]))


def info_block(block, count, last, status=0):
    return bytes([STX, status]) + le32(block) + le32(count) + le32(last)


def data_block(size, status=0):
    return bytes(range(1, size)) [:size - 1].ljust(size - 1, b"\x55") + bytes([status])


def reply_header(code, size, fields=b""):
    h = code + b"x" + b"%07X" % size + fields
    return h.ljust(64, b" ")[:64]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# fuzz_scanner: command count, commands (length-prefixed), then the scanner's
# bytes.


def scanner_input(commands, stream):
    out = bytes([len(commands)])
    for c in commands:
        out += bytes([len(c)]) if len(c) < 255 else bytes([255]) + struct.pack(">H", len(c))
        out += c
    return out + stream


def scanner_seeds():
    t = "fuzz_scanner"
    # NT ESC I: the variable reply, head and data in one packet.
    write(t, "nt_esc_i", scanner_input(
        [bytes([ESC, ord("I")])],
        NT_GREETING + nt(0x81, bytes([0, 0, 3, 0]) + b"abc")))
    # NT scan: information block, a full block, ACK, the last block.
    write(t, "nt_scan", scanner_input(
        [bytes([FS, ord("G")]), bytes([ACK])],
        NT_GREETING + nt(0x89, info_block(16, 1, 8)) + nt(0x89, data_block(17))
        + nt(0x89, data_block(9))))
    # NT scan cancelled: CAN, a block still in flight, the scanner's NAK.
    write(t, "nt_scan_cancel", scanner_input(
        [bytes([ESC, ord("G")]), bytes([CAN])],
        NT_GREETING + nt(0x89, info_block(16, 4, 8)) + nt(0x89, data_block(17))
        + nt(0x89, data_block(17)) + nt(0x81, bytes([NAK]))))
    # NT notice query with a notice waiting; the scanner reports notices.
    write(t, "nt_notice_query", scanner_input(
        [bytes([ESC, ord("!")]), bytes([ESC, ord("!")])],
        NT_GREETING + nt(0x84, bytes([1])) + nt(0x91, bytes([0, 1]))
        + nt(0x91, bytes([0, 1]))))
    # NT buffer setting A and parameter command e.
    write(t, "nt_settings", scanner_input(
        [bytes([ESC, ord("A")]), bytes(range(8)), bytes([ESC, ord("e")]), bytes([5]),
         bytes([ESC, ord("z")]), b"G" + bytes(256)],
        NT_GREETING + nt(0x82, bytes([0, 0, 0, 0, 4, 0, 0, 0])) + nt(0x81, bytes([ACK]))
        + nt(0x82, bytes([0, 0, 0, 0, 0, 0, 2, 0]))))
    # NT: a disconnect notice waiting makes the session reconnect, and the
    # notice arrives again during the command.
    write(t, "nt_disconnect_notice", scanner_input(
        [bytes([ESC, ord("@")]), bytes([ESC, ord("@")])],
        NT_GREETING + nt(0x84, bytes([2])) + nt(0x81, bytes([ACK]))))
    # NT: a header announcing more than 256 MiB, then one announcing 256 MiB.
    write(t, "nt_oversized", scanner_input(
        [bytes([ESC, ord("@")])],
        NT_GREETING + b"NT\x81\x00\x00\x0c\x10\x00\x00\x01\x00\x00"))
    write(t, "nt_largest", scanner_input(
        [bytes([ESC, ord("@")])],
        NT_GREETING + b"NT\x81\x00\x00\x0c\x10\x00\x00\x00\x00\x00"))
    # NT: FS X answered with a single ACK switches extended mode on, but the
    # variant has no extended requests; then a legacy command.
    write(t, "nt_extended", scanner_input(
        [bytes([FS, ord("X")]), b"IMG x0000000", bytes([ESC, ord("@")])],
        NT_GREETING + nt(0x88, bytes([ACK])) + nt(0x81, bytes([ACK]))))
    # NT: a lone FF (time-out 0), FF ! and EM ! (no translator), ESC ! when
    # the scanner does not report notices, an empty notice during a command.
    write(t, "nt_odd_commands", scanner_input(
        [bytes([FF]), bytes([FF, ord("!")]), bytes([EM, ord("!")]), bytes([ESC, ord("!")]),
         bytes([ESC, ord("@")]), bytes([ESC, ord("@")])],
        NT_GREETING + nt(0x81, bytes([ACK])) + nt(0x91, bytes([0, 0]))
        + nt(0x84, b"") + nt(0x81, bytes([ACK]))))
    # IS ESC I: the head, then the data it announces.
    write(t, "is_esc_i", scanner_input(
        [bytes([ESC, ord("I")])],
        IS_GREETING + is_(0xA0, bytes([0, 0, 3, 0])) + is_(0xA0, b"abc")))
    # IS FS W: the scanner's first answer, then the parameters.
    write(t, "is_param", scanner_input(
        [bytes([FS, ord("W")]), b"\x01\x02\x03"],
        IS_GREETING + is_(0xA0, bytes([ACK])) + is_(0xA0, bytes([ACK]))))
    # IS scan: the transfer request goes out after the information block.
    write(t, "is_scan", scanner_input(
        [bytes([FS, ord("G")]), bytes([ACK])],
        IS_GREETING + is_(0xA0, info_block(16, 1, 8)) + is_(0xA2, data_block(17))
        + is_(0xA2, data_block(9))))
    # IS scan cancelled: the cancel goes out as transfer flag 1.
    write(t, "is_scan_cancel", scanner_input(
        [bytes([FS, ord("G")]), bytes([CAN])],
        IS_GREETING + is_(0xA0, info_block(16, 3, 8)) + is_(0xA2, data_block(17))
        + is_(0xA2, bytes([ACK]))))
    # IS scan with a second information block while the first waits.
    write(t, "is_scan_two_info_blocks", scanner_input(
        [bytes([FS, ord("G")])],
        IS_GREETING + is_(0xA0, info_block(16, 1, 8)) + is_(0xA2, info_block(16, 1, 8))
        + is_(0xA2, data_block(17))))
    # IS extended mode: FS X, an image request whose reply announces a
    # payload (with a cancel notice before it), a request with a data block,
    # and a FIN reply that leaves extended mode; then a legacy command.
    write(t, "is_extended", scanner_input(
        [bytes([FS, ord("X")]), b"IMG x0000000", b"PARAx0000004", b"\x01\x02\x03\x04",
         b"FIN x0000000", bytes([ESC, ord("@")])],
        IS_GREETING + is_(0xA0, bytes([ACK]))
        + is_(0x90, bytes([3]))
        + is_(0xA0, reply_header(b"IMG ", 16, b"#---#---")) + is_(0xA0, bytes(16))
        + is_(0xA0, b"")
        + is_(0xA0, reply_header(b"ACK ", 0))
        + is_(0xA0, reply_header(b"FIN ", 0, b"#---"))
        + is_(0xA0, bytes([ACK]))))
    # IS extended mode with a busy scanner, then a malformed request.
    write(t, "is_extended_bad_request", scanner_input(
        [bytes([FS, ord("Y")]), b"FIN x0000000", b"IMG x00000zz"],
        IS_GREETING + is_(0xA0, bytes([ACK]))
        + is_(0xA0, reply_header(b"FIN ", 0, b"#nrdBUSY"))))


# fuzz_link: the client's byte stream.


def link(msg_id, kind, payload=b"", status=0):
    return be32(msg_id) + be32(kind) + be32(status) + be32(len(payload)) + payload


DATA, OPEN, CLOSE = 0, 4, 5


def open_nt(tail=b""):
    return link(0, OPEN, b"net://" + bytes([0]) + tail)


def open_is(tail=b""):
    return link(0, OPEN, b"net://" + bytes([1]) + tail)


def link_seeds():
    t = "fuzz_link"
    write(t, "nt_command", open_nt(nt(0x81, bytes([0, 0, 3, 0]) + b"abc"))
          + link(1, DATA, bytes([ESC, ord("I")])) + link(1, CLOSE))
    write(t, "is_scan", open_is(is_(0xA0, info_block(16, 1, 8)) + is_(0xA2, data_block(17))
                                + is_(0xA2, data_block(9)))
          + link(1, DATA, bytes([FS, ord("G")])) + link(1, DATA, bytes([ACK]))
          + link(1, CLOSE))
    write(t, "refusals", link(5, DATA, bytes([ESC, ord("@")])) + link(3, 9)
          + link(0, OPEN, b"192.168.1.20") + link(0, OPEN, b"x://") + link(0, OPEN)
          + link(3, CLOSE) + link(7, DATA))
    write(t, "two_devices",
          open_nt(nt(0x81, bytes([ACK])) + nt(0x81, bytes([ACK])))
          + open_is(is_(0xA0, bytes([0, 0, 2, 0])) + is_(0xA0, b"hi"))
          + link(1, DATA, bytes([ESC, ord("@")])) + link(2, DATA, bytes([ESC, ord("I")]))
          + link(1, CLOSE) + open_nt() + link(1, DATA, bytes([ESC, ord("@")]))
          + link(2, DATA, bytes([ESC, ord("@")])))
    write(t, "is_extended_bad_request",
          open_is(is_(0xA0, bytes([ACK])) + is_(0xA0, reply_header(b"IMG ", 0)))
          + link(1, DATA, bytes([FS, ord("X")])) + link(1, DATA, b"IMG x0000000")
          + link(1, DATA, b"IMG x00000zz") + link(1, DATA, bytes([ESC, ord("@")])))
    write(t, "nt_notice_query", open_nt(nt(0x84, bytes([1])) + nt(0x91, bytes([0, 1])))
          + link(1, DATA, bytes([ESC, ord("!")])))
    write(t, "cut_short", open_nt() + be32(1) + be32(DATA) + be32(0) + be32(100) + b"0123456789")


# fuzz_commands: jobs of a selector byte and their fields.

NT_FACTORY, IS_FACTORY, RAW_REQUEST, REQUEST, PARSE_SIZE, MARK_CANCELLED = range(6)
PREFIX_INDEX = {FF: 0, EM: 1, ESC: 2, FS: 3}

START, CANCEL, CLIENT, CLIENT_BYTE, REPLY_RAW, REPLY, INFO, BLOCK, HEADER, CANCEL_ANSWER, \
    DRAIN = range(11)


def op(code, variant=0, *fields):
    for c in range(variant * 16, variant * 16 + 16):
        if c % 11 == code:
            return bytes([c]) + b"".join(fields)
    raise ValueError(code)


def length(n):
    return bytes([n]) if n < 255 else bytes([255]) + struct.pack(">H", n)


def client(data):
    return op(CLIENT, 0, length(len(data)), data)


def reply(data):
    return op(REPLY, 0, length(len(data)), data)


def info(block, count, last):
    return op(INFO, 0, bytes([0, block, count, last]))


def block(last, size, status_index=0):
    # The byte the size would come from for other translators, then the
    # block's bytes; its last byte becomes the status.
    return op(BLOCK, (status_index << 1) | (1 if last else 0), bytes([0]), bytes(size))


def header(code_flags, size, picks):
    return op(HEADER, 0, bytes([code_flags, size]), bytes(picks))


def translator(selector, prefix, letter, ops):
    return bytes([selector, PREFIX_INDEX[prefix], letter, len(ops)]) + b"".join(ops)


def request(code, size, ops):
    return bytes([REQUEST, 0x00]) + code + bytes([size, len(ops)]) + b"".join(ops)


FIELDS_EMPTY = [0] * 13           # "#---" everywhere
FIELDS_BUSY = [32, 64] + [160] * 11  # "#nrd" "BUSY" then blanks


def command_seeds():
    t = "fuzz_commands"
    write(t, "nt_var", translator(NT_FACTORY, ESC, ord("I"),
                                  [op(START), reply(bytes([0, 0, 3, 0]) + b"abc")]))
    write(t, "nt_scan", translator(NT_FACTORY, FS, ord("G"),
                                   [op(START), info(16, 1, 8), block(False, 17),
                                    op(CLIENT_BYTE, 0), block(True, 9)]))
    write(t, "nt_scan_cancel", translator(NT_FACTORY, ESC, ord("G"),
                                          [op(START), info(16, 3, 8), block(False, 17),
                                           op(CLIENT_BYTE, 1), block(False, 17),
                                           op(CANCEL_ANSWER, 1)]))
    write(t, "is_scan", translator(IS_FACTORY, FS, ord("G"),
                                   [op(START), info(16, 2, 8), block(False, 17),
                                    op(CLIENT_BYTE, 0), block(False, 17), op(CLIENT_BYTE, 0),
                                    block(True, 9)]))
    write(t, "is_scan_cancel", translator(IS_FACTORY, FS, ord("G"),
                                          [op(START), info(16, 3, 8), block(False, 17),
                                           op(CLIENT_BYTE, 1), op(CANCEL_ANSWER, 0)]))
    write(t, "is_scan_two_info_blocks", translator(IS_FACTORY, FS, ord("G"),
                                                   [op(START), info(16, 1, 8), info(16, 1, 8),
                                                    block(False, 17)]))
    write(t, "nt_buffer", translator(NT_FACTORY, ESC, ord("A"),
                                     [op(START), client(bytes(range(8))),
                                      reply(bytes([0, 0, 0, 0, 4, 0, 0, 0]))]))
    write(t, "nt_colour_table", translator(NT_FACTORY, ESC, ord("z"),
                                           [op(START), client(b"G" + bytes(256)),
                                            reply(bytes([0, 0, 0, 0, 0, 0, 2, 0]))]))
    for colour in b"bmRx":
        write(t, "nt_colour_table_" + chr(colour), translator(
            NT_FACTORY, ESC, ord("z"),
            [op(START), client(bytes([colour]) + bytes(256)),
             reply(bytes([0, 0, 0, 0, 0, 0, 0x0C, 0]))]))
    write(t, "nt_param", translator(NT_FACTORY, ESC, ord("e"),
                                    [op(START), client(bytes([5])), reply(bytes([ACK]))]))
    write(t, "is_param", translator(IS_FACTORY, ESC, ord("A"),
                                    [op(START), reply(bytes([ACK])), client(bytes(range(8))),
                                     reply(bytes([ACK]))]))
    write(t, "is_var", translator(IS_FACTORY, ESC, ord("I"),
                                  [op(START), reply(bytes([0, 0, 3, 0])), reply(b"abc")]))
    write(t, "is_plain", translator(IS_FACTORY, FS, ord("F"), [op(START), reply(bytes(16))]))
    write(t, "request_image_cancelled",
          request(b"IMG ", 0, [op(START), op(CANCEL), header(0, 16, FIELDS_EMPTY),
                               reply(bytes(16))]))
    write(t, "request_with_data",
          request(b"PARA", 4, [op(START), client(b"\x01\x02\x03\x04"),
                               header(1, 0, FIELDS_EMPTY)]))
    write(t, "request_busy", request(b"FIN ", 0, [op(START), header(1, 0, FIELDS_BUSY)]))
    write(t, "request_errors", bytes([RAW_REQUEST, 11]) + b"IMG x000000"
          + bytes([PARSE_SIZE]) + b"IMG y0000000" + bytes([PARSE_SIZE]) + b"IMG x00000ff")
    write(t, "mark_cancelled", bytes([MARK_CANCELLED, 64]) + reply_header(b"IMG ", 0, b"#---"))


if __name__ == "__main__":
    scanner_seeds()
    link_seeds()
    command_seeds()
