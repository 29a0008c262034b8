#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Seeds are small, well-formed inputs of each format (plus a few near misses) that give the
fuzzer a start in every branch worth reaching; rerun after changing them here.
"""

import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


# The standard message codec.
def size(n):
    if n < 254:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfe" + struct.pack("<H", n)
    return b"\xff" + struct.pack("<I", n)


def align(out, n):
    while len(out) % n:
        out.append(0)


def write(out, v):
    if v is None:
        out.append(0)
    elif v is True:
        out.append(1)
    elif v is False:
        out.append(2)
    elif isinstance(v, int):
        if -(2**31) <= v < 2**31:
            out.append(3)
            out += struct.pack("<i", v)
        else:
            out.append(4)
            out += struct.pack("<q", v)
    elif isinstance(v, float):
        out.append(6)
        align(out, 8)
        out += struct.pack("<d", v)
    elif isinstance(v, str):
        b = v.encode()
        out.append(7)
        out += size(len(b)) + b
    elif isinstance(v, bytes):
        out.append(8)
        out += size(len(v)) + v
    elif isinstance(v, tuple):  # typed lists: ("i32" | "i64" | "f64" | "f32", [...])
        kind, items = v
        code, fmt, width = {"i32": (9, "<i", 4), "i64": (10, "<q", 8), "f64": (11, "<d", 8),
                             "f32": (14, "<f", 4)}[kind]
        out.append(code)
        out += size(len(items))
        align(out, width)
        for item in items:
            out += struct.pack(fmt, item)
    elif isinstance(v, list):
        out.append(12)
        out += size(len(v))
        for item in v:
            write(out, item)
    elif isinstance(v, dict):
        out.append(13)
        out += size(len(v))
        for k, item in v.items():
            write(out, k)
            write(out, item)
    else:
        raise TypeError(v)
    return out


def encode(v):
    return bytes(write(bytearray(), v))


def call(name, args=None):
    return encode(name) + encode(args)


def success(v):
    return b"\x00" + encode(v)


def failure(code, message=None, details=None):
    return b"\x01" + encode(code) + encode(message) + encode(details)


def frame(kind, ident, payload=b"", channel=None):
    body = bytes([kind]) + struct.pack("<I", ident)
    if kind == 1:
        name = channel.encode()
        body += struct.pack("<H", len(name)) + name
    body += payload
    return struct.pack("<I", len(body)) + body


VPN = "com.quorandel.korvane/vpn"
CORE = "com.quorandel.korvane/core"
EVENTS = "com.quorandel.korvane/vpn_events"

with open(os.path.join(HERE, "..", "..", "examples", "mixed.json")) as f:
    MIXED = f.read()
with open(os.path.join(HERE, "..", "..", "examples", "tun.json")) as f:
    TUN = f.read()

VALUES = {
    "null": None, "true": True, "false": False, "int32": -7, "int64": 2**40, "float": 1.5,
    "string": "héllo", "bytes": b"\x00\x01\xff", "int32_list": ("i32", [1, -2]),
    "int64_list": ("i64", [2**40]), "float_list": ("f64", [0.5, -1.0]),
    "float32_list": ("f32", [0.25]), "list": [1, "two", None, [3.0]],
    "map": {"config": "{}", "autoConfigureProxy": False, 7: [True]},
    "long_string": "x" * 300,
}

METHOD_CALLS = [
    ("loadVPNPreference", {"config": MIXED, "autoConfigureProxy": False}),
    ("loadVPNPreference", [TUN]),
    ("doConnectVpn", None), ("disconnect", None), ("stopVPN", None), ("isRunning", None),
    ("getStatus", None), ("clearVPNPreference", None), ("checkAdminPrivileges", None),
    ("requestAdminPrivileges", None), ("setCapabilityOnPath", {"path": "/nonexistent"}),
    ("getExecutableCapabilities", {"path": "/nonexistent"}), ("restartApp", None),
    ("restartFromInstallDir", {"installDir": "/nonexistent"}), ("clearSystemProxy", None),
    ("getAppGroupDirectory", None), ("disconnectForNodeSwitching", None),
    ("connectForNodeSwitching", MIXED), ("toggleAutoReconnect", True),
    ("disableAutoReconnectTemporarily", None), ("enableAutoReconnect", None),
    ("refreshVPNStatus", None), ("restoreUserAutoReconnectPreference", False),
    ("disableAutoReconnect", None), ("isobtainedNecessaryPermissions", None),
    ("getOnDemandStatus", None), ("isBatteryOptimizationIgnored", None),
    ("requestBatteryOptimizationExemption", None), ("isAlwaysOnVpnEnabled", None),
    ("openVpnSettings", None), ("checkForStuckState", None), ("checkForCrashLogs", None),
    ("getLibboxLogPath", None), ("getAutoSelectorInfo", None),
    ("performUrlTest", {"url": "https://127.0.0.1:1/"}), ("noSuchMethod", None),
]


def corpus():
    seeds = {}
    seeds["standard_message_codec"] = {name: encode(v) for name, v in VALUES.items()}
    seeds["standard_message_codec"]["size_u16"] = b"\x07\xfe\x00\x01" + b"a" * 256
    seeds["standard_message_codec"]["truncated_map"] = encode({"a": 1})[:-2]

    method = {}
    for name, args in [("getStatus", None), ("loadVPNPreference", {"config": "{}"}),
                       ("toggleAutoReconnect", True), ("listen", None)]:
        method["call_" + name] = call(name, args)
    method["success_null"] = success(None)
    method["success_map"] = success({"summary": "x", "logCount": 3, "lastLogs": ["a"]})
    method["error"] = failure("INVALID_ARGUMENT", "Config required")
    method["error_details"] = failure("EXCEPTION", None, [1, "two"])
    method["not_implemented"] = b""
    seeds["standard_method_codec"] = method

    bridge = {}
    for i, (name, args) in enumerate(METHOD_CALLS):
        bridge["vpn_" + name + "_" + str(i)] = frame(1, i + 1, call(name, args), VPN)
    bridge["core_version"] = frame(1, 1, call("getCoreVersion"), CORE)
    bridge["events_listen_then_state"] = (frame(1, 1, call("listen"), EVENTS) +
                                          frame(1, 2, call("doConnectVpn"), VPN) +
                                          frame(1, 3, call("cancel"), EVENTS))
    bridge["load_then_connect"] = (frame(1, 1, call("listen"), EVENTS) +
                                   frame(1, 2, call("loadVPNPreference", {"config": MIXED}), VPN) +
                                   frame(1, 3, call("doConnectVpn"), VPN) +
                                   frame(1, 4, call("checkForCrashLogs"), VPN))
    bridge["reply"] = frame(2, 9, success(True))
    bridge["unknown_channel"] = frame(1, 5, call("ping"), "test/unserved")
    bridge["undecodable_call"] = frame(1, 6, b"\x07\x05ab", VPN)
    bridge["short_frame"] = struct.pack("<I", 3) + b"\x01\x01\x00"
    bridge["oversize"] = struct.pack("<I", 0xFFFFFFFF)
    seeds["ui_bridge"] = bridge

    def legacy(text):
        return bytes(b ^ 0x91 for b in text.encode())

    prefs = {}
    prefs["plain_mixed"] = bytes([1]) + MIXED.encode()
    prefs["current_tun_with_backup"] = bytes([2 | 8]) + TUN.encode() + b"\n#bak\n" + MIXED.encode()
    prefs["legacy_mixed"] = bytes([3]) + MIXED.encode()
    prefs["corrupt_with_good_backup"] = bytes([1 | 8]) + b"garbage" + b"\n#bak\n" + TUN.encode()
    prefs["corrupt_with_corrupt_backup"] = bytes([1 | 4]) + b"{}" + b"\n#bak\n" + legacy("{")
    prefs["minimal"] = bytes([2]) + b'{"log":{},"inbounds":[],"outbounds":[]}'
    prefs["backup_only"] = bytes([8]) + b"\n#bak\n" + MIXED.encode()
    seeds["vpn_preferences"] = prefs

    log = {}
    log["json_lines"] = (
        b'{"level":"info","ts":"2025-05-01T10:00:00Z","msg":"started"}\n'
        b'{"level":"error","ts":"2025-05-01T10:00:01Z","msg":"dial tcp 127.0.0.1:1: '
        b'connection refused"}\n'
        b'{"level":"warn","msg":"a \\"quoted\\" word\\n and \\\\ slash \\u0041"}\n')
    log["plain_lines"] = (b"INFO started\nWARN slow\nDEBUG detail\nsomething failed\n"
                          b"FATAL[0000] panic: boom\n")
    log["pattern_only"] = b"info one\nhysteria2: handshake timeout exceeded\ninfo two\n"
    log["many_short"] = b"".join(b"line %d\n" % i for i in range(12))
    log["no_newline"] = b'{"msg":"","level":"fatal"}'
    log["crlf_and_blank"] = b"error: x\r\n\r\n\n{\"msg\":\"\\\\\"}\n"
    seeds["libbox_log_parser"] = log

    box = {"mixed": MIXED.encode(), "tun": TUN.encode()}
    box["groups"] = json.dumps({
        "log": {"level": "warn", "disabled": False},
        "inbounds": [{"type": "mixed", "listen": "::1", "listen_port": 1080}],
        "outbounds": [
            {"type": "selector", "tag": "s", "outbounds": ["u", "b"], "default": "b"},
            {"type": "urltest", "tag": "u", "outbounds": ["b", "h"], "interval": "1m30s",
             "idle_timeout": "30m", "tolerance": 10, "url": "https://127.0.0.1:1/"},
            {"type": "block", "tag": "b"},
            {"type": "http", "tag": "h", "server": "127.0.0.1", "server_port": 1,
             "username": "u", "password": "p", "tls": {"enabled": True}},
            {"type": "socks", "tag": "k", "server": "127.0.0.1", "server_port": 1,
             "version": "4a"},
        ],
        "endpoints": [{"type": "wireguard", "tag": "w"}],
        "route": {"final": "s", "rules": [{"outbound": "b"}]},
        "experimental": {"clash_api": {"external_controller": "127.0.0.1:0", "secret": "x"}},
    }).encode()
    box["cycle"] = json.dumps({"outbounds": [
        {"type": "selector", "tag": "a", "outbounds": ["b"]},
        {"type": "selector", "tag": "b", "outbounds": ["a"]}]}).encode()
    box["syntax_error"] = b'{"log": {"level": "info",}\n}'
    box["empty_object"] = b"{}"
    seeds["box_config"] = box

    http = {}
    http["connect"] = b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n"
    http["connect_v6"] = b"CONNECT [::1]:8080 HTTP/1.1\r\n\r\nhello"
    http["get_absolute"] = (b"GET http://example.com/a?b=c HTTP/1.1\r\nHost: example.com\r\n"
                            b"Proxy-Connection: keep-alive\r\nProxy-Authorization: x\r\n"
                            b"Connection: keep-alive, Upgrade\r\nUpgrade: h2c\r\n"
                            b"Accept: */*\r\n\r\n")
    http["post_with_body"] = (b"POST http://127.0.0.1:8080/ HTTP/1.0\r\nContent-Length: 4\r\n\r\n"
                              b"body")
    http["origin_form"] = b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"
    http["bare_lf"] = b"GET http://h/ HTTP/1.1\nHost: h\n\n"
    seeds["mixed_http"] = http

    socks = {}
    greeting = b"\x05\x01\x00"
    socks["ipv4"] = greeting + b"\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50"
    socks["domain"] = b"\x05\x02\x02\x00" + b"\x05\x01\x00\x03\x0bexample.com\x01\xbb"
    socks["ipv6"] = greeting + b"\x05\x01\x00\x04" + b"\x00" * 15 + b"\x01\x1f\x90"
    socks["bind_command"] = greeting + b"\x05\x02\x00\x01\x7f\x00\x00\x01\x00\x50"
    socks["auth_only"] = b"\x05\x01\x02"
    socks["socks4"] = b"\x04\x01\x00\x50\x7f\x00\x00\x01\x00"
    seeds["mixed_socks5"] = socks

    router = {}
    for name, req in {
        "hello": "GET\n/\n\n", "version": "GET\n/version\n\n", "proxies": "GET\n/proxies/\n\n",
        "proxy": "GET\n/proxies/proxy\n\n", "proxy_escaped": "GET\n/proxies/socks%2Da\n\n",
        "select": 'PUT\n/proxies/proxy\n\n{"name":"http-b"}',
        "select_bad": 'PUT\n/proxies/proxy\n\n{"name":7}',
        "delay": "GET\n/proxies/socks-a/delay?timeout=100&url=https%3A%2F%2F127.0.0.1%3A1%2F\n\n",
        "delay_group": "GET\n/proxies/proxy/delay?timeout=5\n\n",
        "group_list": "GET\n/group\n\n", "group": "GET\n/group/auto\n\n",
        "group_delay": "GET\n/group/proxy/delay?timeout=50&url=https://127.0.0.1:1/\n\n",
        "urltest_delay": "GET\n/group/auto/delay?timeout=50\n\n",
        "bearer": "GET\n/proxies\nBearer fuzz-secret\n",
        "wrong_method": "DELETE\n/proxies\n\n",
    }.items():
        router[name] = req.encode()
    seeds["clash_router"] = router

    # Controller answers and configurations, each after the key its scanner is asked for.
    answers = {}
    for name, (key, text) in {
        "selector": ("now", '{"type":"Selector","name":"proxy","udp":true,"history":[],'
                            '"now":"auto","all":["auto","node_1","node_2"]}'),
        "selector_empty_now": ("now", '{"type":"URLTest","name":"auto","now":"","all":[]}'),
        "selector_spaced": ("now", '{"now" :\n\t"US West/1"}'),
        "delay": ("delay", '{"delay":87}'),
        "delay_negative": ("delay", '{"delay":-1}'),
        "delay_huge": ("delay", '{"delay":99999999999}'),
        "delay_timeout": ("delay", '{"message":"Timeout"}'),
        "group": ("node_1", '{"node_1":120,"node_2":0,"node_3":45,"auto":30}'),
        "group_ties": ("a", '{"a":90,"b":90}'),
        "group_nested": ("proxy", '{"proxy-main":0,"proxy":15,"x":{"node_7":3}}'),
        "url_test": ("proxy-main", '{"proxy-main":300,"proxy":120}'),
        "url_test_huge_main": ("proxy", '{"proxy-main":4294967296,"proxy":77}'),
        "controller": ("external_controller",
                       '{"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090"}}}'),
        "controller_elsewhere": ("external_controller",
                                 '{"external_controller":"0.0.0.0:1",'
                                 '"x":{"external_controller":"127.0.0.1:2"}}'),
        "unterminated": ("now", '{"now":"no closing quote'),
        "tag_to_encode": ("US West/1 é?#%", '{"US West/1 é?#%":5}'),
    }.items():
        answers[name] = (key + "\n" + text).encode()
    seeds["clash_answers"] = answers
    return seeds


def main():
    for target, files in corpus().items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
