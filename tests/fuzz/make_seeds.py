#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (tests/fuzz/corpus/<harness>/): small,
meaningful inputs for every reply layout and every path. Run it again after changing
an input format; the files it writes are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = bytes([0x04, 0x03, 0x02, 0x01])
ID = bytes([0x13, 0x26])  # model id 0x2613
MAC1 = bytes([0x00, 0x90, 0xE8, 0x11, 0x22, 0x33])
MAC2 = bytes([0x00, 0x90, 0xE8, 0x11, 0x22, 0x34])
IP1 = bytes([192, 0, 2, 10])
IP2 = bytes([198, 51, 100, 10])


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# --- replies as the devices send them -----------------------------------------------
def r24(code=0x81, status=0, mac=MAC1, ip1=IP1, rid=b"\0\0\0\0"):
    return bytes([code, status]) + struct.pack(">H", 24) + rid + KEY + ID + mac + ip1


def r40(ip2=IP2, mac=MAC1):
    return bytes([0x81, 0]) + struct.pack(">H", 40) + bytes(4) + KEY + ID + IP1 + mac + ip2 + MAC2


def r82(key=KEY, unit=b"\x07\x00"):
    return bytes([0x82, 0]) + struct.pack(">H", 38) + b"\0\0" + key + ID + unit + bytes(4) + IP1 + IP2 + MAC1 + MAC2


def rc9(status=0):
    return bytes([0xC9, status]) + struct.pack(">H", 24) + b"\0\0" + KEY + ID + b"\x07\x00" + bytes(4) + MAC1


# --- search_reply: config, then (head, length, bytes[, count, position]) ------------
def dg(reply, group, sender=1, local=1, repeat=None):
    head = group | (sender << 1) | (local << 3) | (0x80 if repeat else 0)
    out = bytes([head, len(reply)]) + reply
    if repeat:
        out += bytes(repeat)
    return out


S = "search_reply"
write(S, "broadcast_len24", b"\x00" + dg(r24(), 1))
write(S, "broadcast_len24_sender0", b"\x00" + dg(r24(), 1, sender=0))
write(S, "broadcast_len40_ip2_zero", b"\x00" + dg(r40(ip2=bytes(4)), 1))
write(S, "broadcast_len40", b"\x00" + dg(r40(), 1))
write(S, "broadcast_1029_82", b"\x00" + dg(r82(), 0))
write(S, "broadcast_1029_c9", b"\x00" + dg(rc9(), 0))
write(S, "broadcast_1029_81_ignored", b"\x00" + dg(bytes([0x81]) + rc9()[1:], 0))
write(S, "broadcast_bad_length_field", b"\x00" + dg(r24()[:2] + struct.pack(">H", 32) + r24()[4:], 1))
write(S, "short_for_layout", b"\x00" + dg(r40()[:30], 1) + dg(r82()[:30], 0))
write(S, "refresh_two_interfaces", b"\x00" + dg(r24(), 1, local=1) + dg(r24(ip1=IP2), 1, local=2))
write(S, "same_server_both_families", b"\x00" + dg(r24(), 1) + dg(rc9(), 0) + dg(r82(), 0) + dg(r40(), 1))
write(S, "1029_key_differs_one_server", b"\x00" + dg(r82(), 0) + dg(r82(key=b"\x09\x09\x09\x09"), 0))
write(S, "directed_first_4800_ends", b"\x01" + dg(rc9(), 0) + dg(r24(), 1))
write(S, "directed_1029_only", b"\x01" + dg(rc9(), 0) + dg(r82(), 0))
write(S, "callback_stops_first", b"\x02" + dg(r24(), 1))
write(S, "callback_stops_third", b"\x06" + dg(r24(), 1, repeat=[2, 14]))
# 511 records from one template (index written into mac1), then one more: the limit.
write(S, "fill_to_limit", b"\x00" + dg(r24(), 1, repeat=[255, 14]) + dg(r24(mac=MAC2), 1))
write(S, "fill_to_limit_1029", b"\x00" + dg(rc9(), 0, repeat=[255, 18]) + dg(r82(), 0) + dg(r40(), 1))


# --- wait_reply: code, max_length selector, then (head, u16 length, bytes) ---------
def wd(reply, group, sender=0, oversize=False):
    head = group | (sender << 1) | (4 if oversize else 0)
    return bytes([head]) + struct.pack(">H", len(reply)) + reply


def cmd_reply(code, status=0, rid=b"\0\0\0\0", length=40):
    body = bytes([code, status]) + struct.pack(">H", length) + rid + KEY + ID + MAC1
    body += bytes([0, 4, 0, 0]) + bytes([15, 0, 22, 0xFF])
    return body + bytes(length - len(body))


W = "wait_reply"
# max_length selectors: 0 -> 40, 1 -> 104, 2 -> 2048, 3 -> 24, 4 -> 8, 5 -> 1, 6 -> 4096
write(W, "modes_reply_taken", b"\x41\x00" + wd(cmd_reply(0xC1), 1))
write(W, "foreign_before_genuine",
      b"\x41\x00" + wd(cmd_reply(0xBA), 1) + wd(cmd_reply(0xC1, rid=b"\0\0\0\x01"), 1)
      + wd(cmd_reply(0xC1, status=3), 1) + wd(cmd_reply(0xC1), 1, sender=1))
write(W, "status6_group0_refused", b"\xff\x00" + wd(rc9(status=6), 0))
write(W, "status6_group1_dropped", b"\x41\x00" + wd(cmd_reply(0xC1, status=6), 1))
write(W, "group1_before_group0", b"\xff\x02" + wd(rc9(), 0) + wd(r24(), 1))
write(W, "group0_id_not_matched", b"\xff\x00" + wd(rc9()[:4] + b"\x55\x66" + rc9()[6:], 0))
write(W, "oversize_dropped", b"\xff\x00" + wd(r24(), 1, oversize=True) + wd(rc9(), 0))
write(W, "cut_to_max_length", b"\x3a\x00" + wd(cmd_reply(0xBA, length=104), 1))
write(W, "cut_to_one_byte", b"\xff\x05" + wd(r24(), 1))
write(W, "short_then_genuine", b"\x41\x01" + wd(b"\xc1", 1) + wd(b"", 1) + wd(cmd_reply(0xC1), 1))
write(W, "larger_buffer_than_datagram", b"\x41\x06" + wd(cmd_reply(0xC1), 1))
write(W, "nothing_times_out", b"\x41\x00")

# --- command_decode: selector (0 modes, 1 connections), port, reply ----------------
C = "command_decode"


def modes_reply(count, modes):
    head = bytes([0xC1, 0]) + struct.pack(">H", 24 + len(modes)) + bytes(4) + KEY + ID + MAC1
    return head + bytes([0, count, 0, 0]) + bytes(modes)


write(C, "modes_all_4", b"\x00\x00" + modes_reply(4, [15, 0, 22, 0xFF]) + bytes(12))
write(C, "modes_count_20_cut_16", b"\x00\x00" + modes_reply(20, list(range(16))))
write(C, "modes_count_0", b"\x00\x00" + modes_reply(0, []) + bytes(16))
write(C, "modes_count_16_only_5_arrived", b"\x00\x00" + modes_reply(16, [1, 2, 3, 4, 5]))
write(C, "modes_one_port", b"\x00\x03" + modes_reply(8, [0x16]))
write(C, "modes_header_only", b"\x00\x00" + modes_reply(4, [])[:21])


def conn_reply(count, records):
    head = bytes([0xBA, 0]) + struct.pack(">H", 24 + 80 * len(records)) + bytes(4) + KEY + ID + MAC1
    return head + bytes([0, count, 0, 0]) + b"".join(records)


REC = bytes(IP1 + IP2) * 8 + bytes([4, 3] * 8)
write(C, "conn_port_3", b"\x01\x03" + conn_reply(8, [REC]))
write(C, "conn_port_0_two_records", b"\x01\x00" + conn_reply(16, [REC, REC[::-1]]))
write(C, "conn_short_record", b"\x01\x05" + conn_reply(8, [REC])[:60])
write(C, "conn_port_17", b"\x01\x11" + conn_reply(1, [REC]))

# --- model_map: path (0 raw, 1 checksum made right, 2 then encrypted, 3 file) ------
M = "model_map"


def entry(key, mid, attr, ports, name):
    return struct.pack("<IHHBBBBI", key, mid, 0, 0, 0, attr, 0, ports) + name.ljust(48, b"\0")[:48]


def plain(count, entries, tail=b""):
    body = b"".join(entries) + tail
    return struct.pack("<IH", count, 0) + bytes(10) + body


E1 = entry(0x01020304, 0x2613, 0x04, 4, b"Tavrix DS-4A")
E0 = entry(0, 0x2618, 0x40, 2, b"Tavrix DS-2L (any key)")
ELONG = entry(5, 0x3001, 0, 16, b"N" * 48)  # a name with no NUL
write(M, "decrypted_two_entries", b"\x01" + plain(2, [E1, E0]))
write(M, "decrypted_name_without_nul", b"\x01" + plain(1, [ELONG]))
write(M, "decrypted_count_above_entries", b"\x01" + plain(1000, [E1]))
write(M, "decrypted_trailing_bytes", b"\x01" + plain(1, [E1], tail=b"\x01\x02\x03"))
write(M, "decrypted_catch_all_first", b"\x01" + plain(2, [entry(0, 0x2613, 0, 1, b"any"), E1]))
write(M, "decrypted_bad_checksum", b"\x00" + plain(1, [E1]))
write(M, "decrypted_short_header", b"\x01" + bytes(15))
write(M, "file_two_entries", b"\x02" + plain(2, [E1, E0]))
write(M, "file_count_above_entries", b"\x02" + plain(7, [E1, ELONG]))
write(M, "file_length_not_blocks", b"\x02" + plain(1, [E1], tail=b"\x00" * 8))
write(M, "file_40_bytes", b"\x03" + bytes(40))
write(M, "file_empty", b"\x03")
write(M, "file_one_block", b"\x03" + bytes(range(16)))

# --- devsim_request: bit 0 family (0 = 4800), bits 1-7 device shape; datagram ------
D = "devsim_request"
write(D, "search_01_empty", b"\x00" + bytes([0x01, 0, 0, 8, 0, 0, 0, 0]))
write(D, "search_01_two_listed", b"\x00" + bytes([0x01, 0, 0, 32, 0, 0, 0, 0]) + (KEY + ID + MAC1) * 2)
write(D, "search_01_length_above_bytes", b"\x00" + bytes([0x01, 0, 0x0C, 0x08, 0, 0, 0, 0]))
write(D, "cmd_41_all_ports", b"\x7e" + bytes([0x41, 0, 0, 21, 0, 0, 0, 0]) + KEY + ID + MAC1 + b"\x00")
write(D, "cmd_41_claims_20", b"\x40" + bytes([0x41, 0, 0, 21, 0, 0, 0, 0]) + KEY + ID + MAC1 + b"\x00")
write(D, "cmd_3a_port_3", b"\xc2" + bytes([0x3A, 0, 0, 21, 0, 0, 0, 0]) + KEY + ID + MAC1 + b"\x03")
write(D, "cmd_3a_port_0", b"\xc2" + bytes([0x3A, 0, 0, 21, 0, 0, 0, 0]) + KEY + ID + MAC1 + b"\x00")
write(D, "cmd_3a_port_17", b"\x02" + bytes([0x3A, 0, 0, 21, 0, 0, 0, 0]) + KEY + ID + MAC1 + b"\x11")
write(D, "cmd_short", b"\x00" + bytes([0x41, 0, 0, 12, 0, 0, 0, 0]) + KEY)
write(D, "search_49_listed", b"\x09" + bytes([0x49, 0, 0, 14, 0, 0]) + ID + b"\x07\x00" + ID + b"\x08\x00")
write(D, "search_02_empty", b"\x09" + bytes([0x02, 0, 0, 6, 0, 0]))
write(D, "search_02_82", b"\x0f" + bytes([0x02, 0, 0, 6, 0, 0]))
write(D, "tiny", b"\x01" + bytes([0x49, 0, 0]))

# --- server_list: the text of a server-list file -----------------------------------
L = "server_list"
HEAD = '{"format": "tavrix-server-list", "version": %s, "servers": [%s]}'
S1 = '{"model": "TVX-2613", "model_key": "0x00000001", "model_id": "0x2613", "unit_id": "0x0000", ' \
     '"flags": "0x0001", "ip1": "192.0.2.30", "mac1": "02:54:58:01:00:30", "ip2": "198.51.100.30", ' \
     '"mac2": "02:54:58:01:00:31"}'
S2 = '{"name": "rack \\u00e9", "model_key": 3, "model_id": 12548, "ip1": "192.0.2.50", "mac1": "02-54-58-01-00-50"}'
write(L, "two_servers", (HEAD % (1, S1 + ", " + S2)).encode())
write(L, "empty_list", (HEAD % (1, "")).encode())
write(L, "newer_version", (HEAD % (2, S1)).encode())
write(L, "version_text", (HEAD % ('"1"', S1)).encode())
write(L, "bad_mac", (HEAD % (1, S1.replace("02:54:58:01:00:31", "02:54:58:01:00"))).encode())
write(L, "bad_ip", (HEAD % (1, S1.replace("198.51.100.30", "198.51.100.300"))).encode())
write(L, "number_too_big", (HEAD % (1, S2.replace("12548", "70000"))).encode())
write(L, "not_an_object", b"[1, 2, 3]")
write(L, "truncated", (HEAD % (1, S1)).encode()[:60])
write(L, "deep_nesting", b"[" * 5000 + b"]" * 5000)
write(L, "list_513", (HEAD % (1, ", ".join([S2] * 513))).encode())

# --- probe_query: the raw query string of /probe ------------------------------------
Q = "probe_query"
write(Q, "target_only", b"target=192.0.2.10")
write(Q, "target_and_lan2", b"target=192.0.2.30&lan2=198.51.100.30")
write(Q, "escaped", b"target=192%2E0%2E2%2E10&&")
write(Q, "duplicate_target", b"target=192.0.2.10&target=192.0.2.11")
write(Q, "unknown_parameter", b"target=192.0.2.10&module=tavrix")
write(Q, "bad_escape", b"target=%zz")
write(Q, "nul_escape", b"target=192.0.2.10%00")
write(Q, "broadcast", b"target=255.255.255.255")
write(Q, "edge_addresses", b"target=192.0.2.0&lan2=198.51.100.255")
write(Q, "multicast", b"target=224.0.0.1")
write(Q, "empty_value", b"target=")
write(Q, "too_long", b"target=" + b"1" * 600)
# Found by the fuzzer: a parameter name with a newline and no value.
write(Q, "newline_in_name", bytes.fromhex("7421726f64756c3139322e300a2e32cb3130266d6f64756c653d746176726978"))

# --- web_config: the exporter-toolkit web configuration (YAML) ---------------------
W = "web_config"
HASH = b"$2b$04$abcdefghijklmnopqrstuuyvPXIbu7xe6/CED2DzX8z6Si09MlzlW"
write(W, "empty", b"")
write(W, "tls", b"tls_server_config:\n  cert_file: cert.pem\n  key_file: /etc/key.pem\n  min_version: TLS13\n")
write(W, "users", b"basic_auth_users:\n  prometheus: " + HASH + b"\n  'other': '" + HASH + b"'\n")
write(W, "tls_and_users", b"tls_server_config:\n  cert_file: c\n  key_file: k\nbasic_auth_users:\n  a: " + HASH + b"\n")
write(W, "plain_password", b"basic_auth_users:\n  prometheus: secret\n")
write(W, "unsupported_key", b"tls_server_config:\n  cert_file: c\n  key_file: k\n  client_auth_type: RequireAndVerifyClientCert\n")
write(W, "unknown_top_key", b"http_server_config:\n  http2: false\n")
write(W, "not_yaml", b"tls_server_config: [\n")
write(W, "anchors", b"a: &x [1, 2]\nb: *x\n")
write(W, "deep_nesting", b"[" * 3000 + b"]" * 3000)
write(W, "sequence_top", b"- 1\n- 2\n")
