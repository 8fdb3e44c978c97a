#!/usr/bin/python3
"""A pointer and a keyboard for a headless wlroots compositor, which has neither: a virtual pointer
(wlr-virtual-pointer, version 1) and a virtual keyboard (virtual-keyboard-unstable-v1) that stay attached
while this process runs, as a person's devices do. The keyboard has one full keymap and presses its
modifier keys like any other key, so every toolkit sees Control held (a keyboard made anew per key
combination, with modifiers sent as a state only, reaches GTK 3 without them).

Reads lines from standard input: "move X Y" (layout pixels), "click BUTTON COUNT" and "key COMBO"
("ctrl+a", "shift+G", "Escape"); answers "ok" after each once the compositor has handled it.

Usage: virtual_input.py WIDTH HEIGHT (the layout's size)
"""
import ctypes
import os
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
# Each interface lists its requests up to the last one used: the opcode is the index.
pointer_interface = interface("zwlr_virtual_pointer_v1", [
    ("motion", "uff", no_types), ("motion_absolute", "uuuuu", no_types), ("button", "uuu", no_types),
    ("axis", "uuf", no_types), ("frame", "", no_types)])
create_types = (ctypes.c_void_p * 2)(ctypes.addressof(seat_interface), ctypes.addressof(pointer_interface))
manager_interface = interface("zwlr_virtual_pointer_manager_v1", [("create_virtual_pointer", "?on", create_types)])
keyboard_interface = interface("zwp_virtual_keyboard_v1", [
    ("keymap", "uhu", no_types), ("key", "uuu", no_types), ("modifiers", "uuuu", no_types)])
keyboard_types = (ctypes.c_void_p * 2)(ctypes.addressof(seat_interface), ctypes.addressof(keyboard_interface))
keyboard_manager_interface = interface("zwp_virtual_keyboard_manager_v1", [
    ("create_virtual_keyboard", "on", keyboard_types)])

# evdev key codes and the modifier bits of the default keymap.
KEYS = {"Escape": 1, **{c: code for c, code in zip("qwertyuiop", range(16, 26))},
        **{c: code for c, code in zip("asdfghjkl", range(30, 39))},
        **{c: code for c, code in zip("zxcvbnm", range(44, 51))}}
MODIFIERS = {"shift": (42, 1), "ctrl": (29, 4), "alt": (56, 8)}


def default_keymap():
    """The text of the default keymap (evdev rules, us layout), as a keyboard's driver would send it."""
    xkb = ctypes.CDLL("libxkbcommon.so.0")
    xkb.xkb_context_new.restype = ctypes.c_void_p
    xkb.xkb_keymap_new_from_names.restype = ctypes.c_void_p
    xkb.xkb_keymap_new_from_names.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
    xkb.xkb_keymap_get_as_string.restype = ctypes.c_void_p
    xkb.xkb_keymap_get_as_string.argtypes = [ctypes.c_void_p, ctypes.c_int]
    keymap = xkb.xkb_keymap_new_from_names(xkb.xkb_context_new(0), None, 0)
    text = ctypes.cast(xkb.xkb_keymap_get_as_string(keymap, 1), ctypes.c_char_p).value
    return text + b"\0"

marshal = wayland.wl_proxy_marshal_flags
marshal.restype = ctypes.c_void_p
wayland.wl_display_connect.restype = ctypes.c_void_p
wayland.wl_display_connect.argtypes = [ctypes.c_char_p]
wayland.wl_display_roundtrip.argtypes = [ctypes.c_void_p]
wayland.wl_proxy_add_listener.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
wayland.wl_proxy_get_version.argtypes = [ctypes.c_void_p]

Global = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32)
Removed = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32)


def u32(value):
    return ctypes.c_uint32(value & 0xFFFFFFFF)


def request(proxy, opcode, *args, new=None):
    """Sends a request; `new` is the interface of the object it creates, which it returns."""
    return marshal(ctypes.c_void_p(proxy), u32(opcode), ctypes.byref(new) if new else None, u32(1), u32(0), *args)


def main():
    width, height = int(sys.argv[1]), int(sys.argv[2])
    display = wayland.wl_display_connect(None)
    if not display:
        print("no Wayland display", flush=True)
        return 1
    registry = request(display, 1, None, new=registry_interface)
    found = {}

    def announced(_data, _registry, name, iface, version):
        found[iface.decode()] = name

    callbacks = (Global(announced), Removed(lambda *_: None))
    listener = (ctypes.c_void_p * 2)(*(ctypes.cast(c, ctypes.c_void_p) for c in callbacks))
    wayland.wl_proxy_add_listener(registry, listener, None)
    wayland.wl_display_roundtrip(display)
    for needed in ("zwlr_virtual_pointer_manager_v1", "zwp_virtual_keyboard_manager_v1"):
        if needed not in found:
            print(f"the compositor offers no {needed}", flush=True)
            return 1

    def bind(name, iface):
        return request(registry, 0, u32(found[name]), ctypes.c_char_p(iface.name), u32(1), None, new=iface)

    seat = ctypes.c_void_p(bind("wl_seat", seat_interface))
    pointer = request(bind("zwlr_virtual_pointer_manager_v1", manager_interface), 0, seat, None,
                      new=pointer_interface)
    keyboard = request(bind("zwp_virtual_keyboard_manager_v1", keyboard_manager_interface), 0, seat, None,
                       new=keyboard_interface)
    keymap = default_keymap()
    descriptor = os.memfd_create("keymap")
    os.write(descriptor, keymap)
    request(keyboard, 0, u32(1), ctypes.c_int(descriptor), u32(len(keymap)))
    wayland.wl_display_roundtrip(display)
    os.close(descriptor)
    start = time.monotonic()

    def stamped(proxy, opcode, *args):
        request(proxy, opcode, u32(int((time.monotonic() - start) * 1000)), *(u32(a) for a in args))
        if proxy == pointer:
            request(pointer, 4)  # frame
        wayland.wl_display_roundtrip(display)

    def modifiers(mask):
        request(keyboard, 2, u32(mask), u32(0), u32(0), u32(0))
        wayland.wl_display_roundtrip(display)

    def combination(combo):
        *held, key = combo.split("+")
        if key not in KEYS and key.lower() in KEYS and len(key) == 1:
            held, key = held + ["shift"], key.lower()
        mask = 0
        for name in held:  # pressed one after another, as fingers do, the state following each press
            code, bit = MODIFIERS[name]
            stamped(keyboard, 1, code, 1)
            mask |= bit
            modifiers(mask)
        stamped(keyboard, 1, KEYS[key], 1)
        time.sleep(0.02)
        stamped(keyboard, 1, KEYS[key], 0)
        for name in reversed(held):
            code, bit = MODIFIERS[name]
            stamped(keyboard, 1, code, 0)
            mask &= ~bit
            modifiers(mask)
        time.sleep(0.06)

    print("ready", flush=True)
    for line in sys.stdin:
        command = line.split()
        if command[:1] == ["move"]:
            stamped(pointer, 1, int(command[1]), int(command[2]), width, height)
        elif command[:1] == ["click"]:
            button = {"1": 0x110, "2": 0x112, "3": 0x111}[command[1]]
            for _ in range(int(command[2])):
                stamped(pointer, 2, button, 1)
                time.sleep(0.03)
                stamped(pointer, 2, button, 0)
                time.sleep(0.08)
        elif command[:1] == ["key"]:
            combination(command[1])
        print("ok", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
