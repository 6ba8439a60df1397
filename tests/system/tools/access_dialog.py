#!/usr/bin/env python3
"""A desktop's Access dialog for xdg-desktop-portal that answers without a screen.

Owns BUS_NAME on the session bus and answers every AccessDialog call with the given
response (0 grants, 1 is the user's "Deny"), printing one line per call:
    AccessDialog app_id='' title='Turn On Camera?' response=0
    access_dialog.py BUS_NAME [--response N]
"""
import argparse
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "org.freedesktop.impl.portal.Access"
OBJECT_PATH = "/org/freedesktop/portal/desktop"


class Access(dbus.service.Object):
    def __init__(self, bus, response):
        super().__init__(bus, OBJECT_PATH)
        self.response = response

    @dbus.service.method(INTERFACE, in_signature="osssssa{sv}", out_signature="ua{sv}")
    def AccessDialog(self, handle, app_id, parent_window, title, subtitle, body, options):
        print(f"AccessDialog app_id={str(app_id)!r} title={str(title)!r} "
              f"response={self.response}", flush=True)
        return dbus.UInt32(self.response), dbus.Dictionary({}, signature="sv")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bus_name")
    parser.add_argument("--response", type=int, default=0)
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    # The object first: the portal may call as soon as the name appears.
    service = Access(bus, args.response)
    name = dbus.service.BusName(args.bus_name, bus, do_not_queue=True)
    print(f"Serving {INTERFACE} as {args.bus_name}", flush=True)
    GLib.MainLoop().run()
    del name, service


if __name__ == "__main__":
    sys.exit(main())
