#!/usr/bin/python3
"""A pointer for a headless wlroots compositor, which has none: a virtual pointer (wlr-virtual-pointer,
version 1) that stays attached while this process runs, so programs keep their wl_pointer between
clicks. Reads lines from standard input: "move X Y" (layout pixels) and "click BUTTON COUNT"; answers
"ok" after each once the compositor has handled it.

Usage: virtual_pointer.py WIDTH HEIGHT (the layout's size)
"""
import ctypes
import sys
import time

wayland = ctypes.CDLL("libwayland-client.so.0")


class Message(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("signature", ctypes.c_char_p), ("types", ctypes.c_void_p)]


class Interface(ctypes.Structure):
    pass


Interface._fields_ = [("name", ctypes.c_char_p), ("version", ctypes.c_int), ("method_count", ctypes.c_int),
                      ("methods", ctypes.POINTER(Message)), ("event_count", ctypes.c_int),
                      ("events", ctypes.POINTER(Message))]


def interface(name, methods):
    table = (Message * len(methods))()
    for slot, (method, signature, types) in zip(table, methods):
        slot.name, slot.signature = method.encode(), signature.encode()
        slot.types = ctypes.cast(types, ctypes.c_void_p) if types is not None else None
    made = Interface(name.encode(), 1, len(methods), table, 0, None)
    made._keep = (table, methods)
    return made


seat_interface = Interface.in_dll(wayland, "wl_seat_interface")
registry_interface = Interface.in_dll(wayland, "wl_registry_interface")
no_types = (ctypes.c_void_p * 8)()
pointer_interface = interface("zwlr_virtual_pointer_v1", [
    ("motion", "uff", no_types), ("motion_absolute", "uuuuu", no_types), ("button", "uuu", no_types),
    ("axis", "uuf", no_types), ("frame", "", no_types), ("axis_source", "u", no_types),
    ("axis_stop", "uu", no_types), ("axis_discrete", "uufi", no_types), ("destroy", "", no_types)])
create_types = (ctypes.c_void_p * 2)(ctypes.addressof(seat_interface), ctypes.addressof(pointer_interface))
manager_interface = interface("zwlr_virtual_pointer_manager_v1", [
    ("create_virtual_pointer", "?on", create_types), ("destroy", "", no_types)])

marshal = wayland.wl_proxy_marshal_flags
marshal.restype = ctypes.c_void_p
wayland.wl_display_connect.restype = ctypes.c_void_p
wayland.wl_display_connect.argtypes = [ctypes.c_char_p]
wayland.wl_display_roundtrip.argtypes = [ctypes.c_void_p]
wayland.wl_proxy_add_listener.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
wayland.wl_proxy_get_version.argtypes = [ctypes.c_void_p]

Global = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32)
Removed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32)


def main():
    width, height = int(sys.argv[1]), int(sys.argv[2])
    display = wayland.wl_display_connect(None)
    if not display:
        print("no Wayland display", flush=True)
        return 1
    registry = marshal(ctypes.c_void_p(display), ctypes.c_uint32(1), ctypes.byref(registry_interface),
                       ctypes.c_uint32(1), ctypes.c_uint32(0), None)
    found = {}

    def announced(_data, _registry, name, iface, version):
        found[iface.decode()] = name

    callbacks = (Global(announced), Removed(lambda *_: None))
    listener = (ctypes.c_void_p * 2)(*(ctypes.cast(c, ctypes.c_void_p) for c in callbacks))
    wayland.wl_proxy_add_listener(registry, listener, None)
    wayland.wl_display_roundtrip(display)
    if "zwlr_virtual_pointer_manager_v1" not in found:
        print("the compositor offers no virtual pointer", flush=True)
        return 1

    def bind(name, iface):
        return marshal(ctypes.c_void_p(registry), ctypes.c_uint32(0), ctypes.byref(iface), ctypes.c_uint32(1),
                       ctypes.c_uint32(0), ctypes.c_uint32(found[name]), ctypes.c_char_p(iface.name),
                       ctypes.c_uint32(1), None)

    manager = bind("zwlr_virtual_pointer_manager_v1", manager_interface)
    seat = bind("wl_seat", seat_interface)
    pointer = marshal(ctypes.c_void_p(manager), ctypes.c_uint32(0), ctypes.byref(pointer_interface),
                      ctypes.c_uint32(1), ctypes.c_uint32(0), ctypes.c_void_p(seat), None)
    wayland.wl_display_roundtrip(display)
    start = time.monotonic()

    def request(opcode, *args):
        stamp = ctypes.c_uint32(int((time.monotonic() - start) * 1000) & 0xFFFFFFFF)
        marshal(ctypes.c_void_p(pointer), ctypes.c_uint32(opcode), None, ctypes.c_uint32(1), ctypes.c_uint32(0),
                *((stamp,) + tuple(ctypes.c_uint32(a) for a in args) if opcode != 4 else ()))
        if opcode != 4:
            marshal(ctypes.c_void_p(pointer), ctypes.c_uint32(4), None, ctypes.c_uint32(1), ctypes.c_uint32(0))
        wayland.wl_display_roundtrip(display)

    print("ready", flush=True)
    for line in sys.stdin:
        command = line.split()
        if command[:1] == ["move"]:
            request(1, int(command[1]), int(command[2]), width, height)
        elif command[:1] == ["click"]:
            button = {"1": 0x110, "2": 0x112, "3": 0x111}[command[1]]
            for _ in range(int(command[2])):
                request(2, button, 1)
                time.sleep(0.03)
                request(2, button, 0)
                time.sleep(0.08)
        print("ok", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
