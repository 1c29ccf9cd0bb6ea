#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Report descriptors are put together item by item (HID 1.11, 6.2.2); the other
seeds follow the input layout each target's source describes. Run it again
after changing a seed; the files it writes are kept in the tree.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# ---- Report descriptors


def item(prefix, value=None):
    """A short item: `prefix` with its size bits clear, and its data, as short as it fits."""
    if value is None:
        return bytes([prefix])
    if value < 0:
        value &= 0xFFFFFFFF if value < -0x8000 else 0xFFFF if value < -0x80 else 0xFF
    for size, code, fmt in ((1, 1, "<B"), (2, 2, "<H"), (4, 3, "<I")):
        if value < (1 << (8 * size)):
            return bytes([prefix | code]) + struct.pack(fmt, value)
    raise ValueError(value)


def usage_page(v): return item(0x04, v)
def logical_min(v): return item(0x14, v)
def logical_max(v): return item(0x24, v)
def report_size(v): return item(0x74, v)
def report_id(v): return item(0x84, v)
def report_count(v): return item(0x94, v)
def push(): return item(0xA4)
def pop(): return item(0xB4)
def usage(v): return item(0x08, v)
def usage_min(v): return item(0x18, v)
def usage_max(v): return item(0x28, v)
def input_(flags): return item(0x80, flags)
def output(flags): return item(0x90, flags)
def feature(flags): return item(0xB0, flags)
def collection(kind): return item(0xA0, kind)
def end_collection(): return item(0xC0)


def long_item(tag, data):
    return bytes([0xFE, len(data), tag]) + bytes(data)


def d(*items):
    return b"".join(items)


APPLICATION, PHYSICAL, LOGICAL = 1, 0, 2
DATA_VAR, CONST = 0x02, 0x01

# The feature-report switch: report 5 (3 data bytes) and report 4 (7 data
# bytes) on a vendor page; 8 bytes with the ID.
switch = d(item(0x04, 0xFF00), usage(1), collection(APPLICATION),
           report_id(5), report_size(8), report_count(3), usage(1), feature(DATA_VAR),
           report_id(4), report_size(8), report_count(7), usage(1), feature(DATA_VAR),
           end_collection())

# HID 1.11, Appendix B.1.
boot_keyboard = d(usage_page(0x01), usage(0x06), collection(APPLICATION),
                  usage_page(0x07), usage_min(0xE0), usage_max(0xE7), logical_min(0), logical_max(1),
                  report_size(1), report_count(8), input_(DATA_VAR),
                  report_count(1), report_size(8), input_(CONST),
                  report_count(5), report_size(1), usage_page(0x08), usage_min(1), usage_max(5), output(DATA_VAR),
                  report_count(1), report_size(3), output(CONST),
                  report_count(6), report_size(8), logical_min(0), logical_max(0x65),
                  usage_page(0x07), usage_min(0), usage_max(0x65), input_(0),
                  end_collection())

# HID 1.11, Appendix B.2.
boot_mouse = d(usage_page(0x01), usage(0x02), collection(APPLICATION), usage(0x01), collection(PHYSICAL),
               usage_page(0x09), usage_min(1), usage_max(3), logical_min(0), logical_max(1),
               report_count(3), report_size(1), input_(DATA_VAR),
               report_count(1), report_size(5), input_(CONST),
               usage_page(0x01), usage(0x30), usage(0x31), logical_min(-127), logical_max(127),
               report_size(8), report_count(2), input_(0x06),
               end_collection(), end_collection())

# A keyboard with media keys and a 63-byte vendor feature report: 64 bytes.
keyboard_with_ids = d(usage_page(0x01), usage(0x06), collection(APPLICATION), report_id(1),
                      usage_page(0x07), usage_min(0xE0), usage_max(0xE7), logical_min(0), logical_max(1),
                      report_size(1), report_count(8), input_(DATA_VAR),
                      report_size(8), report_count(6), logical_max(0xFF), usage_min(0), usage_max(0xFF), input_(0),
                      end_collection(),
                      usage_page(0x0C), usage(0x01), collection(APPLICATION), report_id(2),
                      logical_max(0x3FF), usage_min(0), usage_max(0x3FF), report_size(16), report_count(1), input_(0),
                      end_collection(),
                      item(0x04, 0xFF00), usage(0x01), collection(APPLICATION), report_id(3),
                      report_size(8), report_count(63), usage(0x01), feature(DATA_VAR),
                      end_collection())

# A wheel mouse with a resolution multiplier: 2 bits and 6 of padding in report 2.
mouse_multiplier = d(usage_page(0x01), usage(0x02), collection(APPLICATION), report_id(1), usage(0x01),
                     collection(PHYSICAL), usage_page(0x09), usage_min(1), usage_max(5), logical_min(0),
                     logical_max(1), report_size(1), report_count(5), input_(DATA_VAR), report_size(3),
                     report_count(1), input_(CONST), usage_page(0x01), usage(0x30), usage(0x31), usage(0x38),
                     logical_min(-127), logical_max(127), report_size(8), report_count(3), input_(0x06),
                     collection(LOGICAL), report_id(2), usage(0x48), logical_min(0), logical_max(1),
                     report_size(2), report_count(1), feature(DATA_VAR), report_size(6), feature(CONST),
                     end_collection(), end_collection(), end_collection())

# Globals saved and restored around a second report: report 1 keeps 4 x 16 bits.
push_pop = d(usage_page(0x84), usage(0x04), collection(APPLICATION), report_id(1), report_size(16), report_count(4),
             push(), report_id(2), report_size(8), report_count(20), feature(DATA_VAR), pop(),
             feature(DATA_VAR), end_collection())

# A long item is skipped whole.
with_long_item = d(item(0x04, 0xFF00), usage(1), collection(APPLICATION),
                   long_item(0x10, [0xAA, 0xBB, 0xB1, 0x02]),
                   report_size(8), report_count(5), feature(DATA_VAR), end_collection())

# Four-byte data fields: Report Size 256, the largest the kernel takes.
wide_items = d(bytes([0x77]) + struct.pack("<I", 256), bytes([0x97]) + struct.pack("<I", 2), feature(DATA_VAR))


def big(counts, with_id):
    """One report of 8-bit fields made of several Feature items."""
    items = [report_id(1)] if with_id else []
    items.append(report_size(8))
    for count in counts:
        items += [report_count(count), feature(DATA_VAR)]
    return d(*items)


DESCRIPTORS = {
    "switch": switch,
    "boot_keyboard": boot_keyboard,
    "boot_mouse": boot_mouse,
    "keyboard_with_ids": keyboard_with_ids,
    "mouse_multiplier": mouse_multiplier,
    "push_pop": push_pop,
    "long_item": with_long_item,
    "wide_items": wide_items,
    # The report buffer's limit, 16384 bytes: reached, and passed by one.
    "largest_with_id": big([12288, 4095], True),
    "too_large_with_id": big([12288, 4096], True),
    "largest_without_id": big([12288, 4096], False),
    "truncated": switch[:13],
    "unbalanced": switch[:-1],
}

# ---- HOTKEY.CFG


def hot_key(code, name):
    return struct.pack("<i", code) + name.encode().ljust(36, b"\0")


DEFAULTS = hot_key(18, "1") + hot_key(19, "2")
CHOSEN = hot_key(0x60, "F5") + hot_key(0x79, "Page Down")
UNTERMINATED = hot_key(0x7A, "F" * 36) + hot_key(-1, "\xff" * 18)
FILE, NOTHING, DIRECTORY = 0, 1, 2


def config(kind, content=b"", path_length=0):
    """Byte 0: what stands at HOTKEY.CFG and which working directory (0 short, n: 248 + n characters)."""
    return bytes([kind | path_length << 2]) + content


CONFIGS = {
    "defaults": config(FILE, DEFAULTS),
    "chosen": config(FILE, CHOSEN),
    "short": config(FILE, CHOSEN[:10]),
    "one_short": config(FILE, CHOSEN[:79]),
    "long": config(FILE, CHOSEN + bytes(range(120))),
    "unterminated": config(FILE, UNTERMINATED),
    "missing": config(NOTHING),
    "directory": config(DIRECTORY),
    "path_255": config(FILE, CHOSEN, 7),
    "path_256": config(FILE, CHOSEN, 8),
}

# ---- Information reads


def answer(data):
    return bytes([0x00, len(data)]) + bytes(data)


REPORT_5 = [0x05, 0x01, 0x3F, 0x0E]
REPORT_4 = [0x04, 0x1F, 0x11, 0x00, 0x0A, 0x47, 0x03, 0x00]
OPEN, GONE = b"\x00", b"\xf0"

FEATURE_REPORTS = {
    "switch": OPEN + answer(REPORT_5) + answer(REPORT_4),
    "short_answers": OPEN + answer(REPORT_5[:2]) + answer(REPORT_4[:3]),
    "retries": OPEN + b"\xc1\xc2" + answer(REPORT_5) + b"\xc3" + answer(REPORT_4),
    "report_5_fails": OPEN + b"\xc0\xc1\xc2\xc3\xc0",
    "report_4_fails": OPEN + answer(REPORT_5) + b"\xc0\xc1\xc2\xc3\xc0",
    "open_fails": GONE,
    "edges": OPEN + answer([0x05, 0x0F, 0xFF, 0xFF]) + answer([0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF]),
}


def string_descriptor(*units):
    data = bytes([2 + 2 * len(units), 0x03])
    for unit in units:
        data += struct.pack("<H", unit)
    return data


SERIAL_INDEX = b"\x00\x03"  # descriptor read, index 3
SERIAL_NUMBER = {
    # Port 1; buzzer, two ports, ports 0-1 available; 20 s, buzzer on, audio bound to port 0.
    "switch": OPEN + SERIAL_INDEX + answer(string_descriptor(0x01, 0x3B, 0x94)),
    "short_answer": OPEN + SERIAL_INDEX + answer(string_descriptor(0x01)),
    "header_only": OPEN + SERIAL_INDEX + answer([0x02, 0x03]),
    "out_of_range": OPEN + SERIAL_INDEX + answer(string_descriptor(0x07, 0x04, 0x0F)),
    "wide_units": OPEN + SERIAL_INDEX + answer(string_descriptor(0x4131, 0xFFFF, 0xD800)),
    "transfer_fails": OPEN + SERIAL_INDEX + b"\xc1",
    "descriptor_fails": OPEN + b"\xf0\x03",
    "open_fails": GONE,
}

# ---- udev


def udev(shape, absent, fields, descriptor=b""):
    """Byte 0 the device nodes, byte 1 the fields left out, then the fields, zero-ended, then the descriptor."""
    return bytes([shape, absent]) + b"".join(f + b"\0" for f in fields) + descriptor


NODES = 0x03
NO_SERIAL = 0x40
UDEV = {
    "feature_switch": udev(NODES, NO_SERIAL, [b"10d5", b"5500", b"1", b"2", b"00", b"0003:000010D5:00005500", b""],
                           switch),
    "serial_switch": udev(NODES, 0, [b"10d5", b"000d", b"1", b"3", b"00", b"0003:000010D5:0000000D", b"ABC"],
                          switch),
    "keyboard": udev(NODES, NO_SERIAL, [b"046d", b"c31c", b"1", b"4", b"00", b"0003:0000046D:0000C31C", b""],
                     boot_keyboard),
    "no_hid_id": udev(NODES, 0x20, [b"0cf6", b"6b01", b"2", b"7", b"01", b"", b"KVM-0001"], switch),
    "no_usb_node": udev(0x02, NO_SERIAL, [b"10d5", b"5500", b"003", b"127", b"00", b"0003:000010D5:00005500", b""],
                        switch),
    "bad_values": udev(NODES, 0, [b"10d5", b"5500", b"-1", b"x", b"01", b"garbage:1:", b"\xff\xfe\x80 \n"],
                       switch[:7]),
    "bad_ids": udev(NODES, NO_SERIAL, [b"zz10", b"123456", b"1", b"2", b"1ff", b"0003:1:2:3", b""], switch),
    "no_descriptor": udev(NODES, 0x80, [b"10d5", b"5500", b"1", b"2", b"00", b"0003:000010D5:00005500", b"\xc3\xa9"]),
}

TARGETS = {
    "descriptor": DESCRIPTORS,
    "hot_key_config": CONFIGS,
    "info_feature_reports": FEATURE_REPORTS,
    "info_serial_number": SERIAL_NUMBER,
    "udev_properties": UDEV,
}


def main():
    for target, seeds in TARGETS.items():
        folder = os.path.join(CORPUS, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
